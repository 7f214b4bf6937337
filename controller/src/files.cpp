#include "qv/files.h"

#include <cstdlib>

namespace qv {

namespace {

bool starts_with(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

// "errno N" with N decimal, or nothing.
std::optional<unsigned> errno_code(std::string_view answer) {
    constexpr std::string_view head = "errno ";
    if (!starts_with(answer, head) || answer.size() == head.size() || answer.size() > head.size() + 10)
        return std::nullopt;
    unsigned long long code = 0;
    for (char c : answer.substr(head.size())) {
        if (c < '0' || c > '9')
            return std::nullopt;
        code = code * 10 + static_cast<unsigned>(c - '0');
    }
    if (code > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<unsigned>(code);
}

[[noreturn]] void unexpected(std::string_view command, std::string_view answer) {
    throw ProtocolError("unexpected answer to " + std::string(command) + ": \"" +
                        std::string(answer.substr(0, 200)) + "\"");
}

// Takes a failure answer of the given command: one of its fixed messages or
// (where it has them) "errno N".
Failure failure_of(std::string_view command, const std::string& answer,
                   std::initializer_list<std::string_view> messages, bool errno_allowed) {
    for (std::string_view m : messages)
        if (answer == m)
            return Failure{answer, 0};
    if (errno_allowed)
        if (std::optional<unsigned> code = errno_code(answer))
            return Failure{answer, *code};
    unexpected(command, answer);
}

PathResult path_answer(std::string_view command, const std::string& answer,
                       std::initializer_list<std::string_view> messages) {
    PathResult r;
    if (starts_with(answer, "path "))
        r.path = answer.substr(5);
    else
        r.failure = failure_of(command, answer, messages, false);
    return r;
}

std::optional<std::string> text_or_none(const std::string& answer) {
    if (answer.empty())
        return std::nullopt;
    return answer;
}

}  // namespace

PathResult unix_path(Server& server, std::string_view windows_path) {
    return path_answer("unixpath", server.request("unixpath", windows_path), {"error"});
}

PathResult windows_path(Server& server, std::string_view unix_path) {
    return path_answer("windowspath", server.request("windowspath", unix_path),
                       {"error cannot get wine_get_dos_file_name", "error cannot convert path"});
}

DriveResult add_drive(Server& server, std::string_view unix_dir) {
    std::string answer = server.request("adddrive", unix_dir);
    DriveResult r;
    if (answer.empty()) {
        r.ok = true;
    } else if (answer.size() == 7 && starts_with(answer, "drive ") && answer[6] >= 'A' && answer[6] <= 'Z') {
        r.ok = true;
        r.letter = answer[6];
    } else {
        r.failure = failure_of("adddrive", answer, {"error no free drive letters"}, true);
    }
    return r;
}

RemoveResult remove_drive(Server& server, char letter) {
    std::string answer = server.request("rmdrive", std::string(1, letter));
    RemoveResult r;
    if (answer.empty())
        r.ok = true;
    else
        r.failure = failure_of("rmdrive", answer, {"error invalid drive letter"}, true);
    return r;
}

FindResult find_files(Server& server, std::string_view pattern, int max_results) {
    std::string answer = server.request("findfiles", std::to_string(max_results) + " " + std::string(pattern));
    FindResult r;
    size_t pos = 0;
    for (size_t lf; (lf = answer.find('\n', pos)) != std::string::npos; pos = lf + 1) {
        std::string_view line = std::string_view(answer).substr(pos, lf - pos);
        if (starts_with(line, "dir "))
            r.entries.push_back({std::string(line.substr(4)), true});
        else if (starts_with(line, "file "))
            r.entries.push_back({std::string(line.substr(5)), false});
        else
            unexpected("findfiles", answer);
    }
    // What follows the last line: nothing, or a failure (which may come
    // after some entries when the server ran out of memory midway).
    std::string rest = answer.substr(pos);
    if (rest.empty())
        r.ok = true;
    else
        r.failure = failure_of("findfiles", rest, {"error"}, true);
    return r;
}

std::optional<std::string> system_dir(Server& server) { return text_or_none(server.request("getsystemdir")); }

std::optional<std::string> windows_dir(Server& server) { return text_or_none(server.request("getwindowsdir")); }

std::optional<std::string> expanded_string(Server& server, std::string_view name) {
    return text_or_none(server.request("getexpandedstr", name));
}

}  // namespace qv
