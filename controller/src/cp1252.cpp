#include "cp1252.h"

#include <cstdint>

namespace qv {

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
