#include "text.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "qv/registry.h"
#include "qv/text.h"

namespace qvctl {

bool split_words(std::string_view line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    error->clear();
    std::string word;
    bool in_word = false;
    size_t i = 0;
    auto end_word = [&] {
        if (in_word)
            words->push_back(word);
        word.clear();
        in_word = false;
    };
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t') {
            end_word();
            i++;
        } else if (c == '#' && !in_word) {
            break;
        } else if (c == '\'') {
            size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) {
                *error = "unterminated ' quote";
                return false;
            }
            word += line.substr(i + 1, close - i - 1);
            in_word = true;
            i = close + 1;
        } else if (c == '"') {
            in_word = true;
            i++;
            for (;;) {
                if (i >= line.size()) {
                    *error = "unterminated \" quote";
                    return false;
                }
                char d = line[i];
                if (d == '"') {
                    i++;
                    break;
                }
                if (d == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\' || line[i + 1] == '$' || line[i + 1] == '`')) {
                    word += line[i + 1];
                    i += 2;
                    continue;
                }
                word += d;
                i++;
            }
        } else if (c == '\\') {
            // Escapes only what would otherwise quote or comment: Windows paths
            // stay as typed, C:\windows\ before a blank or at the end included.
            char n = i + 1 < line.size() ? line[i + 1] : '\0';
            bool special = n == '\'' || n == '"' || n == '\\' || n == '#';
            word += special ? n : c;
            in_word = true;
            i += special ? 2 : 1;
        } else {
            word += c;
            in_word = true;
            i++;
        }
    }
    end_word();
    return true;
}

// A dword or qword word: decimal, or hex after 0x.
static uint64_t parse_number(const std::string& text, const char* what, int bits) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    uint64_t max = bits == 64 ? UINT64_MAX : (uint64_t(1) << bits) - 1, v = 0;
    switch (qv::read_digits(hex ? std::string_view(text).substr(2) : text, hex ? 16 : 10, max, &v)) {
    case qv::DigitsRead::ok:
        return v;
    case qv::DigitsRead::too_large:
        throw std::invalid_argument(std::string("a ") + what + " holds " + std::to_string(bits) + " bits: \"" +
                                    text + "\" is larger");
    default:
        throw std::invalid_argument(std::string("a ") + what + " is a decimal number or 0x followed by hex digits: \"" +
                                    text + "\"");
    }
}

uint32_t parse_dword(const std::string& text) { return static_cast<uint32_t>(parse_number(text, "dword", 32)); }

uint64_t parse_qword(const std::string& text) { return parse_number(text, "qword", 64); }

std::string parse_hex_bytes(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c != ',' && c != ' ' && c != ':')
            digits += c;
    std::optional<std::string> bytes = qv::from_hex(digits);
    if (!bytes)
        throw std::invalid_argument(digits.size() % 2 && digits.find_first_not_of("0123456789abcdefABCDEF") ==
                                                              std::string::npos
                                        ? "binary data needs an even number of hex digits: \"" + text + "\""
                                        : "binary data is hex digit pairs: \"" + text + "\"");
    return *bytes;
}

std::string utf8_replaced(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = qv::utf8_sequence(s, i);
        if (n) {
            out += s.substr(i, n);
            i += n;
        } else {
            out += "\xef\xbf\xbd";
            i++;
        }
    }
    return out;
}

uint32_t big_endian32(std::string_view b) {
    uint32_t v = 0;
    for (unsigned char c : b.substr(0, 4))
        v = (v << 8) | c;
    return v;
}

std::string type_name(uint32_t type) {
    switch (type) {
    case qv::reg_none: return "REG_NONE";
    case qv::reg_sz: return "REG_SZ";
    case qv::reg_expand_sz: return "REG_EXPAND_SZ";
    case qv::reg_binary: return "REG_BINARY";
    case qv::reg_dword: return "REG_DWORD";
    case qv::reg_dword_big_endian: return "REG_DWORD_BIG_ENDIAN";
    case qv::reg_link: return "REG_LINK";
    case qv::reg_multi_sz: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case qv::reg_qword: return "REG_QWORD";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "REG_0x%x", static_cast<unsigned>(type));
    return buf;
}

std::string readable(std::string_view text) { return qv::visible(text, false); }

std::string in_quotes(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"')
            out += "\\\"";
        else
            out += qv::visible(std::string_view(reinterpret_cast<const char*>(&c), 1), true);
    }
    return out + "\"";
}

std::string shown(std::string_view text, bool blanks_quote) {
    bool quote = text.empty() || text[0] == '"' || !qv::valid_utf8(text) || text.front() == ' ' ||
                 text.back() == ' ' || text.front() == '\t' || text.back() == '\t';
    for (unsigned char c : text)
        quote = quote || c < 0x20 || c == 0x7f || (blanks_quote && c == ' ');
    return quote ? in_quotes(text) : std::string(text);
}

std::string value_name_text(std::string_view name) {
    if (name.empty())
        return "(default)";
    return name == "(default)" ? in_quotes(name) : shown(name, true);
}

std::string data_only(const nlohmann::ordered_json& v) {
    const auto& data = v["data"];
    std::string out;
    if (data.is_array())
        for (const auto& s : data)
            out += s.get<std::string>() + "\n";
    else if (data.is_string())
        out = data.get<std::string>() + "\n";
    else
        out = std::to_string(data.get<uint64_t>()) + "\n";
    return out;
}

size_t columns(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xc0) != 0x80;
    return n;
}

std::string data_text(const nlohmann::ordered_json& v) {
    const auto& data = v["data"];
    uint32_t type = v["type_code"].get<uint32_t>();
    if (data.is_array()) {
        std::string out;
        for (const auto& s : data)
            out += (out.empty() ? "" : " ") + in_quotes(s.get<std::string>());
        return out.empty() ? "(no strings)" : out;
    }
    if (data.is_string() && (type == qv::reg_sz || type == qv::reg_expand_sz || type == qv::reg_link))
        return shown(data.get<std::string>());
    if (data.is_number() || (type == qv::reg_qword && v["hex"].get<std::string>().size() == 16)) {
        uint64_t n = data.is_number() ? data.get<uint64_t>() : std::stoull(data.get<std::string>());
        char buf[48];
        std::snprintf(buf, sizeof buf, type == qv::reg_qword ? "0x%016llx (%llu)" : "0x%08llx (%llu)",
                      static_cast<unsigned long long>(n), static_cast<unsigned long long>(n));
        return buf;
    }
    std::string hex = v["hex"].get<std::string>(), out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += (i ? " " : "") + hex.substr(i, 2);
    return out.empty() ? "(no data)" : out;
}

}  // namespace qvctl
