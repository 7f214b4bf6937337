// `winepath` with -u, -w and -0, as Wine's winepath parses and prints them:
// options anywhere before "--", one line (or NUL-ended entry) per path and
// format, an empty one where a path does not convert. Declined: -l, -s, help
// and unknown options, relative paths (they depend on the working folder),
// and paths holding anything but printable ASCII or characters winepath
// judges itself.
#include <string>

#include "qv/files.h"
#include "served.h"

namespace front {
namespace {

bool plain(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7e || c == '*' || c == '?' || c == '<' || c == '>' || c == '|' || c == '"')
            return false;
    return true;
}

// "X:\" followed by at least one component, '\' separated, none empty.
bool plain_windows_path(const std::string& p) {
    if (p.size() < 4 || !std::isalpha(static_cast<unsigned char>(p[0])) || p[1] != ':' || p[2] != '\\')
        return false;
    if (p.find('/') != std::string::npos || p.find("\\\\") != std::string::npos || p.back() == '\\')
        return false;
    return plain(p);
}

bool plain_unix_path(const std::string& p) { return !p.empty() && p[0] == '/' && plain(p); }

}  // namespace

std::optional<Answer> serve_winepath(const Invocation& call, Prefix& prefix) {
    bool unix_format = false, windows_format = false, print0 = false;
    std::vector<std::string> paths;
    bool done = false;
    for (const std::string& a : call.args) {
        if (done || a.empty() || a[0] != '-') {
            paths.push_back(a);
            continue;
        }
        if (a == "--") {
            done = true;
            continue;
        }
        if (a[1] == '-') {
            if (iequal(a, "--unix"))
                unix_format = true;
            else if (iequal(a, "--windows"))
                windows_format = true;
            else
                return std::nullopt;
            continue;
        }
        for (size_t j = 1; j < a.size(); j++) {
            if (a[j] == 'u')
                unix_format = true;
            else if (a[j] == 'w')
                windows_format = true;
            else if (a[j] == '0')
                print0 = true;
            else
                return std::nullopt;
        }
    }
    if (unix_format && windows_format)
        return std::nullopt;
    if (!windows_format)
        unix_format = true;
    for (const std::string& p : paths)
        if (!p.empty() && !(unix_format ? plain_windows_path(p) : plain_unix_path(p)))
            return std::nullopt;
    std::vector<qv::Request> requests;
    for (const std::string& p : paths)
        if (!p.empty())
            requests.push_back(unix_format ? qv::unix_path_request(p) : qv::windows_path_request(p));
    std::vector<std::string> answers = qv::Channel(prefix.session()).ask_all(requests);
    Answer a;
    size_t next = 0;
    for (const std::string& p : paths) {
        // A path that does not convert gives an empty entry.
        if (!p.empty()) {
            const std::string& answer = answers[next++];
            qv::Result<std::string> converted =
                unix_format ? qv::parse_unix_path(answer) : qv::parse_windows_path(answer);
            if (converted)
                a.out += *converted;
        }
        a.out += print0 ? '\0' : '\n';
    }
    return a;
}

}  // namespace front
