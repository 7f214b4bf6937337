#pragma once
// Byte strings: made readable for messages, logs and the checker programs'
// hex fields, and the small conversions every layer needs (one place each).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// Lower-case hex, two digits a byte.
std::string to_hex(std::string_view bytes);
// The value of one hex digit (either case), or -1.
int hex_digit(char c);
// The bytes of an even number of hex digits (either case), or none.
std::optional<std::string> from_hex(std::string_view hex);

// C-style escapes for LF, CR, TAB, backslash and other control bytes;
// everything else (UTF-8 included) as it is. Without escape_backslash a
// backslash stays as it is, for Windows paths shown to people.
std::string visible(std::string_view bytes, bool escape_backslash = true);

// Length of the well-formed UTF-8 sequence starting at s[i] (1 to 4), or 0
// (overlong forms, surrogates and code points above U+10FFFF are ill-formed).
size_t utf8_sequence(std::string_view s, size_t i);
// The offset of the first byte that starts no well-formed sequence, or none.
std::optional<size_t> utf8_error(std::string_view s);
inline bool valid_utf8(std::string_view s) { return !utf8_error(s).has_value(); }

// Little-endian unsigned numbers of up to 8 bytes (fewer bytes read as
// zero-extended, as the platform reads a short REG_DWORD).
uint64_t little_endian(std::string_view bytes);
std::string little_endian_bytes(uint64_t value, size_t size);

// ASCII-only case folding, as the platform compares root keys, drive letters
// and command words (other bytes are left alone).
char ascii_lower(char c);
std::string ascii_lower(std::string_view s);
bool iequals(std::string_view a, std::string_view b);

}  // namespace qv
