#include "words.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "qv/bytes.h"
#include "qv/registry.h"

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
            // Escapes only what would otherwise split or quote: Windows paths stay as typed.
            char n = i + 1 < line.size() ? line[i + 1] : '\0';
            bool special = n == ' ' || n == '\t' || n == '\'' || n == '"' || n == '\\' || n == '#';
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

uint32_t parse_dword(const std::string& text) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty())
        throw std::invalid_argument("a dword is a decimal number or 0x followed by hex digits: \"" + text + "\"");
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            throw std::invalid_argument("a dword is a decimal number or 0x followed by hex digits: \"" + text +
                                        "\"");
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (v > 0xffffffffull)
            throw std::invalid_argument("a dword holds 32 bits: \"" + text + "\" is larger");
    }
    return static_cast<uint32_t>(v);
}

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
            out += (out.empty() ? "\"" : " \"") + readable(s.get<std::string>()) + "\"";
        return out.empty() ? "(no strings)" : out;
    }
    if (data.is_string() && (type == qv::reg_sz || type == qv::reg_expand_sz || type == qv::reg_link))
        return readable(data.get<std::string>());
    if (data.is_number()) {
        uint64_t n = data.get<uint64_t>();
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
