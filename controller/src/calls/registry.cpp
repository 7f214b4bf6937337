#include "qv/registry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "qv/escape.h"
#include "qv/text.h"

#include "call.h"

namespace qv {

namespace {

constexpr std::string_view kSuccess = "success";

struct Root {
    const char* longer;
    const char* shorter;
};
constexpr Root kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},
};

// The root and the rest (without leading or trailing backslashes).
std::pair<const Root*, std::string_view> split_root(std::string_view path) {
    size_t bs = path.find('\\');
    std::string_view root = path.substr(0, bs);
    std::string_view rest = bs == std::string_view::npos ? std::string_view() : path.substr(bs + 1);
    while (!rest.empty() && rest.back() == '\\')
        rest.remove_suffix(1);
    for (const Root& r : kRoots)
        if (iequals(root, r.longer) || iequals(root, r.shorter))
            return {&r, rest};
    throw std::invalid_argument("not a registry root the server can reach: \"" + std::string(root) +
                                "\" (use HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, "
                                "HKEY_USERS or HKCR, HKCU, HKLM, HKU)");
}

[[noreturn]] void refuse(const std::string& what) { throw Refused("registry request refused: " + what); }

void check_text(std::string_view text, const char* what) {
    if (text.find('\0') != std::string_view::npos)
        refuse(std::string(what) + " contains NUL, which a request cannot carry");
    if (std::optional<size_t> bad = utf8_error(text))
        refuse(std::string(what) + " is not valid UTF-8 (byte offset " + std::to_string(*bad) + ")");
}

std::string view_path(std::string_view key, RegView view) {
    check_text(key, "the key path");
    // The view is a parameter; a prefix in the path would be read as one.
    if (key.substr(0, 3) == "32\\" || key.substr(0, 5) == "3264\\")
        refuse("the key path starts with a view prefix; pass the view as a parameter");
    switch (view) {
    case RegView::native:
        return std::string(key);
    case RegView::win32:
        return "32\\" + std::string(key);
    case RegView::both:
        return "3264\\" + std::string(key);
    }
    return std::string(key);
}

// The path of "setregkey" and "rmregvalue" ends at the first LF.
std::string field_path(std::string_view key, RegView view) {
    std::string path = view_path(key, view);
    if (path.find('\n') != std::string::npos)
        refuse("a key path with LF can only be deleted as a tree; it cannot be written or have values deleted");
    return path;
}


[[noreturn]] void bad_listing(std::string_view line, const char* why) {
    throw ProtocolError(std::string("unexpected listing line (") + why + "): \"" +
                        std::string(line.substr(0, 200)) + "\"");
}

Win32Code parse_code(std::string_view digits, std::string_view line) {
    std::optional<Win32Code> code = parse_win32_code(digits);
    if (!code)
        bad_listing(line, "error code");
    return *code;
}

RegValue parse_value_line(std::string_view line) {
    // "value " NAME "\0 " TYPE " " DATA, NAME escaped without \0 inside.
    RegValue v;
    size_t i = 6;
    for (;;) {
        if (i >= line.size())
            bad_listing(line, "unterminated name");
        char c = line[i];
        if (c == '\\') {
            if (i + 1 >= line.size())
                bad_listing(line, "unterminated name");
            char next = line[i + 1];
            i += 2;
            if (next == '0')
                break;
            if (next == 'n')
                v.name += '\n';
            else if (next == '\\')
                v.name += '\\';
            else
                bad_listing(line, "escape in name");
        } else {
            v.name += c;
            i++;
        }
    }
    if (i >= line.size() || line[i] != ' ')
        bad_listing(line, "after name");
    i++;
    size_t space = line.find(' ', i);
    if (space == std::string_view::npos)
        bad_listing(line, "type");
    v.type = static_cast<uint32_t>(parse_code(line.substr(i, space - i), line));
    std::string_view data = line.substr(space + 1);
    if (v.is_text()) {
        if (data.empty() || data[0] != '=')
            bad_listing(line, "text data");
        v.text = unescape(data.substr(1));
        v.data = utf8_to_utf16le(v.text);
    } else {
        std::optional<std::string> bytes = from_hex(data);
        if (!bytes)
            bad_listing(line, "hex data");
        v.data = std::move(*bytes);
    }
    return v;
}

}  // namespace

bool RegValue::is_text() const {
    return type == reg_sz || type == reg_expand_sz || type == reg_link || type == reg_multi_sz;
}

uint32_t RegValue::dword() const {
    if (data.size() != 4)
        throw std::logic_error("value \"" + name + "\" does not hold 4 bytes");
    return static_cast<uint32_t>(little_endian(data));
}

uint64_t RegValue::qword() const {
    if (data.size() != 8)
        throw std::logic_error("value \"" + name + "\" does not hold 8 bytes");
    return little_endian(data);
}

std::string RegValue::string() const {
    if (!text.empty() && text.back() == '\0')
        return text.substr(0, text.size() - 1);
    return text;
}

std::vector<std::string> RegValue::strings() const {
    // The list is (string NUL)* NUL: drop the closing NUL, then the last
    // string's own, and split what remains.
    std::string_view t = text;
    if (t.size() >= 2 && t.substr(t.size() - 2) == std::string_view("\0\0", 2))
        t.remove_suffix(1);
    if (!t.empty() && t.back() == '\0')
        t.remove_suffix(1);
    std::vector<std::string> out;
    if (t.empty())
        return out;
    for (size_t start = 0;;) {
        size_t nul = t.find('\0', start);
        out.emplace_back(t.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start));
        if (nul == std::string_view::npos)
            return out;
        start = nul + 1;
    }
}

const RegValue* RegKey::find(std::string_view name) const {
    for (const RegValue& v : values)
        if (v.name == name)
            return &v;
    return nullptr;
}

Result<RegKey> parse_listing(std::string_view answer) {
    if (answer.substr(0, 6) == "error ")
        return server_failure(answer);
    // A failed open is one "errno N" without a newline.
    if (answer.substr(0, 6) == "errno " && answer.find('\n') == std::string_view::npos) {
        Win32Code code = parse_code(answer.substr(6), answer);
        return Failure{Failure::Kind::win32, code, win32_message(code)};
    }
    RegKey listing;
    std::optional<Win32Code> value_error, subkey_error;
    bool in_subkeys = false;
    size_t pos = 0;
    while (pos < answer.size()) {
        size_t lf = answer.find('\n', pos);
        if (lf == std::string_view::npos)
            bad_listing(answer.substr(pos), "no line end");
        std::string_view line = answer.substr(pos, lf - pos);
        pos = lf + 1;
        if (line.substr(0, 6) == "value ") {
            if (in_subkeys)
                bad_listing(line, "value after subkeys");
            listing.values.push_back(parse_value_line(line));
        } else if (line.substr(0, 7) == "subkey ") {
            in_subkeys = true;
            listing.subkeys.push_back(unescape(line.substr(7)));
        } else if (line.substr(0, 6) == "errno ") {
            // The value phase ends with its error line and the subkeys
            // follow; an error line after that ends the subkeys.
            Win32Code code = parse_code(line.substr(6), line);
            if (in_subkeys || value_error)
                subkey_error = subkey_error.value_or(code);
            else
                value_error = code;
            in_subkeys = in_subkeys || value_error.has_value();
        } else
            bad_listing(line, "unknown line");
    }
    if (!value_error && !subkey_error)
        return listing;
    std::string what = value_error ? "the values could not all be listed: " + win32_message(*value_error)
                                   : "the subkeys could not all be listed: " + win32_message(*subkey_error);
    if (value_error && subkey_error)
        what += "; the subkeys neither: " + win32_message(*subkey_error);
    return Result<RegKey>(std::move(listing), incomplete_failure(what, value_error.value_or(*subkey_error)));
}

Result<RegKey> list_key(Channel to, std::string_view key, RegView view) {
    return detail::call(to, [&] { return list_key_request(key, view); }, parse_listing);
}

// The answer is a listing of that value alone; the error line of its value
// phase says the value could not be read.
Result<std::optional<RegValue>> parse_value(std::string_view answer) {
    Result<RegKey> listed = parse_listing(answer);
    if (listed.ok() && listed->values.size() == 1 && listed->subkeys.empty())
        return std::optional<RegValue>(std::move(listed->values.front()));
    if (listed.failure && listed->values.empty() && listed->subkeys.empty()) {
        if (listed.failure->kind == Failure::Kind::incomplete) {
            if (listed.failure->is(kFileNotFound))
                return std::optional<RegValue>();
            return Failure{Failure::Kind::win32, listed.failure->code, win32_message(listed.failure->code)};
        }
        return *listed.failure;
    }
    throw ProtocolError("unexpected answer to getregvalue: \"" + std::string(answer.substr(0, 200)) + "\"");
}

Result<std::optional<RegValue>> get_value(Channel to, std::string_view key, std::string_view name, RegView view) {
    return detail::call(to, [&] { return get_value_request(key, name, view); }, parse_value);
}

Result<void> parse_write(std::string_view answer) {
    if (answer == kSuccess)
        return {};
    return server_failure(answer);
}

std::string dword_literal(uint32_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "dword:%x", static_cast<unsigned>(value));
    return buf;
}

std::string string_literal(std::string_view text) {
    check_text(text, "the string");
    return "str:" + std::string(text);
}

std::string expand_string_literal(std::string_view text) {
    check_text(text, "the string");
    return "str(2):" + std::string(text);
}

std::string multi_string_literal(const std::vector<std::string>& strings) {
    std::string literal = "str(7):";
    for (const std::string& s : strings) {
        check_text(s, "a multi-string element");
        if (s.empty())
            refuse("an empty multi-string element would end the list");
        if (s.find("\\0") != std::string::npos)
            refuse("a multi-string element cannot hold backslash followed by '0' (it would split there)");
        // backslash-0 after every string, the last one closing the list;
        // an element ending in a backslash still pairs correctly, since
        // pairs are found from the left and that backslash is doubled.
        literal += s;
        literal += "\\0";
    }
    return literal;
}

namespace {

// Two hex digits a byte, a comma between: what both hex literals take.
std::string byte_list(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string list;
    list.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (i)
            list += ',';
        list += digits[c >> 4];
        list += digits[c & 15];
    }
    return list;
}

}  // namespace

std::string binary_literal(std::string_view bytes) { return "hex:" + byte_list(bytes); }

std::string typed_literal(uint32_t type, std::string_view bytes) {
    char head[24];
    std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(type));
    return head + byte_list(bytes);
}

Result<void> set_dword(Channel to, std::string_view key, std::string_view name, uint32_t value, RegView view) {
    return detail::call(to, [&] { return set_value_request(key, name, dword_literal(value), view); }, parse_write);
}

Result<void> set_string(Channel to, std::string_view key, std::string_view name, std::string_view text,
                        RegView view) {
    return detail::call(to, [&] { return set_value_request(key, name, string_literal(text), view); }, parse_write);
}

Result<void> set_expand_string(Channel to, std::string_view key, std::string_view name, std::string_view text,
                               RegView view) {
    return detail::call(
        to, [&] { return set_value_request(key, name, expand_string_literal(text), view); }, parse_write);
}

Result<void> set_multi_string(Channel to, std::string_view key, std::string_view name,
                              const std::vector<std::string>& strings, RegView view) {
    return detail::call(
        to, [&] { return set_value_request(key, name, multi_string_literal(strings), view); }, parse_write);
}

Result<void> set_binary(Channel to, std::string_view key, std::string_view name, std::string_view bytes,
                        RegView view) {
    return detail::call(to, [&] { return set_value_request(key, name, binary_literal(bytes), view); }, parse_write);
}

Result<void> set_typed(Channel to, std::string_view key, std::string_view name, uint32_t type,
                       std::string_view bytes, RegView view) {
    return detail::call(
        to, [&] { return set_value_request(key, name, typed_literal(type, bytes), view); }, parse_write);
}

Result<void> delete_tree(Channel to, std::string_view key, RegView view) {
    return detail::call(to, [&] { return delete_tree_request(key, view); }, parse_write);
}

Result<void> delete_value(Channel to, std::string_view key, std::string_view name, RegView view) {
    return detail::call(to, [&] { return delete_value_request(key, name, view); }, parse_write);
}

Request list_key_request(std::string_view key, RegView view) {
    if (view == RegView::both)
        refuse("a listing reads one view; RegView::both cannot be listed");
    std::string path = view_path(key, view);
    // "getregkey" takes its argument unescaped, so LF cannot be sent.
    if (path.find('\n') != std::string::npos)
        refuse("a key path with LF cannot be listed");
    return Request{"getregkey", path};
}

Request get_value_request(std::string_view key, std::string_view name, RegView view) {
    if (view == RegView::both)
        refuse("a value is read in one view; RegView::both cannot be read");
    std::string path = field_path(key, view);
    check_text(name, "the value name");
    // The name is the request's last field: an LF in it stays in it.
    return Request{"getregvalue", escape(path + "\n" + std::string(name))};
}

Request set_value_request(std::string_view key, std::string_view name, std::string_view literal, RegView view) {
    std::string path = field_path(key, view);
    check_text(name, "the value name");
    if (name.find('\n') != std::string_view::npos)
        refuse("a value name with LF cannot be written: the name ends at the first LF after the path");
    check_text(literal, "the value literal");
    return Request{"setregkey", escape(path + "\n" + std::string(name) + "\n" + std::string(literal))};
}

Request delete_tree_request(std::string_view key, RegView view) {
    return Request{"rmregtree", escape(view_path(key, view))};
}

Request delete_value_request(std::string_view key, std::string_view name, RegView view) {
    std::string path = field_path(key, view);
    check_text(name, "the value name");
    return Request{"rmregvalue", escape(path + "\n" + std::string(name))};
}

std::string long_root_path(std::string_view path) {
    auto [root, rest] = split_root(path);
    return rest.empty() ? std::string(root->longer) : std::string(root->longer) + "\\" + std::string(rest);
}

std::string short_root_path(std::string_view path) {
    auto [root, rest] = split_root(path);
    return std::string(root->shorter) + "\\" + std::string(rest);
}

}  // namespace qv
