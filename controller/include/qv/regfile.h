#pragma once
// The registry's text exchange format (.reg files): "REGEDIT4" and
// "Windows Registry Editor Version 5.00".
//
// Reading takes UTF-16LE with its BOM (what the platform's own editor writes
// for version 5), UTF-8 with or without a BOM, and, where the file is not
// valid UTF-8, single-byte text read as Latin-1. Lines end in CRLF or LF.
// Understood: [KEY] and [-KEY]; "name"=, @= (the default value); "text" with
// the escapes \\ \" \n \r \0; dword:; hex:; hex(N): with any hex type code;
// "name"=- and @=- deletions; a trailing backslash continuing hex data on the
// next line; ';' comment lines. Version 4 files hold the text of hex(1),
// hex(2), hex(6) and hex(7) as 8-bit text, version 5 files as UTF-16LE.
//
// Writing gives CRLF lines, key paths with the long root names, hex data
// wrapped below 80 columns, "text" only for a REG_SZ that is exactly one
// well-formed string with its terminating NUL and no line break, dword: for
// 4-byte REG_DWORD, and hex(N): for everything else, so that every value's
// type and bytes come back unchanged when read again (version 5 only: version
// 4 keeps text types as 8-bit UTF-8, which cannot carry ill-formed UTF-16).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class RegFileFormat {
    v5_utf16,  // "Windows Registry Editor Version 5.00", UTF-16LE with BOM
    v5_utf8,   // the same header and syntax in UTF-8 without BOM
    regedit4,  // "REGEDIT4", UTF-8 without BOM
};

struct RegFileValue {
    std::string name;     // UTF-8; empty for the default value (@)
    bool remove = false;  // "name"=-
    uint32_t type = 0;
    std::string data;     // the stored bytes (UTF-16LE for text types)
};

struct RegFileKey {
    std::string path;     // ROOT\sub\key, root as written in the file
    bool remove = false;  // [-path]
    std::vector<RegFileValue> values;
};

struct RegFile {
    RegFileFormat format = RegFileFormat::v5_utf16;
    std::vector<RegFileKey> keys;
};

// A malformed file: line is 1-based, 0 for the file as a whole.
struct RegFileError : std::runtime_error {
    RegFileError(size_t line, const std::string& what);
    size_t line;
};

RegFile parse_regfile(std::string_view bytes);
std::string write_regfile(const RegFile& file, RegFileFormat format);
// One value's line(s) without the final line end, as write_regfile writes them.
std::string regfile_value_text(const RegFileValue& value, RegFileFormat format);

// Key paths: the root spelled the long way ("HKCU\x" -> "HKEY_CURRENT_USER\x")
// and the short way the server reads ("HKEY_CURRENT_USER\x" -> "HKCU\x").
// Roots are matched without regard to case; both throw std::invalid_argument
// for a root the server cannot reach.
std::string long_root_path(std::string_view path);
std::string short_root_path(std::string_view path);

}  // namespace qv
