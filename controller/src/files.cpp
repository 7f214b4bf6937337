#include "qv/files.h"

#include <stdexcept>

namespace qv {

namespace {

bool starts_with(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

[[noreturn]] void unexpected(std::string_view command, std::string_view answer) {
    throw ProtocolError("unexpected answer to " + std::string(command) + ": \"" +
                        std::string(answer.substr(0, 200)) + "\"");
}

// These commands take their argument raw, so it must not hold LF.
Request raw_request(const char* command, std::string_view args) {
    if (args.find('\n') != std::string_view::npos)
        throw std::invalid_argument(std::string("a ") + command + " argument cannot carry a raw LF");
    return Request{command, std::string(args)};
}

std::string ask(Server& server, const Request& r) { return server.request(r.command, r.args); }

// Takes a failure answer of the given command: one of its fixed messages or
// (where it has them) "errno N".
Failure failure_of(std::string_view command, std::string_view answer,
                   std::initializer_list<std::string_view> messages, bool errno_allowed) {
    for (std::string_view m : messages)
        if (answer == m)
            return Failure{std::string(answer), 0};
    if (errno_allowed)
        if (std::optional<unsigned> code = errno_code(answer))
            return Failure{std::string(answer), *code};
    unexpected(command, answer);
}

PathResult path_answer(std::string_view command, std::string_view answer,
                       std::initializer_list<std::string_view> messages) {
    PathResult r;
    if (starts_with(answer, "path "))
        r.path = std::string(answer.substr(5));
    else
        r.failure = failure_of(command, answer, messages, false);
    return r;
}

}  // namespace

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

Request unix_path_request(std::string_view windows_path) { return raw_request("unixpath", windows_path); }
Request windows_path_request(std::string_view unix_path) { return raw_request("windowspath", unix_path); }
Request add_drive_request(std::string_view unix_dir) { return raw_request("adddrive", unix_dir); }

Request remove_drive_request(char letter) {
    // An empty argument is the server's own "no letter" case.
    return raw_request("rmdrive", letter ? std::string(1, letter) : std::string());
}

Request find_files_request(std::string_view pattern, int max_results) {
    return raw_request("findfiles", std::to_string(max_results) + " " + std::string(pattern));
}

Request system_dir_request() { return Request{"getsystemdir", ""}; }
Request windows_dir_request() { return Request{"getwindowsdir", ""}; }
Request expanded_string_request(std::string_view name) { return raw_request("getexpandedstr", name); }

PathResult parse_unix_path(std::string_view answer) { return path_answer("unixpath", answer, {"error"}); }

PathResult parse_windows_path(std::string_view answer) {
    return path_answer("windowspath", answer,
                       {"error cannot get wine_get_dos_file_name", "error cannot convert path"});
}

DriveResult parse_add_drive(std::string_view answer) {
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

RemoveResult parse_remove_drive(std::string_view answer) {
    RemoveResult r;
    if (answer.empty())
        r.ok = true;
    else
        r.failure = failure_of("rmdrive", answer, {"error invalid drive letter"}, true);
    return r;
}

FindResult parse_find_files(std::string_view answer) {
    FindResult r;
    size_t pos = 0;
    for (size_t lf; (lf = answer.find('\n', pos)) != std::string_view::npos; pos = lf + 1) {
        std::string_view line = answer.substr(pos, lf - pos);
        if (starts_with(line, "dir "))
            r.entries.push_back({std::string(line.substr(4)), true});
        else if (starts_with(line, "file "))
            r.entries.push_back({std::string(line.substr(5)), false});
        else
            unexpected("findfiles", answer);
    }
    // What follows the last line: nothing, or a failure (which may come
    // after some entries when the server ran out of memory midway).
    std::string_view rest = answer.substr(pos);
    if (rest.empty())
        r.ok = true;
    else
        r.failure = failure_of("findfiles", rest, {"error"}, true);
    return r;
}

std::optional<std::string> parse_text(std::string_view answer) {
    if (answer.empty())
        return std::nullopt;
    return std::string(answer);
}

PathResult unix_path(Server& server, std::string_view windows_path) {
    return parse_unix_path(ask(server, unix_path_request(windows_path)));
}

PathResult windows_path(Server& server, std::string_view unix_path) {
    return parse_windows_path(ask(server, windows_path_request(unix_path)));
}

DriveResult add_drive(Server& server, std::string_view unix_dir) {
    return parse_add_drive(ask(server, add_drive_request(unix_dir)));
}

RemoveResult remove_drive(Server& server, char letter) {
    return parse_remove_drive(ask(server, remove_drive_request(letter)));
}

FindResult find_files(Server& server, std::string_view pattern, int max_results) {
    return parse_find_files(ask(server, find_files_request(pattern, max_results)));
}

std::optional<std::string> system_dir(Server& server) { return parse_text(ask(server, system_dir_request())); }

std::optional<std::string> windows_dir(Server& server) { return parse_text(ask(server, windows_dir_request())); }

std::optional<std::string> expanded_string(Server& server, std::string_view name) {
    return parse_text(ask(server, expanded_string_request(name)));
}

}  // namespace qv
