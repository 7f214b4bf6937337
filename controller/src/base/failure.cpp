#include "qv/failure.h"

namespace qv {

namespace {

struct CodeWords {
    Win32Code code;
    const char* words;
};

// The codes the server can answer: from the registry, the mount manager,
// the file search and the platform's file-name conversions.
constexpr CodeWords kWords[] = {
    {1, "the function is not supported here"},
    {2, "not found"},
    {3, "a folder on the way does not exist"},
    {5, "access is denied"},
    {6, "the handle is invalid (the key or device cannot be used)"},
    {8, "not enough memory"},
    {13, "the data is invalid"},
    {14, "not enough memory"},
    {15, "no such drive"},
    {18, "no more files"},
    {21, "the device is not ready"},
    {32, "the file is in use by another process"},
    {53, "the network path was not found"},
    {80, "it exists already"},
    {87, "an invalid parameter was given"},
    {122, "the buffer is too small for the answer"},
    {123, "the name or path has invalid syntax"},
    {161, "the path is not valid (a bad path name)"},
    {183, "it exists already"},
    {206, "the file name or extension is too long"},
    {234, "more data is available than fits"},
    {259, "no more items"},
    {267, "the name is not a folder"},
    {433, "no such drive letter is defined"},
    {1005, "the volume has no file system the platform recognises"},
    {1009, "the registry database is corrupt"},
    {1010, "the registry key is invalid"},
    {1011, "the registry key could not be opened"},
    {1012, "the registry key could not be read"},
    {1013, "the registry key could not be written"},
    {1015, "the registry is corrupt"},
    {1016, "a registry I/O operation failed"},
    {1018, "the registry key has been marked for deletion"},
    {1021, "a subkey cannot be created under a volatile key"},
    {1117, "an I/O device error occurred"},
};

}  // namespace

std::string Failure::describe() const {
    if (!code)
        return message;
    return message + " (Win32 error " + std::to_string(code) + ")";
}

const char* kind_name(Failure::Kind kind) {
    switch (kind) {
    case Failure::Kind::server:
        return "server";
    case Failure::Kind::win32:
        return "win32";
    case Failure::Kind::refused:
        return "refused";
    case Failure::Kind::incomplete:
        return "incomplete";
    }
    return "server";
}

std::string_view win32_words(Win32Code code) {
    for (const CodeWords& w : kWords)
        if (w.code == code)
            return w.words;
    return {};
}

std::string win32_message(Win32Code code) {
    std::string_view words = win32_words(code);
    if (!words.empty())
        return std::string(words);
    return "the platform reported an error";
}

std::optional<Win32Code> parse_win32_code(std::string_view digits) {
    bool negative = !digits.empty() && digits[0] == '-';
    if (negative)
        digits.remove_prefix(1);
    if (digits.empty() || digits.size() > 10)
        return std::nullopt;
    unsigned long long code = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        code = code * 10 + static_cast<unsigned>(c - '0');
    }
    if (negative ? code > 0x80000000ull : code > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<Win32Code>(negative ? 0 - code : code);
}

std::optional<Win32Code> errno_code(std::string_view answer) {
    constexpr std::string_view head = "errno ";
    if (answer.substr(0, head.size()) != head)
        return std::nullopt;
    return parse_win32_code(answer.substr(head.size()));
}

Failure server_failure(std::string_view answer) {
    if (std::optional<Win32Code> code = errno_code(answer))
        return Failure{Failure::Kind::win32, *code, win32_message(*code)};
    return Failure{Failure::Kind::server, 0, std::string(answer)};
}

Failure refused_failure(std::string why) { return Failure{Failure::Kind::refused, 0, std::move(why)}; }

Failure incomplete_failure(std::string what, Win32Code code) {
    return Failure{Failure::Kind::incomplete, code, std::move(what)};
}

}  // namespace qv
