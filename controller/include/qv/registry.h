#pragma once
// Typed registry calls on top of a running command server. The library builds
// every request (path with its view prefix, value literal, escaping); callers
// pass plain UTF-8 text and bytes.
//
// Key paths are "ROOT\key\path" with ROOT one of HKEY_CLASSES_ROOT,
// HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKCR, HKCU, HKLM, HKU,
// and the view is a parameter, never part of the path.
//
// What the wire cannot carry is refused before anything is sent (a Failure of
// kind refused; the request builders throw qv::Refused): NUL in paths, names or texts; text that is not valid
// UTF-8 (the server would store U+FFFD instead); LF in a key path except for
// delete_tree (elsewhere the path is taken raw or ends at the first LF); LF in
// the value name of a write (that name ends at the next LF);
// and in multi-strings an empty element or one holding backslash followed by
// '0' (that pair separates the strings). Answers the library cannot parse
// raise qv::ProtocolError.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qv/failure.h"
#include "qv/server.h"
#include "qv/session.h"

namespace qv {

enum class RegView {
    native,  // the server's default view (no prefix)
    win32,   // the 32-bit view ("32\")
    both,    // default view, then 32-bit view ("3264\"); not for listing
};

// Registry type codes as the listing shows them.
enum RegType : uint32_t {
    reg_none = 0,
    reg_sz = 1,
    reg_expand_sz = 2,
    reg_binary = 3,
    reg_dword = 4,
    reg_dword_big_endian = 5,
    reg_link = 6,
    reg_multi_sz = 7,
    reg_qword = 11,
};

struct RegValue {
    std::string name;    // UTF-8; empty for the key's default value
    uint32_t type = 0;
    // The stored bytes. For text types these are rebuilt as UTF-16LE from
    // the listed text, so they equal the stored bytes whenever the data is an
    // even number of bytes of well-formed UTF-16 (the listing drops an odd
    // last byte and shows ill-formed UTF-16 as U+FFFD).
    std::string data;
    // Text types only: the data as the server listed it, in UTF-8, every NUL
    // unit included (a REG_SZ normally ends with one).
    std::string text;

    bool is_text() const;
    // REG_DWORD data as a number; throws std::logic_error when not 4 bytes.
    uint32_t dword() const;
    // REG_QWORD data as a number; throws std::logic_error when not 8 bytes.
    uint64_t qword() const;
    // text without its trailing NUL, if any.
    std::string string() const;
    // REG_MULTI_SZ: every string of the list, empty ones inside it included
    // ("a\0\0b\0\0" gives "a", "", "b").
    std::vector<std::string> strings() const;
};

// A listed key.
struct RegKey {
    std::vector<RegValue> values;
    std::vector<std::string> subkeys;
    // nullptr when there is no value of that name (compared exactly).
    const RegValue* find(std::string_view name) const;
};

// Lists a key. A key that cannot be opened fails with its Win32 code
// (kFileNotFound when it does not exist); an enumeration that ended early is
// a Failure of kind incomplete, with what was listed. RegView::both is
// refused (a listing reads one view).
Result<RegKey> list_key(Channel to, std::string_view key, RegView view = RegView::native);

// Reads one value by name ("" for the default value): one request, whatever
// the size of its key. No value of that name is an empty optional, not a
// failure; a key that cannot be opened fails with its Win32 code
// (kFileNotFound when it does not exist). RegView::both is refused.
Result<std::optional<RegValue>> get_value(Channel to, std::string_view key, std::string_view name,
                                          RegView view = RegView::native);

// Writing; the key and its missing parents are created.
Result<void> set_dword(Channel to, std::string_view key, std::string_view name, uint32_t value,
                       RegView view = RegView::native);
// REG_SZ / REG_EXPAND_SZ: the text in UTF-16 with its terminating NUL.
Result<void> set_string(Channel to, std::string_view key, std::string_view name, std::string_view text,
                        RegView view = RegView::native);
Result<void> set_expand_string(Channel to, std::string_view key, std::string_view name, std::string_view text,
                               RegView view = RegView::native);
// REG_MULTI_SZ: each string followed by NUL, then the closing NUL; an empty
// list stores a single NUL unit.
Result<void> set_multi_string(Channel to, std::string_view key, std::string_view name,
                              const std::vector<std::string>& strings, RegView view = RegView::native);
// REG_BINARY: exactly these bytes (possibly none).
Result<void> set_binary(Channel to, std::string_view key, std::string_view name, std::string_view bytes,
                        RegView view = RegView::native);
// Any type number (REG_QWORD, REG_NONE, REG_RESOURCE_LIST, numbers without a
// name) with exactly these bytes.
Result<void> set_typed(Channel to, std::string_view key, std::string_view name, uint32_t type,
                       std::string_view bytes, RegView view = RegView::native);

// Deletes a key and everything below it; a missing key counts as deleted.
Result<void> delete_tree(Channel to, std::string_view key, RegView view = RegView::native);
// Deletes one value; a missing key or value is a failure.
Result<void> delete_value(Channel to, std::string_view key, std::string_view name,
                          RegView view = RegView::native);

// The requests the calls above send, for batches (Session::ask_all); they
// throw qv::Refused for what the calls refuse. The literal is one of those
// below.
Request list_key_request(std::string_view key, RegView view = RegView::native);
Request get_value_request(std::string_view key, std::string_view name, RegView view = RegView::native);
Request set_value_request(std::string_view key, std::string_view name, std::string_view literal,
                          RegView view = RegView::native);
Request delete_tree_request(std::string_view key, RegView view = RegView::native);
Request delete_value_request(std::string_view key, std::string_view name, RegView view = RegView::native);

// Their answers, parsed as the calls do (ProtocolError for an answer not in
// the command's format): a listing, one value, and the "success" of the
// writes and deletions.
Result<RegKey> parse_listing(std::string_view answer);
Result<std::optional<RegValue>> parse_value(std::string_view answer);
Result<void> parse_write(std::string_view answer);

// The value literals the server understands (what set_* send), exposed for
// tests; they refuse what set_* refuse.
std::string dword_literal(uint32_t value);
std::string string_literal(std::string_view text);
std::string expand_string_literal(std::string_view text);
std::string multi_string_literal(const std::vector<std::string>& strings);
std::string binary_literal(std::string_view bytes);
// "hex(N):" and the bytes: any type with exactly these bytes.
std::string typed_literal(uint32_t type, std::string_view bytes);

// Key paths: the root spelled the long way ("HKCU\x" -> "HKEY_CURRENT_USER\x")
// and the short way the server reads ("HKEY_CURRENT_USER\x" -> "HKCU\x").
// Roots are matched without regard to case; both throw std::invalid_argument
// for a root the server cannot reach.
std::string long_root_path(std::string_view path);
std::string short_root_path(std::string_view path);

}  // namespace qv
