#pragma once
// The client's text helpers: command lines of the batch mode, typed value
// input, readable value output.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvctl {

// Splits one line much as a POSIX shell splits words: blanks separate, '...'
// keeps everything, "..." keeps everything but \" \\ \$ \` (each one
// character), and '#' at the start of a word comments out the rest. Outside
// quotes a backslash escapes a blank, a quote, a backslash or '#' and is
// otherwise kept, so that HKCU\Software needs no quotes. False, with *error
// set, for an unterminated quote.
bool split_words(std::string_view line, std::vector<std::string>* words, std::string* error);

// DWORD input: decimal, or hex after 0x; throws std::invalid_argument
// beyond 32 bits or for anything else.
uint32_t parse_dword(const std::string& text);
// Binary input: hex digit pairs, optionally separated by ',', ' ' or ':'.
std::string parse_hex_bytes(const std::string& text);

// Every byte that is not part of valid UTF-8 becomes U+FFFD.
std::string utf8_replaced(std::string_view s);
uint32_t big_endian32(std::string_view four);

// "REG_SZ" ... or "REG_0x1234" for a code without a name.
std::string type_name(uint32_t type);
// Control characters as \n \r \t \xHH, everything else as it is.
std::string readable(std::string_view text);
// Code points of UTF-8 text (the columns it takes in a plain terminal).
size_t columns(std::string_view text);
// The data column of a value in the readable listing, from its JSON form.
std::string data_text(const nlohmann::ordered_json& value);

}  // namespace qvctl
