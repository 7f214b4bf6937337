#include "qv/session.h"

#include <utility>

namespace qv {

Session::Session(SessionOptions options) : options_(std::move(options)) {}

Session::~Session() { stop(); }

bool Session::running() {
    Peer& child = server_.peer();
    return started_ && child.running() && child.wait(Clock::now()) < 0;
}

Server& Session::server() {
    if (!running()) {
        stop();
        server_ = options_.agent.use ? connect_agent(options_.launch, options_.agent, options_.answer_timeout)
                                     : Server::start(options_.launch, options_.start_timeout);
        server_.set_timeout(options_.answer_timeout);
        started_ = true;
        starts_++;
    }
    return server_;
}

void Session::stop() {
    if (started_)
        server_.peer().kill_now();
    started_ = false;
}

void Session::gone(const ProtocolError& error) {
    std::string what = error.what();
    int code = started_ ? server_.peer().wait(Clock::now() + Millis(200)) : -1;
    if (code >= 0 && !server_.peer().attached())
        what += " (the server exited with " + std::to_string(code) + ")";
    stop();
    throw ServerGone(what);
}

std::string Session::ask(std::string_view command, std::string_view args) {
    Server& s = server();
    try {
        return s.request(command, args);
    } catch (const ProtocolError& e) {
        gone(e);
    }
}

std::vector<std::string> Session::ask_all(const std::vector<Request>& requests) {
    std::vector<std::string> lines;
    lines.reserve(requests.size());
    for (const Request& r : requests)
        lines.push_back(request_line(r));
    std::vector<std::string> answers;
    answers.reserve(requests.size());
    Server& s = server();
    try {
        for (size_t next = 0; next < lines.size();) {
            std::string window = lines[next];
            size_t end = next + 1;
            while (end < lines.size() && window.size() + lines[end].size() <= kPipeWindowBytes)
                window += lines[end++];
            s.send(window);
            for (; next < end; next++)
                answers.push_back(s.read_answer());
        }
    } catch (const ProtocolError& e) {
        gone(e);
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
