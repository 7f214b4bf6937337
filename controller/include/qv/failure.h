#pragma once
// How a command that did not succeed is reported back: the server's own text,
// and the Win32 code when the answer was "errno N".
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct Failure {
    std::string message;       // the answer as the server wrote it ("error ...", "errno N")
    unsigned win32_error = 0;  // N of an "errno N" answer, else 0
};

// N of an answer that is exactly "errno N" (N decimal, at most 32 bits), else none.
std::optional<unsigned> errno_code(std::string_view answer);

}  // namespace qv
