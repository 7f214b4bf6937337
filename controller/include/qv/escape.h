#pragma once
// The wire escaping of the command server: LF travels as backslash-n, a
// backslash doubled, and (in listings, where a byte count is known) NUL as
// backslash-0.
#include <string>
#include <string_view>

namespace qv {

// For request arguments: LF -> "\n", backslash -> "\\". Other bytes, NUL
// included, pass unchanged (a request line cannot carry NUL meaningfully;
// callers that need one use a value literal that gives backslash-0 a meaning).
std::string escape(std::string_view data);

// Undoes what the server writes in listings: "\n" -> LF, "\\" -> backslash,
// "\0" -> NUL. Any other backslash stays as it is.
std::string unescape(std::string_view wire);

}  // namespace qv
