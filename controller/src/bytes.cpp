#include "qv/bytes.h"

#include <cstdio>

namespace qv {

std::string to_hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string visible(std::string_view bytes, bool escape_backslash) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\' && escape_backslash)
            out += "\\\\";
        else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace qv

namespace qv {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> from_hex(std::string_view hex) {
    if (hex.size() % 2)
        return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t k = 0; k < hex.size(); k += 2) {
        int hi = hex_digit(hex[k]), lo = hex_digit(hex[k + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

size_t utf8_sequence(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        cp = c & 0x07;
    } else
        return 0;
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (cc & 0x3f);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

std::optional<size_t> utf8_error(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_sequence(s, i);
        if (!n)
            return i;
        i += n;
    }
    return std::nullopt;
}

uint64_t little_endian(std::string_view bytes) {
    uint64_t v = 0;
    for (size_t k = bytes.size() < 8 ? bytes.size() : 8; k-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(bytes[k]);
    return v;
}

std::string little_endian_bytes(uint64_t value, size_t size) {
    std::string out(size, '\0');
    for (size_t k = 0; k < size && k < 8; k++)
        out[k] = static_cast<char>((value >> (8 * k)) & 0xff);
    return out;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = ascii_lower(c);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t k = 0; k < a.size(); k++)
        if (ascii_lower(a[k]) != ascii_lower(b[k]))
            return false;
    return true;
}

}  // namespace qv
