#include "qv/regfile.h"

#include <cstdio>

#include "qv/failure.h"
#include "qv/registry.h"
#include "qv/text.h"

namespace qv {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
// The platform's editor breaks hex data once a line reaches this many UTF-16
// units, counting the comma just written and the name part.
constexpr size_t kWrapColumn = 77;

// 8-bit text of the ANSI code page as UTF-8.
std::string ansi_to_utf8(std::string_view s) { return utf16le_to_utf8(cp1252_to_utf16le(s)); }


// "hex", "dword" and the like in any case: their meaning does not change.
bool starts_nocase(std::string_view s, std::string_view word) {
    return s.size() >= word.size() && iequals(s.substr(0, word.size()), word);
}

// What stands before a ';' comment.
std::string_view before_comment(std::string_view s) { return s.substr(0, s.find(';')); }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Whether the first line that is not blank is the REGEDIT4 header.
bool is_regedit4(std::string_view bytes) {
    size_t start = bytes.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || bytes.substr(start, kHeader4.size()) != kHeader4)
        return false;
    std::string_view rest = bytes.substr(start + kHeader4.size());
    rest = rest.substr(0, rest.find('\n'));
    return rest.find_first_not_of(" \t\r") == std::string_view::npos;
}

class Parser {
public:
    explicit Parser(std::string text) : text_(std::move(text)) {}

    RegFile run() {
        RegFile file;
        std::string_view header;
        while (next_line(&header) && trim(header).empty()) {
        }
        header = trim(header);
        if (header == kHeader5)
            file.format = RegFileFormat::v5_utf8;
        else if (header == kHeader4)
            file.format = RegFileFormat::regedit4;
        else
            throw RegFileError(line_no_, "not a registry file: the first line must be \"" + std::string(kHeader5) +
                                             "\" or \"" + std::string(kHeader4) + "\"");
        v4_ = file.format == RegFileFormat::regedit4;
        std::string_view line;
        while (next_line(&line)) {
            std::string_view t = trim(line);
            if (t.empty() || t[0] == ';')
                continue;
            if (t[0] == '[') {
                size_t close = t.rfind(']');
                if (close == std::string_view::npos)
                    fail("a key line needs its closing ]");
                if (!trim(t.substr(close + 1)).empty())
                    fail("text after the key line's closing ]");
                RegFileKey key;
                std::string_view path = t.substr(1, close - 1);
                if (!path.empty() && path[0] == '-') {
                    key.remove = true;
                    path.remove_prefix(1);
                }
                if (path.empty())
                    fail("an empty key path");
                try {
                    short_root_path(path);
                } catch (const std::invalid_argument& e) {
                    fail(e.what());
                }
                key.path = std::string(path);
                file.keys.push_back(std::move(key));
                continue;
            }
            if (file.keys.empty())
                fail("a value before the first [key] line");
            if (file.keys.back().remove)
                fail("a value under a key that is being deleted");
            file.keys.back().values.push_back(value(t));
        }
        if (file.format == RegFileFormat::v5_utf8 && utf16_)
            file.format = RegFileFormat::v5_utf16;
        return file;
    }

    bool utf16_ = false;
    bool ansi_ = false;  // 8-bit text in the ANSI code page

private:
    bool next_line(std::string_view* line) {
        if (pos_ >= text_.size())
            return false;
        size_t lf = text_.find('\n', pos_);
        size_t end = lf == std::string::npos ? text_.size() : lf;
        *line = std::string_view(text_).substr(pos_, end - pos_);
        if (!line->empty() && line->back() == '\r')
            line->remove_suffix(1);
        pos_ = lf == std::string::npos ? text_.size() : lf + 1;
        line_no_++;
        return true;
    }

    [[noreturn]] void fail(const std::string& what) { throw RegFileError(line_no_, what); }

    // A quoted text starting at s[*i] == '"'; *i ends past the closing quote.
    std::string quoted(std::string_view s, size_t* i) {
        std::string out;
        size_t k = *i + 1;
        for (;;) {
            if (k >= s.size())
                fail("a quoted text without its closing quote");
            char c = s[k];
            if (c == '"')
                break;
            if (c == '\\' && k + 1 < s.size()) {
                char n = s[k + 1];
                k += 2;
                if (n == '\\' || n == '"')
                    out += n;
                else if (n == 'n')
                    out += '\n';
                else if (n == 'r')
                    out += '\r';
                else if (n == '0')
                    out += '\0';
                else {
                    out += '\\';
                    out += n;
                }
                continue;
            }
            out += c;
            k++;
        }
        *i = k + 1;
        return out;
    }

    std::string hex_bytes(std::string_view list) {
        std::string out;
        size_t k = 0;
        for (;;) {
            while (k < list.size() && (list[k] == ' ' || list[k] == '\t'))
                k++;
            if (k >= list.size())
                break;
            int hi = hex_digit(list[k]);
            if (hi < 0)
                fail("hex data holds \"" + std::string(list.substr(k, 1)) + "\" where a hex byte belongs");
            int v = hi;
            k++;
            if (k < list.size() && hex_digit(list[k]) >= 0)
                v = v * 16 + hex_digit(list[k++]);
            out += static_cast<char>(v);
            while (k < list.size() && (list[k] == ' ' || list[k] == '\t'))
                k++;
            if (k >= list.size())
                break;
            if (list[k] != ',')
                fail("hex bytes must be separated by commas");
            k++;
        }
        return out;
    }

    RegFileValue value(std::string_view t) {
        RegFileValue v;
        size_t i = 0;
        if (t[0] == '@')
            i = 1;
        else if (t[0] == '"') {
            v.name = quoted(t, &i);
            if (v.name.empty())
                fail("an empty value name: the default value is written @");
        } else
            fail("a value line must start with \"name\" or @");
        while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
            i++;
        if (i >= t.size() || t[i] != '=')
            fail("a value name must be followed by =");
        std::string_view data = trim(t.substr(i + 1));
        // A comment may follow the data; quoted text is cut only after its closing quote.
        if (data.empty() || data[0] != '"')
            data = trim(before_comment(data));
        if (data == "-") {
            v.remove = true;
            return v;
        }
        if (!data.empty() && data[0] == '"') {
            size_t k = 0;
            std::string text = quoted(data, &k);
            if (!trim(before_comment(data.substr(k))).empty())
                fail("text after the closing quote");
            v.type = reg_sz;
            v.data = to_utf16(text) + std::string(2, '\0');
            return v;
        }
        if (starts_nocase(data, "dword:")) {
            std::string_view digits = trim(data.substr(6));
            uint64_t n = 0;
            if (digits.size() > 8 || read_digits(digits, 16, 0xffffffff, &n) != DigitsRead::ok)
                fail("dword: needs 1 to 8 hex digits");
            v.type = reg_dword;
            for (int b = 0; b < 4; b++)
                v.data += static_cast<char>((n >> (8 * b)) & 0xff);
            return v;
        }
        if (starts_nocase(data, "hex")) {
            size_t colon = data.find(':');
            if (colon == std::string_view::npos)
                fail("hex data needs a colon after hex or hex(N)");
            std::string_view kind = data.substr(3, colon - 3);
            if (kind.empty())
                v.type = reg_binary;
            else {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
                    fail("a value type is written hex(N) with N in hex");
                uint64_t n = 0;
                if (read_digits(kind.substr(1, kind.size() - 2), 16, 0xffffffff, &n) != DigitsRead::ok)
                    fail("a value type is written hex(N) with N in hex");
                v.type = static_cast<uint32_t>(n);
            }
            std::string list(trim(data.substr(colon + 1)));
            std::string_view more;
            for (;;) {
                std::string_view tail = trim(list);
                if (tail.empty() || tail.back() != '\\')
                    break;
                list = std::string(tail.substr(0, tail.size() - 1));
                // Comment lines may stand between continued lines.
                do {
                    if (!next_line(&more))
                        fail("the file ends inside continued hex data");
                } while (!trim(more).empty() && trim(more)[0] == ';');
                list += std::string(trim(before_comment(more)));
            }
            std::string bytes = hex_bytes(list);
            v.data = v4_ && editor_text_type(v.type) ? text8_to_utf16(bytes) : bytes;
            return v;
        }
        fail("unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
    }

    std::string to_utf16(const std::string& text) {
        if (!valid_utf8(text))
            fail("text that is not valid UTF-8");
        return utf8_to_utf16le(text);
    }

    // The 8-bit text of a REGEDIT4 file's hex data as UTF-16LE.
    std::string text8_to_utf16(const std::string& bytes) {
        if (ansi_)
            return cp1252_to_utf16le(bytes);
        if (!valid_utf8(bytes))
            fail("hex text that is not UTF-8 in a file marked as UTF-8");
        return utf8_to_utf16le(bytes);
    }

    std::string text_;
    size_t pos_ = 0;
    size_t line_no_ = 0;
    bool v4_ = false;
};

std::string escape_text(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\0')
            out += "\\0";
        else
            out += c;
    }
    return out;
}

// The text of a REG_SZ that "text" can carry exactly, or false. Line breaks go
// escaped, as the platform's editor writes them.
bool plain_string(const RegFileValue& v, std::string* text) {
    if (v.type != reg_sz || v.data.size() < 2 || v.data.size() % 2)
        return false;
    std::string_view units(v.data.data(), v.data.size() - 2);
    if (v.data[v.data.size() - 2] != '\0' || v.data[v.data.size() - 1] != '\0')
        return false;
    std::string utf8 = utf16le_to_utf8(units);
    if (utf8_to_utf16le(utf8) != units)  // ill-formed UTF-16
        return false;
    if (utf8.find('\0') != std::string::npos)
        return false;
    *text = utf8;
    return true;
}

// UTF-16 units of UTF-8 text: the platform's editor counts line length in them.
size_t utf16_units(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xc0) != 0x80)
            n += c >= 0xf0 ? 2 : 1;
    return n;
}

std::string shown_value(const RegFileValue& v) {
    return v.name.empty() ? "the default value" : "the value \"" + v.name + "\"";
}

// UTF-8 text in the ANSI code page, or throws naming `what`.
std::string utf8_to_ansi(std::string_view utf8, const std::string& what) {
    std::string bytes;
    if (!utf16le_to_cp1252(utf8_to_utf16le(utf8), &bytes))
        throw Refused(what + " holds text that REGEDIT4 (Windows-1252) cannot carry; "
                                           "write version 5 instead");
    return bytes;
}

}  // namespace

bool editor_text_type(uint32_t type) { return type == reg_sz || type == reg_expand_sz || type == reg_multi_sz; }

RegFileError::RegFileError(size_t line, const std::string& what)
    : std::runtime_error(line ? "line " + std::to_string(line) + ": " + what : what), line(line) {}

RegFile parse_regfile(std::string_view bytes) {
    std::string text;
    bool utf16 = false, ansi = false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xff &&
        static_cast<unsigned char>(bytes[1]) == 0xfe) {
        utf16 = true;
        text = utf16le_to_utf8(bytes.substr(2));
        if (bytes.size() % 2)
            throw RegFileError(0, "a UTF-16 file of an odd number of bytes");
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xfe &&
               static_cast<unsigned char>(bytes[1]) == 0xff) {
        throw RegFileError(0, "UTF-16 big-endian files are not read; save it as UTF-16LE or UTF-8");
    } else if (bytes.substr(0, 3) == "\xef\xbb\xbf") {
        bytes.remove_prefix(3);
        if (!valid_utf8(bytes))
            throw RegFileError(0, "a file marked as UTF-8 holds bytes that are not UTF-8");
        text = std::string(bytes);
    } else if (is_regedit4(bytes)) {
        // REGEDIT4 is 8-bit text in the ANSI code page, as the platform's editor reads it.
        ansi = true;
        text = ansi_to_utf8(bytes);
    } else {
        // Version 5 in 8 bits: UTF-8 as this library writes it, else the ANSI code page.
        text = valid_utf8(bytes) ? std::string(bytes) : ansi_to_utf8(bytes);
    }
    Parser parser(std::move(text));
    parser.utf16_ = utf16;
    parser.ansi_ = ansi;
    return parser.run();
}

std::string regfile_value_text(const RegFileValue& v, RegFileFormat format) {
    std::string line = v.name.empty() ? "@=" : "\"" + escape_text(v.name) + "\"=";
    if (v.remove)
        return line + "-";
    std::string text;
    if (plain_string(v, &text))
        return line + "\"" + escape_text(text) + "\"";
    if (v.type == reg_dword && v.data.size() == 4) {
        uint32_t n = static_cast<uint32_t>(little_endian(v.data));
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(n));
        return line + buf;
    }
    std::string bytes = v.data;
    if (format == RegFileFormat::regedit4 && editor_text_type(v.type) && !utf16le_to_cp1252(v.data, &bytes))
        throw Refused(shown_value(v) + " holds text that REGEDIT4 (Windows-1252) cannot carry; "
                                                     "write version 5 instead");
    if (v.type == reg_binary)
        line += "hex:";
    else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        line += buf;
    }
    static const char digits[] = "0123456789abcdef";
    size_t column = utf16_units(line);
    for (size_t i = 0; i < bytes.size(); i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        line += digits[c >> 4];
        line += digits[c & 15];
        if (i + 1 == bytes.size())
            break;
        line += ',';
        column += 3;
        if (column >= kWrapColumn) {
            line += "\\\r\n  ";
            column = 2;
        }
    }
    return line;
}

std::string write_regfile(const RegFile& file, RegFileFormat format) {
    const bool ansi = format == RegFileFormat::regedit4;
    std::string text(ansi ? kHeader4 : kHeader5);
    text += "\r\n\r\n";
    for (const RegFileKey& key : file.keys) {
        std::string path = long_root_path(key.path);
        text += key.remove ? "[-" : "[";
        text += ansi ? utf8_to_ansi(path, "the key " + path) : path;
        text += "]\r\n";
        for (const RegFileValue& v : key.values) {
            try {
                // Hex data is ASCII (text data already as code page bytes); names and "text" convert.
                std::string line = regfile_value_text(v, format);
                text += ansi ? utf8_to_ansi(line, shown_value(v)) : line;
            } catch (const std::invalid_argument& e) {
                throw Refused(path + ": " + e.what());
            }
            text += "\r\n";
        }
        text += "\r\n";
    }
    if (format != RegFileFormat::v5_utf16)
        return text;
    return "\xff\xfe" + utf8_to_utf16le(text);
}

}  // namespace qv
