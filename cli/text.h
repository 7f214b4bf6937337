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
// quotes a backslash escapes a quote, a backslash or '#' and is otherwise
// kept (before a blank too), so that HKCU\Software and C:\windows\ need no
// quotes; a blank inside a word needs quotes. False, with *error
// set, for an unterminated quote.
bool split_words(std::string_view line, std::vector<std::string>* words, std::string* error);

// DWORD and QWORD input: decimal, or hex after 0x; throws
// std::invalid_argument beyond 32 (64) bits or for anything else.
uint32_t parse_dword(const std::string& text);
uint64_t parse_qword(const std::string& text);
// Binary input: hex digit pairs, optionally separated by ',', ' ' or ':'.
std::string parse_hex_bytes(const std::string& text);

// Every byte that is not part of valid UTF-8 becomes U+FFFD.
std::string utf8_replaced(std::string_view s);
uint32_t big_endian32(std::string_view four);

// "REG_SZ" ... or "REG_0x1234" for a code without a name.
std::string type_name(uint32_t type);
// Control characters as \n \r \t \xHH, everything else as it is.
std::string readable(std::string_view text);
// Text shown to people without ambiguity: as it is when that cannot be
// misread, else in double quotes with C escapes (backslash and quote
// escaped too). Quoted: empty text, text starting with a quote, holding
// control characters or bytes that are not UTF-8, with blanks at its ends,
// and (with blanks_quote) any blank inside.
std::string shown(std::string_view text, bool blanks_quote = false);
// Always in double quotes with C escapes.
std::string in_quotes(std::string_view text);
// A value's name in readable output: (default) for the default value, a
// name that reads like that or holds blanks in quotes.
std::string value_name_text(std::string_view name);
// A value's data alone (reg get --data), from its JSON form, with a final LF.
std::string data_only(const nlohmann::ordered_json& value);
// Code points of UTF-8 text (the columns it takes in a plain terminal).
size_t columns(std::string_view text);
// The data column of a value in the readable listing, from its JSON form.
std::string data_text(const nlohmann::ordered_json& value);

}  // namespace qvctl
