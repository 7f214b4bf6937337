#include "qv/text.h"

#include <cstdio>

#include "qv/failure.h"

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

DigitsRead read_digits(std::string_view digits, int base, uint64_t max, uint64_t* value) {
    if (digits.empty())
        return DigitsRead::empty;
    uint64_t v = 0;
    bool over = false;
    for (char c : digits) {
        int d = base == 16 ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            return DigitsRead::not_digits;
        // Past max it only has to stay past max: no wrap-around.
        if (!over && (static_cast<uint64_t>(d) > max || v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)))
            over = true;
        else if (!over)
            v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (over)
        return DigitsRead::too_large;
    *value = v;
    return DigitsRead::ok;
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

std::string utf8_to_utf16le(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xff);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        size_t n = utf8_sequence(utf8, i);
        if (!n)
            throw Refused("not valid UTF-8 at byte offset " + std::to_string(i));
        uint32_t cp = static_cast<unsigned char>(utf8[i]);
        if (n > 1) {
            cp &= 0x7f >> n;
            for (size_t k = 1; k < n; k++)
                cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
        }
        if (cp >= 0x10000) {
            unit(0xd800 + ((cp - 0x10000) >> 10));
            unit(0xdc00 + ((cp - 0x10000) & 0x3ff));
        } else
            unit(cp);
        i += n;
    }
    return out;
}

std::string utf16le_to_utf8(std::string_view utf16le) {
    std::string out;
    size_t units = utf16le.size() / 2;
    auto at = [&utf16le](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(utf16le[2 * k])) |
               (static_cast<uint32_t>(static_cast<unsigned char>(utf16le[2 * k + 1])) << 8);
    };
    for (size_t k = 0; k < units; k++) {
        uint32_t cp = at(k);
        if (cp >= 0xd800 && cp <= 0xdbff && k + 1 < units && at(k + 1) >= 0xdc00 && at(k + 1) <= 0xdfff) {
            cp = 0x10000 + ((cp - 0xd800) << 10) + (at(k + 1) - 0xdc00);
            k++;
        } else if (cp >= 0xd800 && cp <= 0xdfff)
            cp = 0xfffd;
        if (cp < 0x80)
            out += static_cast<char>(cp);
        else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return out;
}

namespace {

// 0x80..0x9f; the rest of the code page is the identity.
constexpr uint16_t kHigh[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
};

uint16_t unit_of(unsigned char c) { return c >= 0x80 && c < 0xa0 ? kHigh[c - 0x80] : c; }

}  // namespace

std::string cp1252_to_utf16le(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        uint16_t u = unit_of(c);
        out += static_cast<char>(u & 0xff);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

bool utf16le_to_cp1252(std::string_view utf16le, std::string* bytes) {
    if (utf16le.size() % 2)
        return false;
    std::string out;
    out.reserve(utf16le.size() / 2);
    for (size_t i = 0; i < utf16le.size(); i += 2) {
        uint16_t u = static_cast<uint16_t>(static_cast<unsigned char>(utf16le[i]) |
                                           static_cast<unsigned char>(utf16le[i + 1]) << 8);
        if (u < 0x100 && unit_of(static_cast<unsigned char>(u)) == u) {
            out += static_cast<char>(u);
            continue;
        }
        int found = -1;
        for (int k = 0; k < 32 && found < 0; k++)
            if (kHigh[k] == u)
                found = 0x80 + k;
        if (found < 0)
            return false;
        out += static_cast<char>(found);
    }
    *bytes = std::move(out);
    return true;
}

}  // namespace qv
