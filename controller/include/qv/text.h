#pragma once
// Text and bytes: made readable for messages, logs and the checker programs'
// hex fields, and the conversions every layer needs (one place each):
// UTF-8, UTF-16LE and the ANSI code page.
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

// Digits of base 10 or 16 (hex in either case, no prefix) as a number of at
// most `max`. Every reader of numbers in text (dword: and hex(N): in .reg
// files, the client's dword and qword words) goes through here.
enum class DigitsRead { ok, empty, not_digits, too_large };
DigitsRead read_digits(std::string_view digits, int base, uint64_t max, uint64_t* value);

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

// UTF-8 <-> UTF-16LE bytes. utf8_to_utf16le refuses invalid UTF-8;
// utf16le_to_utf8 turns ill-formed units into U+FFFD and ignores an odd
// last byte, as the server's conversion does. (qv::Refused, failure.h)
std::string utf8_to_utf16le(std::string_view utf8);
std::string utf16le_to_utf8(std::string_view utf16le);

// The ANSI code page Wine uses here (Windows-1252), for REGEDIT4 files: every
// byte maps to one UTF-16 unit and back, so 8-bit text converts exactly both
// ways (the five bytes the code page leaves undefined map to U+0081, U+008D,
// U+008F, U+0090 and U+009D, as the platform maps them).
//
// Each byte as one UTF-16LE unit.
std::string cp1252_to_utf16le(std::string_view bytes);
// UTF-16LE units back to bytes; false when a unit has no byte (or the length is odd).
bool utf16le_to_cp1252(std::string_view utf16le, std::string* bytes);

}  // namespace qv
