#include "qv/session.h"

#include <cstdlib>
#include <utility>

extern char** environ;

namespace qv {

namespace {

// The words "getexpandedstr" looks up as folders before the environment.
const char* const kFolderKeywords[] = {"appdata",   "desktop",     "localappdata", "programfiles", "programfiles64",
                                       "startmenu", "systemroot",  "temp",         "userprofile",  "windir",
                                       "winsysdir", "winsysdir64", "programs",     "accessories"};

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Windows takes the rest relative to the current folder (or the current
// drive's root) unless a path names its drive and root, or is a UNC or
// device path. "D:" alone is the root where "unixpath" reads it.
bool windows_path_is_absolute(std::string_view p, bool bare_drive_is_root) {
    if (p.size() >= 2 && is_separator(p[0]) && is_separator(p[1]))
        return true;
    bool drive = p.size() >= 2 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
    if (!drive)
        return false;
    return p.size() == 2 ? bare_drive_is_root : is_separator(p[2]);
}

// Environment names are case-insensitive on Windows.
bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? char(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? char(b[i] - 32) : b[i];
        if (x != y)
            return false;
    }
    return true;
}

bool environment_dependent(std::string_view name, bool folder_keywords) {
    if (name.empty())
        return false;
    for (const char* keyword : kFolderKeywords)
        if (folder_keywords && name == keyword)
            return false;
    if (same_name(name, "PATH"))
        return true;  // the agent's server has a PATH of its own
    for (char** e = environ; *e; e++) {
        std::string_view entry(*e);
        std::string_view var = entry.substr(0, entry.find('='));
        if (same_name(var, name) && !reaches_agent_server(var))
            return true;
    }
    return false;
}

}  // namespace

bool depends_on_caller(std::string_view command, std::string_view args) {
    if (command == "unixpath")
        return !args.empty() && !windows_path_is_absolute(args, true);
    if (command == "findfiles") {
        size_t space = args.find(' ');
        return space != std::string_view::npos && space + 1 < args.size() &&
               !windows_path_is_absolute(args.substr(space + 1), false);
    }
    if (command == "windowspath")
        return !args.empty() && args[0] != '/';
    if (command == "getexpandedstr")
        return environment_dependent(args, true);
    if (command == "expandstr") {
        // Each %NAME% is a lookup in the environment.
        for (size_t open = args.find('%'); open != std::string_view::npos;) {
            size_t close = args.find('%', open + 1);
            if (close == std::string_view::npos)
                break;
            if (environment_dependent(args.substr(open + 1, close - open - 1), false))
                return true;
            open = args.find('%', close + 1);
        }
    }
    return false;
}

Session::Session(SessionOptions options) : options_(std::move(options)) {}

Session::~Session() { stop(); }

bool Session::running() {
    Peer& child = server_.peer();
    return started_ && child.running() && child.wait(Clock::now()) < 0;
}

Server& Session::server() {
    if (!running()) {
        // The session's own server, if any, goes on.
        if (started_)
            server_.peer().kill_now();
        started_ = false;
        if (options_.agent.use && real_prefix_.empty()) {
            char* real = realpath(options_.launch.prefix.c_str(), nullptr);
            real_prefix_ = real ? real : "";
            std::free(real);
        }
        server_ = options_.agent.use ? connect_agent(options_.launch, options_.agent, options_.answer_timeout)
                                     : Server::start(options_.launch, options_.start_timeout);
        // The agent applies the timeout itself and says so in words.
        server_.set_timeout(options_.agent.use ? options_.answer_timeout + kAgentAnswerGrace
                                               : options_.answer_timeout);
        started_ = true;
        starts_++;
    }
    return server_;
}

Server& Session::own_server() {
    if (!own_started_ || !own_.peer().running() || own_.peer().wait(Clock::now()) >= 0) {
        if (own_started_)
            own_.peer().kill_now();
        own_started_ = false;
        own_ = Server::start(options_.launch, options_.start_timeout);
        own_.set_timeout(options_.answer_timeout);
        own_started_ = true;
        starts_++;
    }
    return own_;
}

bool Session::to_own(std::string_view command, std::string_view args) const {
    return options_.agent.use && depends_on_caller(command, args);
}

// The agent's server knows the prefix by its real path; a Unix path in an
// answer shows it as this session names it, as its own server would.
std::string Session::as_named(std::string_view command, std::string answer) const {
    if (!options_.agent.use || command != "unixpath" || real_prefix_.empty() ||
        real_prefix_ == options_.launch.prefix)
        return answer;
    std::string real = "path " + real_prefix_ + "/";
    if (answer.compare(0, real.size(), real) == 0)
        answer = "path " + options_.launch.prefix + "/" + answer.substr(real.size());
    return answer;
}

void Session::stop() {
    if (started_)
        server_.peer().kill_now();
    started_ = false;
    if (own_started_)
        own_.peer().kill_now();
    own_started_ = false;
}

void Session::gone(const ProtocolError& error, bool own) {
    std::string what = error.what();
    Server& s = own ? own_ : server_;
    bool& started = own ? own_started_ : started_;
    int code = started ? s.peer().wait(Clock::now() + Millis(200)) : -1;
    if (code >= 0 && !s.peer().attached())
        what += " (the server exited with " + std::to_string(code) + ")";
    if (started)
        s.peer().kill_now();
    started = false;
    throw ServerGone(what);
}

std::string Session::ask(std::string_view command, std::string_view args) {
    bool own = to_own(command, args);
    Server& s = own ? own_server() : server();
    try {
        return own ? s.request(command, args) : as_named(command, s.request(command, args));
    } catch (const ProtocolError& e) {
        gone(e, own);
    }
}

std::vector<std::string> Session::ask_all(const std::vector<Request>& requests) {
    std::vector<std::string> lines;
    lines.reserve(requests.size());
    bool own = false;
    for (const Request& r : requests) {
        lines.push_back(request_line(r));
        own = own || to_own(r.command, r.args);
    }
    std::vector<std::string> answers;
    answers.reserve(requests.size());
    Server& s = own ? own_server() : server();
    try {
        for (size_t next = 0; next < lines.size();) {
            std::string window = lines[next];
            size_t end = next + 1;
            while (end < lines.size() && window.size() + lines[end].size() <= kPipeWindowBytes)
                window += lines[end++];
            s.send(window);
            for (; next < end; next++)
                answers.push_back(own ? s.read_answer() : as_named(requests[next].command, s.read_answer()));
        }
    } catch (const ProtocolError& e) {
        gone(e, own);
    }
    return answers;
}

void Session::restart() {
    stop();
    server();
}

std::string Channel::ask(const Request& r) const {
    return session_ ? session_->ask(r.command, r.args) : server_->request(r.command, r.args);
}

std::vector<std::string> Channel::ask_all(const std::vector<Request>& requests) const {
    if (session_)
        return session_->ask_all(requests);
    std::vector<std::string> answers;
    answers.reserve(requests.size());
    for (const Request& r : requests)
        answers.push_back(server_->request(r.command, r.args));
    return answers;
}

std::string Channel::prefix() const { return session_ ? session_->options().launch.prefix : std::string(); }

std::string Channel::loader() const { return session_ ? session_->options().launch.wine : std::string(); }
std::vector<std::string> Channel::launcher() const {
    return session_ ? session_->options().launch.launcher : std::vector<std::string>();
}

int Session::quit() {
    if (own_started_) {
        own_started_ = false;
        try {
            own_.quit();
        } catch (const ProtocolError&) {
            own_.peer().kill_now();
        }
    }
    if (!running()) {
        stop();
        return 0;
    }
    started_ = false;
    if (server_.peer().attached()) {
        // The agent's server goes on; closing ends this conversation.
        server_.peer().kill_now();
        return 0;
    }
    try {
        return server_.quit();
    } catch (const ProtocolError&) {
        server_.peer().kill_now();
        throw;
    }
}

}  // namespace qv
