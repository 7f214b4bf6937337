// `reg query|add|delete|copy|export|import` as Wine's reg of this release
// answers them: every message goes to standard output, lines end in CRLF.
// Declined (the real reg runs): help, export and import lines reg does not
// carry out, the search form (/s with /v or /ve), a prompt (no /f or /y
// where reg would ask), HKCC, text that is not printable ASCII (reg writes in
// the console's code page), values reg prints in a way not copied here, and
// copies a snapshot would not repeat (see copy).
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "qv/text.h"
#include "qv/registry.h"
#include "qv/regtree.h"
#include "served.h"

namespace front {
namespace {

constexpr const char* kCrlf = "\r\n";

Answer message(const std::string& text, int code) { return {"reg: " + text + kCrlf, "", code}; }
Answer invalid_syntax(const std::string& op) {
    std::string upper = op;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return message("Invalid syntax. Type \"REG " + upper + " /?\" for help.", 1);
}
Answer success() { return message("The operation completed successfully", 0); }


struct Root {
    const char* short_name;
    const char* long_name;
    bool served;  // the server reaches it
    bool user;    // in the users' hives, which no machine key links into
};
const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", true, false}, {"HKCU", "HKEY_CURRENT_USER", true, true},
    {"HKCR", "HKEY_CLASSES_ROOT", true, false},  {"HKU", "HKEY_USERS", true, true},
    {"HKCC", "HKEY_CURRENT_CONFIG", false, false},
};

bool root_matches(std::string_view key, std::string_view root) {
    return key.size() >= root.size() && iequal(key.substr(0, root.size()), root) &&
           (key.size() == root.size() || key[root.size()] == '\\');
}

// A key argument as reg parses it; a message when it refuses it.
struct Key {
    const Root* root = nullptr;
    std::string path;  // after the root, one trailing backslash dropped; empty for the root itself
    std::string server_path() const { return std::string(root->short_name) + (path.empty() ? "" : "\\" + path); }
    std::string long_name() const { return std::string(root->long_name) + (path.empty() ? "" : "\\" + path); }
};

std::optional<Answer> parse_key(const std::string& text, Key* key) {
    size_t n = text.size();
    if (n < 3 || (text[n - 1] == '\\' && text[n - 2] == '\\'))
        return message("Invalid registry key", 1);
    if (text[0] == '\\' && text[1] == '\\' && text[2] != '\\')
        return message("Unable to access remote machine", 1);
    for (const Root& r : kRoots)
        if (root_matches(text, r.short_name) || root_matches(text, r.long_name))
            key->root = &r;
    if (!key->root)
        return message("Invalid system key", 1);
    size_t slash = text.find('\\');
    if (slash == std::string::npos)
        return std::nullopt;
    key->path = text.substr(slash + 1);
    if (key->path.empty())
        return message("Invalid system key", 1);
    if (key->path.back() == '\\')
        key->path.pop_back();
    return std::nullopt;
}

// The switches of one operation, parsed as reg parses them.
struct Switches {
    std::optional<std::string> value_name, type, data;
    bool value_empty = false, value_all = false, recurse = false, force = false;
    bool view32 = false, view64 = false;
    char separator = '\0';  // add's /s: the character that ends a REG_MULTI_SZ string
};

// False for invalid syntax. The switches start at args[first]; `letters`
// are the one-letter switches the operation takes; "va" only for delete.
bool parse_switches(const std::vector<std::string>& args, size_t first, const std::string& letters, bool takes_va,
                    Switches* s) {
    for (size_t i = first; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a.empty() || (a[0] != '/' && a[0] != '-'))
            return false;
        std::string str = a.substr(1);
        if (takes_va && iequal(str, "va")) {
            if (s->value_all)
                return false;
            s->value_all = true;
            continue;
        }
        if (iequal(str, "ve")) {
            if (s->value_empty)
                return false;
            s->value_empty = true;
            continue;
        }
        if (iequal(str, "reg:32")) {
            if (s->view32)
                return false;
            s->view32 = true;
            continue;
        }
        if (iequal(str, "reg:64")) {
            if (s->view64)
                return false;
            s->view64 = true;
            continue;
        }
        if (str.size() != 1)
            return false;
        char c = lower(str)[0];
        if (letters.find(c) == std::string::npos)
            return false;
        auto take = [&](std::optional<std::string>* into) {
            if (*into || i + 1 >= args.size())
                return false;
            *into = args[++i];
            return true;
        };
        switch (c) {
        case 'v':
            if (!take(&s->value_name))
                return false;
            break;
        case 't':
            if (!take(&s->type))
                return false;
            break;
        case 'd':
            if (!take(&s->data))
                return false;
            break;
        case 's':
            if (letters.find('t') != std::string::npos) {
                // add: /s takes the separator of REG_MULTI_SZ data.
                if (s->separator || i + 1 >= args.size() || args[i + 1].size() != 1)
                    return false;
                s->separator = args[++i][0];
            } else {
                if (s->recurse)
                    return false;
                s->recurse = true;
            }
            break;
        case 'f':
            if (s->force)
                return false;
            s->force = true;
            break;
        default:
            return false;
        }
    }
    return !(s->view32 && s->view64);
}

qv::RegView view_of(const Switches& s, const Invocation& call) {
    if (s.view32)
        return qv::RegView::win32;
    if (s.view64)
        return qv::RegView::native;
    return call.view();
}

// A value's line as reg prints it; none when reg prints it another way than
// copied here (or not in printable ASCII).
std::optional<std::string> value_line(const std::string& shown_name, const qv::RegValue& v) {
    static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN", nullptr, "REG_MULTI_SZ"};
    std::string type;
    if (v.type < 8 && names[v.type])
        type = names[v.type];
    else if (v.type == qv::reg_qword)
        type = "REG_QWORD";
    else
        return std::nullopt;
    std::string data;
    switch (v.type) {
    case qv::reg_sz:
    case qv::reg_expand_sz: {
        size_t nul = v.text.find('\0');
        if (v.data.size() % 2 || nul == std::string::npos)
            return std::nullopt;
        data = v.text.substr(0, nul);
        break;
    }
    case qv::reg_none:
    case qv::reg_binary:
        data = qv::to_hex(v.data);
        for (char& c : data)
            if (c >= 'a' && c <= 'f')
                c = static_cast<char>(c - 'a' + 'A');
        break;
    case qv::reg_dword:
    case qv::reg_dword_big_endian: {
        if (v.data.size() < 4)
            return std::nullopt;
        uint32_t n = 0;
        for (int i = 3; i >= 0; i--)
            n = (n << 8) | static_cast<unsigned char>(v.data[static_cast<size_t>(i)]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", n);
        data = buf;
        break;
    }
    case qv::reg_multi_sz: {
        if (v.data.size() % 2)
            return std::nullopt;
        if (v.data.size() > 4) {
            // Every string but the last two NUL units; a NUL inside shows as "\0".
            std::string units = qv::utf16le_to_utf8(v.data.substr(0, v.data.size() - 4));
            for (char c : units)
                data += c ? std::string(1, c) : std::string("\\0");
        }
        break;
    }
    case qv::reg_qword:
        data = "(null)";  // reg has a name for the type but no way to print it
        break;
    }
    if (!printable_ascii(data))
        return std::nullopt;
    return "    " + shown_name + "    " + type + "    " + data + kCrlf;
}

// The value of that name, compared as the registry compares names.
const qv::RegValue* find_value(const qv::RegKey& key, const std::string& name) {
    for (const qv::RegValue& v : key.values)
        if (iequal(v.name, name))
            return &v;
    return nullptr;
}

// The lines of a key's values, in the order listed; none when one is not
// printed as copied here.
std::optional<std::string> value_lines(const std::vector<qv::RegValue>& values) {
    std::string out;
    for (const qv::RegValue& v : values) {
        if (!printable_ascii(v.name))
            return std::nullopt;
        std::optional<std::string> line = value_line(v.name.empty() ? "(Default)" : v.name, v);
        if (!line)
            return std::nullopt;
        out += *line;
    }
    return out;
}

// `reg query KEY /s`: the key and every key below it, each before its own
// subkeys, each with its values and a blank line.
std::optional<Answer> query_tree(const Invocation& call, Prefix& prefix, const Key& key, const Switches& s) {
    qv::Result<qv::TreeExport> tree = qv::export_tree(prefix.session(), key.server_path(), view_of(s, call));
    if (!tree) {
        if (tree.failure->is(qv::kFileNotFound))
            return message("Unable to find the specified registry key", 1);
        return std::nullopt;
    }
    if (!tree->warnings.empty() || tree->file.keys.empty())
        return std::nullopt;  // keys Wine lists in its own way
    const std::string& top = tree->file.keys.front().path;
    Answer a;
    a.out = kCrlf;
    for (const qv::RegFileKey& k : tree->file.keys) {
        if (k.path.compare(0, top.size(), top) != 0 || !printable_ascii(k.path))
            return std::nullopt;
        std::vector<qv::RegValue> values;
        for (const qv::RegFileValue& fv : k.values)
            values.push_back(qv::listed_value(fv));
        std::optional<std::string> lines = value_lines(values);
        if (!lines)
            return std::nullopt;
        // The top key is named only when it has values; every key below it is.
        if (&k != &tree->file.keys.front() || !values.empty())
            a.out += key.long_name() + k.path.substr(top.size()) + kCrlf + *lines + kCrlf;
    }
    return a;
}

std::optional<Answer> query(const Invocation& call, Prefix& prefix, const Key& key, const Switches& s) {
    if (s.recurse)
        return s.value_name || s.value_empty ? std::nullopt : query_tree(call, prefix, key, s);
    Answer a;
    a.out = kCrlf;
    std::string name = key.long_name();
    if (s.value_name || s.value_empty) {
        // One value: one request, whatever the size of its key.
        std::string wanted = s.value_name ? *s.value_name : "";
        qv::Result<std::optional<qv::RegValue>> got =
            qv::get_value(prefix.session(), key.server_path(), wanted, view_of(s, call));
        if (!got) {
            if (got.failure->is(qv::kFileNotFound))
                return message("Unable to find the specified registry key", 1);
            return std::nullopt;
        }
        if (*got) {
            std::optional<std::string> line = value_line(wanted.empty() ? "(Default)" : wanted, **got);
            if (!line)
                return std::nullopt;
            a.out += name + kCrlf + *line + kCrlf;
            return a;
        }
        if (!wanted.empty()) {
            a.out += "reg: Unable to find the specified registry value\r\n";
            a.code = 1;
            return a;
        }
        a.out += name + kCrlf + "    (Default)    REG_SZ    (value not set)" + kCrlf;
        return a;
    }
    qv::Result<qv::RegKey> listed = qv::list_key(prefix.session(), key.server_path(), view_of(s, call));
    if (!listed) {
        if (listed.failure->is(qv::kFileNotFound))
            return message("Unable to find the specified registry key", 1);
        return std::nullopt;
    }
    std::optional<std::string> lines = value_lines(listed->values);
    if (!lines)
        return std::nullopt;
    if (!listed->values.empty())
        a.out += name + kCrlf + *lines + kCrlf;
    for (const std::string& sub : listed->subkeys) {
        if (!printable_ascii(sub))
            return std::nullopt;
        a.out += name + "\\" + sub + kCrlf;
    }
    return a;
}

// reg creates the key before it looks at the type and the data, so a
// refused type or number still leaves the key behind.
bool create_key(Prefix& prefix, const Key& key, qv::RegView view) {
    const char* helper = "qvfront-new-key";
    return qv::set_dword(prefix.session(), key.server_path(), helper, 0, view).ok() &&
           qv::delete_value(prefix.session(), key.server_path(), helper, view).ok();
}

// The DWORD of /d as reg reads it (decimal, or hex after "0x"); none when
// reg would refuse it or read it in a way not copied here.
enum class Number { good, bad, unsure };
Number parse_dword(const std::string& d, uint32_t* out) {
    if (d.empty())
        return Number::unsure;
    char first = d[0];
    if (!(first >= '0' && first <= '9') && first != '+' && first != '-' && first != ' ' && first != '\t')
        return Number::bad;  // nothing to read: reg refuses it
    bool hex = d.size() > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X');
    std::string digits = hex ? d.substr(2) : d;
    if (digits.empty() || digits.size() > 16)
        return Number::unsure;
    uint64_t n = 0;
    for (char c : digits) {
        int v = qv::hex_digit(c);
        if (v < 0 || (!hex && v > 9))
            return Number::unsure;
        n = n * (hex ? 16 : 10) + static_cast<unsigned>(v);
    }
    if (n > 0xffffffffu)
        return Number::unsure;
    *out = static_cast<uint32_t>(n);
    return Number::good;
}

// The QWORD of /d as reg reads it: none or empty is 0, decimal, or hex
// after "0x". Unlike a DWORD, reg takes a sign, and overflow reads as the
// largest number: both are left to it.
Number parse_qword(const std::optional<std::string>& d, uint64_t* out) {
    *out = 0;
    if (!d || d->empty())
        return Number::good;
    char first = (*d)[0];
    if (first < '0' || first > '9')
        return first == '+' || first == '-' || first == ' ' || first == '\t' ? Number::unsure : Number::bad;
    bool hex = d->size() >= 2 && first == '0' && ((*d)[1] == 'x' || (*d)[1] == 'X');
    std::string digits = hex ? d->substr(2) : *d;
    if (digits.empty())
        return Number::bad;  // "0x": the 0 is read and the x is left over
    const uint64_t base = hex ? 16 : 10;
    uint64_t n = 0;
    for (char c : digits) {
        int v = qv::hex_digit(c);
        if (v < 0 || static_cast<uint64_t>(v) >= base)
            return Number::bad;  // left over after the number
        if (n > (UINT64_MAX - static_cast<uint64_t>(v)) / base)
            return Number::bad;  // out of range
        n = n * base + static_cast<uint64_t>(v);
    }
    if (n == UINT64_MAX)
        return Number::unsure;
    *out = n;
    return Number::good;
}

// The strings of a REG_MULTI_SZ's /d as reg makes them: the separator (/s)
// or, without one, "\0" ends a string, and the data ends in an empty one.
// False for an empty string before another or at the start, which reg
// refuses.
bool parse_multi_string(const std::string& d, char separator, std::string* out) {
    std::string chars;  // one byte per character: /d is printable ASCII here
    for (size_t i = 0; i < d.size(); i++) {
        if (!separator && d[i] == '\\' && i + 1 < d.size() && d[i + 1] == '0') {
            chars += '\0';
            i++;
        } else if (separator && d[i] == separator) {
            chars += '\0';
        } else {
            chars += d[i];
        }
        size_t at = chars.size() - 1;
        if (at > 0 && chars[at - 1] == '\0' && (chars[at] == '\0' || at == 1))
            return false;
    }
    if (!chars.empty() && chars.back() != '\0')
        chars += '\0';
    chars += '\0';
    out->clear();
    for (char c : chars)
        *out += std::string{c, '\0'};
    return true;
}

std::optional<Answer> add(const Invocation& call, Prefix& prefix, const Key& key, const Switches& s) {
    if (key.path.empty())
        return std::nullopt;
    qv::RegView view = view_of(s, call);
    std::string name = s.value_name ? *s.value_name : "";
    std::string type = s.type ? *s.type : "REG_SZ";
    std::string data = s.data ? *s.data : "";
    if (!printable_ascii(name) || !printable_ascii(type) || !printable_ascii(data))
        return std::nullopt;
    if (!s.force) {
        // reg asks before it overwrites a value of a key that exists.
        qv::Result<qv::RegKey> listed = qv::list_key(prefix.session(), key.server_path(), view);
        if (listed ? find_value(*listed, name) != nullptr : !listed.failure->is(qv::kFileNotFound))
            return std::nullopt;
    }
    static const char* const known[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                        "REG_DWORD_LITTLE_ENDIAN", "REG_DWORD_BIG_ENDIAN", "REG_MULTI_SZ",
                                        "REG_QWORD"};
    bool is_known = false;
    for (const char* k : known)
        is_known = is_known || iequal(type, k);
    auto refuse = [&](const std::string& text) -> std::optional<Answer> {
        if (!create_key(prefix, key, view))
            return std::nullopt;
        return message(text, 1);
    };
    if (!is_known)
        return refuse("Unsupported registry data type [" + type + "]");
    qv::Result<void> written;
    if (iequal(type, "REG_NONE")) {
        // reg stores REG_NONE data as it stores a string.
        written = qv::set_typed(prefix.session(), key.server_path(), name, qv::reg_none,
                                qv::utf8_to_utf16le(data) + std::string(2, '\0'), view);
    } else if (iequal(type, "REG_SZ") || iequal(type, "REG_EXPAND_SZ")) {
        written = iequal(type, "REG_SZ") ? qv::set_string(prefix.session(), key.server_path(), name, data, view)
                                         : qv::set_expand_string(prefix.session(), key.server_path(), name, data, view);
    } else if (iequal(type, "REG_DWORD") || iequal(type, "REG_DWORD_LITTLE_ENDIAN") ||
               iequal(type, "REG_DWORD_BIG_ENDIAN")) {
        if (!s.data)
            return refuse("Invalid command line parameters");
        uint32_t n = 0;
        Number read = parse_dword(data, &n);
        if (read == Number::unsure)
            return std::nullopt;
        if (read == Number::bad)
            return refuse("The option [/d] must be followed by a valid numeric value");
        // reg stores a big-endian number in the machine's own order, as a DWORD's.
        written = iequal(type, "REG_DWORD_BIG_ENDIAN")
                      ? qv::set_typed(prefix.session(), key.server_path(), name, qv::reg_dword_big_endian,
                                      qv::little_endian_bytes(n, 4), view)
                      : qv::set_dword(prefix.session(), key.server_path(), name, n, view);
    } else if (iequal(type, "REG_BINARY")) {
        std::string bytes;
        size_t i = 0;
        if (data.size() % 2) {
            int v = qv::hex_digit(data[0]);
            if (v < 0)
                return refuse("The option [/d] must be followed by a valid hexadecimal value");
            bytes += static_cast<char>(v);
            i = 1;
        }
        for (; i + 1 < data.size(); i += 2) {
            int hi = qv::hex_digit(data[i]), lo = qv::hex_digit(data[i + 1]);
            if (hi < 0 || lo < 0)
                return refuse("The option [/d] must be followed by a valid hexadecimal value");
            bytes += static_cast<char>(hi << 4 | lo);
        }
        written = qv::set_binary(prefix.session(), key.server_path(), name, bytes, view);
    } else if (iequal(type, "REG_QWORD")) {
        uint64_t n = 0;
        Number read = parse_qword(s.data, &n);
        if (read == Number::unsure)
            return std::nullopt;
        if (read == Number::bad)
            return refuse("The option [/d] must be followed by a valid numeric value");
        written = qv::set_typed(prefix.session(), key.server_path(), name, qv::reg_qword,
                                qv::little_endian_bytes(n, 8), view);
    } else if (iequal(type, "REG_MULTI_SZ")) {
        std::string bytes;
        if (!parse_multi_string(data, s.separator, &bytes))
            return refuse("The option [/d] must be followed by a valid string");
        written = qv::set_typed(prefix.session(), key.server_path(), name, qv::reg_multi_sz, bytes, view);
    } else {
        return std::nullopt;
    }
    if (!written)
        return std::nullopt;
    return success();
}

std::optional<Answer> remove(const Invocation& call, Prefix& prefix, const Key& key, const Switches& s) {
    if (!s.force || key.path.empty())
        return std::nullopt;  // reg would ask first; the root itself is not ours to delete
    qv::RegView view = view_of(s, call);
    qv::Result<qv::RegKey> listed = qv::list_key(prefix.session(), key.server_path(), view);
    if (!listed) {
        if (listed.failure->is(qv::kFileNotFound))
            return message("Unable to find the specified registry key", 1);
        return std::nullopt;
    }
    if (!s.value_name && !s.value_empty && !s.value_all) {
        if (!qv::delete_tree(prefix.session(), key.server_path(), view))
            return std::nullopt;
        return success();
    }
    if (s.value_all) {
        for (const qv::RegValue& v : listed->values)
            if (!qv::delete_value(prefix.session(), key.server_path(), v.name, view))
                return std::nullopt;
        return success();
    }
    std::string name = s.value_name ? *s.value_name : "";
    if (!printable_ascii(name))
        return std::nullopt;
    if (!find_value(*listed, name))
        return message("Unable to find the specified registry value", 1);
    if (!qv::delete_value(prefix.session(), key.server_path(), name, view))
        return std::nullopt;
    return success();
}

// Whether the key path is base or lies below it, ASCII folded as the
// registry folds it.
bool at_or_below(const std::string& path, const std::string& base) {
    return iequal(path, base) ||
           (path.size() > base.size() && path[base.size()] == '\\' && iequal(path.substr(0, base.size()), base));
}

// Whether a name of the path is Wow6432Node, where the 32-bit view turns.
bool names_wow64_node(const std::string& path) {
    std::string folded = "\\" + lower(path) + "\\";
    return folded.find("\\wow6432node\\") != std::string::npos;
}

// With /s, reg lists each source key after it has written the ones before,
// so a copy of a snapshot gives the same only where no write reaches the
// source tree. The users' hives hold no links, and without Wow6432Node keys
// no 32-bit redirection either: there two paths of one root meet only when
// one lies below the other, and a user key never meets a machine key.
// Machine keys reach each other through links and the 32-bit view.
bool trees_apart(const Key& from, const Key& to) {
    if (from.root->user != to.root->user)
        return true;
    return from.root == to.root && from.root->user && !at_or_below(from.path, to.path) &&
           !at_or_below(to.path, from.path);
}

// U+FFFD, which the listing shows for ill-formed UTF-16 in names and text.
constexpr const char* kReplacement = "\xEF\xBF\xBD";

// A value reg stores as the listing shows it. Not: a link; a name or text
// with U+FFFD; text that does not end in NUL, which reg's write lengthens
// by what follows in its buffer.
bool copies_exactly(const qv::RegFileValue& v) {
    if (v.type == qv::reg_link || v.name.find(kReplacement) != std::string::npos)
        return false;
    if (v.type != qv::reg_sz && v.type != qv::reg_expand_sz && v.type != qv::reg_multi_sz)
        return true;
    return v.data.empty() ||
           (v.data.size() % 2 == 0 && v.data.compare(v.data.size() - 2, 2, std::string(2, '\0')) == 0 &&
            qv::utf16le_to_utf8(v.data).find(kReplacement) == std::string::npos);
}

// Whether no value of the file exists yet at its key: reg asks before it
// overwrites one, and asks again for ever when nobody answers.
bool only_new_values(Prefix& prefix, const qv::RegFile& file, qv::RegView view) {
    std::vector<qv::Request> asks;
    for (const qv::RegFileKey& k : file.keys)
        for (const qv::RegFileValue& v : k.values)
            asks.push_back(qv::get_value_request(k.path, v.name, view));
    for (const std::string& answer : prefix.session().ask_all(asks)) {
        qv::Result<std::optional<qv::RegValue>> got = qv::parse_value(answer);
        if (got ? got->has_value() : !got.failure->is(qv::kFileNotFound))
            return false;
    }
    return true;
}

// `reg copy KEY1 KEY2 [/s] [/f]`: KEY1's values into KEY2, made with its
// parents when missing, and with /s every key below KEY1 too; nothing is
// printed on success. Copied from a snapshot of KEY1 where that gives what
// reg's walk gives (without /s always: a key copied onto itself is
// rewritten unchanged), and declined where reg would ask.
std::optional<Answer> copy(const Invocation& call, Prefix& prefix, const std::vector<std::string>& args) {
    if (args.size() == 3)
        return invalid_syntax(args[1]);
    Key from, to;
    if (std::optional<Answer> refused = parse_key(args[2], &from))
        return refused;
    if (std::optional<Answer> refused = parse_key(args[3], &to))
        return refused;
    Switches s;
    if (!parse_switches(args, 4, "sf", false, &s) || s.value_empty)
        return invalid_syntax(args[1]);
    if (from.root == to.root && iequal(from.path, to.path))
        return message("The source and destination keys cannot be the same", 1);
    // A root itself, or an empty name in a path, which the registry reads its own way.
    for (const Key* k : {&from, &to})
        if (!k->root->served || k->path.empty() || k->path[0] == '\\' || k->path.find("\\\\") != std::string::npos)
            return std::nullopt;
    if (s.recurse && (!trees_apart(from, to) || names_wow64_node(to.path)))
        return std::nullopt;
    qv::RegView view = view_of(s, call);
    qv::RegFile file;
    if (s.recurse) {
        qv::Result<qv::TreeExport> tree = qv::export_tree(prefix.session(), from.server_path(), view);
        if (!tree || !tree->warnings.empty()) {
            if (!tree && tree.failure->is(qv::kFileNotFound))
                return message("Unable to find the specified registry key", 1);
            return std::nullopt;
        }
        file = std::move(tree->file);
    } else {
        qv::Result<qv::RegKey> listed = qv::list_key(prefix.session(), from.server_path(), view);
        if (!listed) {
            if (listed.failure->is(qv::kFileNotFound))
                return message("Unable to find the specified registry key", 1);
            return std::nullopt;
        }
        qv::RegFileKey top{from.long_name(), false, {}};
        for (const qv::RegValue& v : listed->values)
            top.values.push_back(qv::file_value(v));
        file.keys.push_back(std::move(top));
    }
    for (const qv::RegFileKey& k : file.keys) {
        if (k.path.find(kReplacement) != std::string::npos || (s.recurse && names_wow64_node(k.path)))
            return std::nullopt;
        for (const qv::RegFileValue& v : k.values)
            if (!copies_exactly(v))
                return std::nullopt;
    }
    qv::rebase_regfile(file, from.server_path(), to.server_path());
    if (!s.force && !only_new_values(prefix, file, view))
        return std::nullopt;
    if (!import_exactly(file, view, prefix))
        return std::nullopt;
    return Answer{};
}

}  // namespace

// `reg export KEY FILE [/y]` and `reg import FILE`, with /reg:32 or
// /reg:64: the lines reg carries out. Its messages for the others (and its
// question before it overwrites a file) are not copied here.
std::optional<Answer> transfer(const Invocation& call, Prefix& prefix, const std::vector<std::string>& args) {
    bool is_export = iequal(args[1], "export");
    size_t first_switch = is_export ? 4 : 3;
    if (args.size() < first_switch)
        return std::nullopt;
    bool overwrite = false, view32 = false, view64 = false;
    for (size_t i = first_switch; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a.size() < 2 || (a[0] != '/' && a[0] != '-'))
            return std::nullopt;
        std::string sw = lower(a.substr(1));
        bool* flag = sw == "y" && is_export ? &overwrite : sw == "reg:32" ? &view32 : sw == "reg:64" ? &view64 : nullptr;
        if (!flag || *flag)
            return std::nullopt;
        *flag = true;
    }
    if (view32 && view64)
        return std::nullopt;
    qv::RegView view = view32 ? qv::RegView::win32 : view64 ? qv::RegView::native : call.view();
    if (!is_export) {
        std::optional<std::string> path = file_argument(args[2], prefix);
        if (!path || !import_reg_file(*path, view, prefix))
            return std::nullopt;
        return Answer{};
    }
    Key key;
    if (parse_key(args[2], &key) || !key.root->served || key.path.empty())
        return std::nullopt;
    std::optional<std::string> path = file_argument(args[3], prefix);
    struct stat st;
    if (!path || (!overwrite && lstat(path->c_str(), &st) == 0))
        return std::nullopt;
    switch (export_reg_file(key.long_name(), *path, view, prefix)) {
    case Exported::written:
        return Answer{};
    case Exported::no_such_key:
        return message("Unable to find the specified registry key", 1);
    default:
        return std::nullopt;
    }
}

std::optional<Answer> serve_reg(const Invocation& call, Prefix& prefix) {
    std::vector<std::string> args = call.args;
    args.insert(args.begin(), "reg");
    for (const std::string& a : args)
        if (!printable_ascii(a))
            return std::nullopt;
    if (args.size() == 1)
        return message("Invalid syntax. Type \"REG /?\" for help.", 1);
    const std::string& op = args[1];
    auto help_switch = [](const std::string& a) {
        return a.size() == 2 && (a[0] == '/' || a[0] == '-') && (a[1] == '?' || a[1] == 'h' || a[1] == 'H');
    };
    if (help_switch(op))
        return std::nullopt;
    bool is_query = iequal(op, "query"), is_add = iequal(op, "add"), is_delete = iequal(op, "delete");
    bool is_copy = iequal(op, "copy");
    if (!is_query && !is_add && !is_delete && !is_copy) {
        if (iequal(op, "export") || iequal(op, "import"))
            return help_switch(args.size() > 2 ? args[2] : "") ? std::nullopt : transfer(call, prefix, args);
        return message("Invalid option [" + op + "]. Type \"REG /?\" for help.", 1);
    }
    if (args.size() == 2)
        return invalid_syntax(op);
    if (help_switch(args[2]))
        return args.size() > 3 ? std::optional<Answer>(invalid_syntax(op)) : std::nullopt;
    if (is_copy)
        return copy(call, prefix, args);
    Key key;
    if (std::optional<Answer> refused = parse_key(args[2], &key))
        return refused;
    Switches s;
    bool ok = parse_switches(args, 3, is_query ? "vs" : is_add ? "vtdsf" : "vf", is_delete, &s);
    if (ok && s.value_name && s.value_empty)
        ok = false;
    if (ok && is_delete && ((s.value_name && s.value_all) || (s.value_empty && s.value_all)))
        ok = false;
    if (!ok)
        return invalid_syntax(op);
    if (!key.root->served)
        return std::nullopt;
    if (is_query)
        return query(call, prefix, key, s);
    if (is_add)
        return add(call, prefix, key, s);
    return remove(call, prefix, key, s);
}

}  // namespace front
