#include "qv/files.h"

#include <cctype>
#include <fstream>
#include <stdexcept>

#include <sys/stat.h>

#include <unistd.h>

#include "qv/text.h"
#include "qv/escape.h"

#include "call.h"

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
        throw Refused(std::string("a ") + command + " argument cannot carry a raw LF");
    return Request{command, std::string(args)};
}

// Takes a failure answer of the given command: one of its fixed messages or
// (where it has them) "errno N".
Failure failure_of(std::string_view command, std::string_view answer,
                   std::initializer_list<std::string_view> messages, bool errno_allowed) {
    for (std::string_view m : messages)
        if (answer == m)
            return server_failure(answer);
    if (errno_allowed && errno_code(answer))
        return server_failure(answer);
    unexpected(command, answer);
}

Result<std::string> path_answer(std::string_view command, std::string_view answer,
                                std::initializer_list<std::string_view> messages) {
    if (starts_with(answer, "path "))
        return std::string(answer.substr(5));
    return failure_of(command, answer, messages, false);
}

// The letter whose dosdevices link is exactly this target, or '\0'. The
// server compares mount points byte for byte, and the links hold them so.
char letter_mapping(const std::string& prefix, std::string_view target) {
    for (const DriveMapping& d : drive_mappings(prefix))
        if (d.target == target)
            return d.letter;
    return '\0';
}

}  // namespace

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

Request expand_text_request(std::string_view text) {
    if (text.find('\0') != std::string_view::npos)
        throw Refused("a text to expand cannot carry NUL");
    if (std::optional<size_t> bad = utf8_error(text))
        throw Refused("the text to expand is not valid UTF-8 (byte offset " + std::to_string(*bad) + ")");
    return Request{"expandstr", escape(text)};
}

Result<std::string> parse_unix_path(std::string_view answer) { return path_answer("unixpath", answer, {"error"}); }

Result<std::string> parse_windows_path(std::string_view answer) {
    return path_answer("windowspath", answer,
                       {"error cannot get wine_get_dos_file_name", "error cannot convert path"});
}

Result<char> parse_add_drive(std::string_view answer) {
    if (answer.empty())
        return '\0';
    if (answer.size() == 7 && starts_with(answer, "drive ") && answer[6] >= 'A' && answer[6] <= 'Z')
        return answer[6];
    return failure_of("adddrive", answer, {"error no free drive letters"}, true);
}

Result<void> parse_remove_drive(std::string_view answer) {
    if (answer.empty())
        return {};
    return failure_of("rmdrive", answer, {"error invalid drive letter"}, true);
}

Result<std::vector<DirEntry>> parse_find_files(std::string_view answer) {
    std::vector<DirEntry> entries;
    size_t pos = 0;
    for (size_t lf; (lf = answer.find('\n', pos)) != std::string_view::npos; pos = lf + 1) {
        std::string_view line = answer.substr(pos, lf - pos);
        if (starts_with(line, "dir "))
            entries.push_back({std::string(line.substr(4)), true});
        else if (starts_with(line, "file "))
            entries.push_back({std::string(line.substr(5)), false});
        else
            unexpected("findfiles", answer);
    }
    // What follows the last line: nothing, or a failure (which may come
    // after some entries when the server ran out of memory midway).
    std::string_view rest = answer.substr(pos);
    if (rest.empty())
        return entries;
    Failure f = failure_of("findfiles", rest, {"error"}, true);
    if (entries.empty())
        return f;
    f.kind = Failure::Kind::incomplete;
    f.message = "the listing ended early: " + f.message;
    return Result<std::vector<DirEntry>>(std::move(entries), std::move(f));
}

Result<std::string> parse_text(std::string_view answer) {
    if (answer.empty())
        return Failure{Failure::Kind::server, 0, "the server has no answer for this name"};
    return std::string(answer);
}

Result<std::string> unix_path(Channel to, std::string_view windows_path) {
    return detail::call(to, [&] { return unix_path_request(windows_path); }, parse_unix_path);
}

Result<std::string> windows_path(Channel to, std::string_view unix_path) {
    return detail::call(to, [&] { return windows_path_request(unix_path); }, parse_windows_path);
}

std::string prefix_folder(Channel to) {
    if (!to.prefix().empty())
        return to.prefix();
    Result<std::string> c = unix_path(to, "C:\\");
    std::string_view tail = "/dosdevices/c:/";
    if (c && c->size() > tail.size() && c->compare(c->size() - tail.size(), tail.size(), tail) == 0)
        return c->substr(0, c->size() - tail.size());
    return {};
}

std::string prefix_arch(const std::string& prefix) {
    // The header lines before the first key.
    std::ifstream in(prefix + "/system.reg");
    for (std::string line; std::getline(in, line) && (line.empty() || line[0] != '[');)
        if (line.rfind("#arch=", 0) == 0)
            return line.substr(6);
    return {};
}

std::vector<DriveMapping> drive_mappings(const std::string& prefix) {
    std::vector<DriveMapping> out;
    for (char l = 'a'; l <= 'z'; l++) {
        std::string link = prefix + "/dosdevices/" + l + ":";
        char buf[4096];
        ssize_t n = readlink(link.c_str(), buf, sizeof buf);
        if (n >= 0)
            out.push_back({static_cast<char>(l - 'a' + 'A'), std::string(buf, static_cast<size_t>(n))});
    }
    return out;
}

Result<char> add_drive(Channel to, std::string_view unix_dir) {
    Result<char> r = detail::call(to, [&] { return add_drive_request(unix_dir); }, parse_add_drive);
    if (r && r.value == '\0') {
        std::string prefix = prefix_folder(to);
        r.value = prefix.empty() ? '\0' : letter_mapping(prefix, unix_dir);
        if (!r.value)
            return Failure{Failure::Kind::server, 0,
                           "the server found the folder mapped already, but no drive letter maps it exactly"};
    }
    return r;
}

Result<void> remove_drive(Channel to, char letter) {
    Result<void> r = detail::call(to, [&] { return remove_drive_request(letter); }, parse_remove_drive);
    if (!r && r.failure->is(kNoSuchDevice) && std::isalpha(static_cast<unsigned char>(letter))) {
        // A link made in dosdevices while the prefix ran is unknown to Wine's
        // mount manager until the prefix restarts, yet every program already
        // sees the drive: removing the link is removing the drive. Only where
        // the prefix is known: a failure costs no further request.
        std::string dosdevices = to.prefix().empty() ? std::string() : to.prefix() + "/dosdevices";
        std::string link = dosdevices + "/" + static_cast<char>(std::tolower(static_cast<unsigned char>(letter))) + ":";
        struct stat st;
        if (!dosdevices.empty() && lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && unlink(link.c_str()) == 0)
            return {};
    }
    return r;
}

Result<std::vector<DirEntry>> find_files(Channel to, std::string_view pattern, int max_results) {
    return detail::call(to, [&] { return find_files_request(pattern, max_results); }, parse_find_files);
}

Result<std::string> system_dir(Channel to) { return detail::call(to, system_dir_request, parse_text); }

Result<std::string> windows_dir(Channel to) { return detail::call(to, windows_dir_request, parse_text); }

Result<std::string> parse_expanded_text(std::string_view answer) {
    if (starts_with(answer, "text "))
        return unescape(answer.substr(5));
    if (starts_with(answer, "error ") || errno_code(answer))
        return server_failure(answer);
    unexpected("expandstr", answer);
}

Result<std::string> expand_text(Channel to, std::string_view text) {
    return detail::call(to, [&] { return expand_text_request(text); }, parse_expanded_text);
}

Result<std::string> expanded_string(Channel to, std::string_view name) {
    return detail::call(to, [&] { return expanded_string_request(name); }, parse_text);
}

}  // namespace qv
