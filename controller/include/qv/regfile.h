#pragma once
// The registry's text exchange format (.reg files): "REGEDIT4" and
// "Windows Registry Editor Version 5.00".
//
// Reading takes UTF-16LE with its BOM (what the platform's own editor writes
// for version 5) and UTF-8 with its BOM; other 8-bit files are read as the
// platform's editor reads them: REGEDIT4 as text in the ANSI code page
// (Windows-1252), version 5 as UTF-8 where it is valid, else as Windows-1252.
// Lines end in CRLF or LF. Understood: [KEY] and [-KEY]; "name"=, @= (the
// default value); "text" with the escapes \\ \" \n \r \0; dword:; hex:;
// hex(N): with any hex type code (hex and dword in any case); "name"=- and
// @=- deletions; a trailing backslash continuing hex data on the next line;
// ';' comments on lines of their own, after a value and between continued
// lines. REGEDIT4 files hold the data of hex(1), hex(2) and hex(7) as 8-bit
// text, version 5 files as UTF-16LE.
//
// Writing gives what the platform's editor writes for the same values: CRLF
// lines, key paths with the long root names, hex data broken where the editor
// breaks it, "text" (line breaks escaped) for a REG_SZ that is exactly one
// well-formed string with its terminating NUL, dword: for a 4-byte REG_DWORD,
// and hex(N): for everything else. Where the editor's export would lose bytes
// (a REG_SZ without its NUL or with one inside, a REG_DWORD of another size)
// hex(N): keeps them, so every value's type and bytes come back unchanged.
// REGEDIT4 is written in Windows-1252; what that code page cannot carry is
// refused (std::invalid_argument naming the key or value), never replaced.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

enum class RegFileFormat {
    v5_utf16,  // "Windows Registry Editor Version 5.00", UTF-16LE with BOM
    v5_utf8,   // the same header and syntax in UTF-8 without BOM, for people and
               // text tools (the platform's editor reads 8-bit files as Windows-1252)
    regedit4,  // "REGEDIT4", Windows-1252
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
// Throws std::invalid_argument for REGEDIT4 text outside Windows-1252.
std::string write_regfile(const RegFile& file, RegFileFormat format);
// One value's line(s) without the final line end, as write_regfile writes them.
std::string regfile_value_text(const RegFileValue& value, RegFileFormat format);

// The types whose data the platform's editor handles as text: converted in
// REGEDIT4 files, and ended with a NUL character on import where it lacks one
// (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ; REG_LINK stays raw).
bool editor_text_type(uint32_t type);

}  // namespace qv
