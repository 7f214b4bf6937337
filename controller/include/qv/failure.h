#pragma once
// One way to say why a call did not do (all of) what was asked.
//
// Every typed call returns a Result: a value plus an optional Failure. It tests
// true when there is no failure. A Failure of kind `incomplete` comes with a
// value holding what was obtained (a listing that ended early, an export that
// lacks some keys); for the other kinds the value is empty.
//
// Exceptions are kept for what is not an answer to the call: the server that
// cannot be started, dies mid-call (ServerGone) or answers outside its
// protocol (ProtocolError); see session.h.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace qv {

// A Win32 error code, as the server reports it in "errno N".
using Win32Code = uint32_t;

// The codes callers most often test for.
inline constexpr Win32Code kFileNotFound = 2;   // no such key, value, file or drive
inline constexpr Win32Code kPathNotFound = 3;   // a folder on the way is missing
inline constexpr Win32Code kAccessDenied = 5;
inline constexpr Win32Code kMoreData = 234;
inline constexpr Win32Code kNoSuchDevice = 433;  // a drive letter that is not defined

struct Failure {
    enum class Kind {
        server,      // the server refused with a message of its own ("error ...")
        win32,       // the platform answered with a Win32 code ("errno N")
        refused,     // refused here, before anything was sent
        incomplete,  // part of it was done; the result holds that part
    };
    Kind kind = Kind::server;
    Win32Code code = 0;   // the Win32 code when there is one, else 0
    std::string message;  // in words, for people; never a bare number

    // message, with "(Win32 error N)" after it when there is a code.
    std::string describe() const;
    bool is(Win32Code c) const { return code == c && c != 0; }
};

// The kind's name as the JSON output and the logs spell it.
const char* kind_name(Failure::Kind kind);

// Words for a code the server can answer ("access is denied"); empty for a
// code this table does not know.
std::string_view win32_words(Win32Code code);
// The words, or a general phrase for an unknown code (describe() adds the
// number either way).
std::string win32_message(Win32Code code);

// A code as the server writes it: decimal, unsigned ("%u", the drive and
// file commands) or signed ("%i", the registry commands, where a code above
// 2^31 comes negative; it is the same 32-bit code either way). None for
// anything else.
std::optional<Win32Code> parse_win32_code(std::string_view digits);
// N of an answer that is exactly "errno N".
std::optional<Win32Code> errno_code(std::string_view answer);

// A failure answer of the server: "errno N" becomes kind win32 with the
// code's words, anything else kind server with the server's text.
Failure server_failure(std::string_view answer);
Failure refused_failure(std::string why);
Failure incomplete_failure(std::string what, Win32Code code = 0);

// Thrown by the request builders for input the wire cannot carry; the typed
// calls turn it into a Failure of kind refused.
struct Refused : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

template <class T>
struct [[nodiscard]] Result {
    T value{};
    std::optional<Failure> failure;

    Result() = default;
    Result(T v) : value(std::move(v)) {}
    Result(Failure f) : failure(std::move(f)) {}
    Result(T partial, Failure f) : value(std::move(partial)), failure(std::move(f)) {}

    explicit operator bool() const { return !failure.has_value(); }
    bool ok() const { return !failure.has_value(); }
    const T& operator*() const { return value; }
    T& operator*() { return value; }
    const T* operator->() const { return &value; }
    T* operator->() { return &value; }
    // The failure's description, or empty when there is none.
    std::string error() const { return failure ? failure->describe() : std::string(); }
};

template <>
struct [[nodiscard]] Result<void> {
    std::optional<Failure> failure;

    Result() = default;
    Result(Failure f) : failure(std::move(f)) {}

    explicit operator bool() const { return !failure.has_value(); }
    bool ok() const { return !failure.has_value(); }
    std::string error() const { return failure ? failure->describe() : std::string(); }
};

}  // namespace qv
