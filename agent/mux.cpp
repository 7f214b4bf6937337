#include "mux.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qv/agent.h"
#include "qv/framing.h"

namespace qvagent {

namespace {

// A client that does not read its answers is not read from meanwhile.
constexpr size_t kOutLimit = 4 << 20;
constexpr size_t kQueuedLimit = 4096;
// A line longer than this is no request the server could take.
constexpr size_t kMaxLine = size_t(1) << 30;
constexpr qv::Millis kWatchEvery(250);

double seconds_since(qv::Clock::time_point t) {
    return std::chrono::duration<double>(qv::Clock::now() - t).count();
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void log(const std::string& text) { std::fprintf(stderr, "qvagent[%d]: %s\n", getpid(), text.c_str()); }

// The server ends on a line whose first word, read as a C string, is
// "quit" ("quit x", and "quit" then NUL and anything): that is the client's
// own ending, never the shared server's.
bool is_quit(const std::string& line) {
    std::string word = line.substr(0, line.find(' '));
    return word.substr(0, word.find('\0')) == "quit";
}

bool is_control(const std::string& line) {
    return line.size() > qv::kAgentWord.size() && line.compare(0, qv::kAgentWord.size(), qv::kAgentWord) == 0 &&
           (line[qv::kAgentWord.size()] == ' ' || line[qv::kAgentWord.size()] == '\n');
}

std::string framed(const std::string& answer) { return answer + std::string(qv::kEndMarker); }

}  // namespace

Multiplexer::Multiplexer(Config config, int listener) : config_(std::move(config)), listener_(listener) {
    stat(config_.launch.prefix.c_str(), &prefix_id_);
    lstat(config_.socket_path.c_str(), &socket_id_);
    started_at_ = last_activity_ = qv::Clock::now();
}

Multiplexer::~Multiplexer() {
    for (auto& [id, c] : clients_)
        if (c.fd >= 0)
            close(c.fd);
    if (listener_ >= 0)
        close(listener_);
}

void Multiplexer::accept_clients() {
    for (;;) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        std::optional<qv::PeerCredentials> peer = qv::peer_credentials(fd);
        if (!peer || peer->uid != geteuid()) {
            log("refused a connection from user id " + (peer ? std::to_string(peer->uid) : std::string("unknown")));
            close(fd);
            continue;
        }
        Client& c = clients_[next_id_++];
        c.fd = fd;
        c.out = std::string(qv::kHandshake);
        write_client(c);
        read_client(c);  // a first line sent with the connection is there already
        last_activity_ = qv::Clock::now();
    }
}

void Multiplexer::read_client(Client& c) {
    char buf[65536];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR)
            drop(c);
        return;
    }
    if (n == 0) {
        c.input_done = true;  // it may still read what it asked for
        return;
    }
    if (c.input_done)
        return;
    c.in.append(buf, static_cast<size_t>(n));
    size_t from = 0;
    for (size_t lf; (lf = c.in.find('\n', from)) != std::string::npos; from = lf + 1) {
        std::string line = c.in.substr(from, lf - from + 1);
        if (is_quit(line.substr(0, line.size() - 1))) {
            c.input_done = true;
            c.in.clear();
            return;
        }
        c.queued.push_back(std::move(line));
    }
    c.in.erase(0, from);
    if (c.in.size() > kMaxLine)
        abandon(c, "agent: a request line longer than " + std::to_string(kMaxLine >> 20) + " MiB; connection closed");
}

void Multiplexer::write_client(Client& c) {
    while (!c.out.empty() && c.fd >= 0) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                drop(c);
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
}

// The client has gone: what it still has in flight is read and thrown away.
void Multiplexer::drop(Client& c) {
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.gone = c.input_done = true;
    c.in.clear();
    c.out.clear();
    c.queued.clear();
}

// Ends a client's conversation with a line of text and no end marker, so it
// cannot be taken for an answer.
void Multiplexer::abandon(Client& c, const std::string& why) {
    if (c.gone)
        return;
    c.queued.clear();
    c.in.clear();
    c.input_done = true;
    c.out += why + "\n";
    write_client(c);
}

bool Multiplexer::start_server() {
    try {
        server_ = qv::Server::start(config_.launch, config_.start_timeout);
        server_->set_timeout(config_.answer_timeout);
        starts_++;
        log("server started, pid " + std::to_string(server_->peer().pid()));
        return true;
    } catch (const std::exception& e) {
        server_.reset();
        std::string why = std::string("agent: the server did not start: ") + e.what();
        log(why);
        for (auto& [id, c] : clients_)
            if (!c.queued.empty())
                abandon(c, why);
        return false;
    }
}

void Multiplexer::server_died(const std::string& why) {
    int code = server_->peer().wait(qv::Clock::now() + qv::Millis(200));
    server_->peer().kill_now();
    server_.reset();
    std::string exited = code >= 0 ? "; it exited with " + std::to_string(code) : std::string();
    std::string text = "agent: the server died while answering this request (" + why + exited +
                       "); it may or may not have been carried out; the next request starts a new server";
    log(inflight_.empty() ? "the server ended (" + why + exited + ")" : text);
    for (uint64_t id : inflight_) {
        auto it = clients_.find(id);
        if (it == clients_.end())
            continue;
        it->second.inflight = 0;
        abandon(it->second, text);
    }
    inflight_.clear();
    inflight_sizes_.clear();
    inflight_bytes_ = 0;
}

void Multiplexer::read_server() {
    std::string answer;
    try {
        while (server_ && server_->try_answer(&answer)) {
            if (inflight_.empty()) {
                server_died("an answer came that nobody asked for");
                return;
            }
            uint64_t id = inflight_.front();
            inflight_.pop_front();
            inflight_bytes_ -= inflight_sizes_.front();
            inflight_sizes_.pop_front();
            last_activity_ = qv::Clock::now();
            auto it = clients_.find(id);
            if (it == clients_.end())
                continue;
            Client& c = it->second;
            c.inflight--;
            if (!c.gone) {
                c.out += framed(answer);
                write_client(c);
            }
        }
    } catch (const qv::ProtocolError& e) {
        server_died(e.what());
    }
}

// Sends the next line of the next client in turn; false when none can go.
bool Multiplexer::dispatch_one() {
    if (clients_.empty())
        return false;
    auto it = clients_.upper_bound(turn_);
    for (size_t looked = 0; looked < clients_.size(); looked++, ++it) {
        if (it == clients_.end())
            it = clients_.begin();
        Client& c = it->second;
        if (c.queued.empty() || c.gone)
            continue;
        const std::string& line = c.queued.front();
        if (is_control(line)) {
            if (c.inflight > 0)
                continue;  // answered in its place, after what came before
            turn_ = it->first;
            bool keep = control(it->first, c, line);
            if (keep)
                c.queued.pop_front();
            return true;
        }
        if (stopper_) {
            abandon(c, "agent: stopping (qvctl agent stop); this request was not sent");
            return true;
        }
        // A line longer than the window goes alone.
        if (!inflight_.empty() && inflight_bytes_ + line.size() > qv::kPipeWindowBytes)
            return false;
        if (!server_ && !start_server())
            return true;
        turn_ = it->first;
        size_t size = line.size();
        try {
            server_->send(line);
        } catch (const qv::ProtocolError& e) {
            c.queued.pop_front();
            inflight_.push_back(it->first);  // reported with the others in flight
            inflight_sizes_.push_back(size);
            c.inflight++;
            server_died(e.what());
            return true;
        }
        c.queued.pop_front();
        inflight_.push_back(it->first);
        inflight_sizes_.push_back(size);
        inflight_bytes_ += size;
        c.inflight++;
        requests_++;
        last_activity_ = qv::Clock::now();
        return true;
    }
    return false;
}

// Answers an ".agent" line; false when the client was abandoned instead.
bool Multiplexer::control(uint64_t id, Client& c, const std::string& line_lf) {
    std::string line = line_lf.substr(0, line_lf.size() - 1);
    std::string rest = line.substr(qv::kAgentWord.size() + 1);
    if (rest.rfind("hello ", 0) == 0) {
        std::string words = rest.substr(6);
        size_t space = words.find(' ');
        std::string fingerprint = words.substr(0, space);
        std::optional<int> persist =
            space == std::string::npos ? std::nullopt : qv::parse_persist(words.substr(space + 1));
        if (fingerprint != config_.fingerprint) {
            c.out += framed("error the agent of " + config_.launch.prefix +
                            " runs its server with another loader, program or environment (" + config_.launch.wine +
                            " " + config_.launch.exe + ")");
        } else {
            if (persist)
                config_.persist_seconds = *persist;
            c.out += framed("ok");
        }
    } else if (rest == "status") {
        c.out += framed(status_text(id));
    } else if (rest == "stop") {
        if (!stopper_) {
            stopper_ = id;
            log("stop asked");
        }
        c.queued.clear();
        c.input_done = true;
        return false;
    } else {
        c.out += framed("error the agent knows hello, status and stop, not: " + rest);
    }
    write_client(c);
    return true;
}

std::string Multiplexer::status_text(uint64_t asker) {
    char buf[64];
    auto secs = [&](double s) {
        std::snprintf(buf, sizeof buf, "%.3f", s);
        return std::string(buf);
    };
    size_t others = 0;
    for (auto& [id, c] : clients_)
        others += id != asker && !c.gone;
    std::string s;
    s += "prefix " + config_.launch.prefix + "\n";
    s += "pid " + std::to_string(getpid()) + "\n";
    s += "uptime_seconds " + secs(seconds_since(started_at_)) + "\n";
    s += "requests " + std::to_string(requests_) + "\n";
    s += "other_clients " + std::to_string(others) + "\n";
    s += "server_pid " + (server_ ? std::to_string(server_->peer().pid()) : std::string("none")) + "\n";
    s += "server_starts " + std::to_string(starts_) + "\n";
    s += "persist_seconds " + std::to_string(config_.persist_seconds) + "\n";
    s += "server " + config_.launch.wine + " " + config_.launch.exe;
    return s;
}

void Multiplexer::reap() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& c = it->second;
        bool done = c.input_done && c.queued.empty() && c.inflight == 0 && (c.out.empty() || c.gone) &&
                    !(stopper_ && *stopper_ == it->first);
        if (done) {
            if (c.fd >= 0)
                close(c.fd);
            it = clients_.erase(it);
            last_activity_ = qv::Clock::now();
        } else {
            ++it;
        }
    }
}

std::optional<std::string> Multiplexer::why_stop(volatile std::sig_atomic_t* stop_signal) {
    if (stop_signal && *stop_signal)
        return "ended by signal " + std::to_string(*stop_signal);
    if (stopper_ && inflight_.empty())
        return "stopped on request";
    struct stat st;
    if (stat(config_.launch.prefix.c_str(), &st) != 0 || !same_file(st, prefix_id_))
        return "the prefix folder " + config_.launch.prefix + " is gone";
    if (lstat(config_.socket_path.c_str(), &st) != 0 || !same_file(st, socket_id_))
        return "its socket " + config_.socket_path + " was removed or replaced";
    if (clients_.empty() && inflight_.empty() &&
        seconds_since(last_activity_) >= static_cast<double>(config_.persist_seconds))
        return "idle for " + std::to_string(config_.persist_seconds) + " s";
    return std::nullopt;
}

void Multiplexer::quit_server() {
    if (!server_)
        return;
    try {
        server_->set_timeout(qv::Millis(10000));
        int code = server_->quit();
        log("server quit with " + std::to_string(code));
    } catch (const std::exception& e) {
        server_->peer().kill_now();
        log(std::string("server killed: ") + e.what());
    }
    server_.reset();
}

std::string Multiplexer::finish(const std::string& reason) {
    // No one new gets in; one who calls now starts the next agent, which
    // waits for this one's lock.
    struct stat st;
    if (lstat(config_.socket_path.c_str(), &st) == 0 && same_file(st, socket_id_))
        unlink(config_.socket_path.c_str());
    close(listener_);
    listener_ = -1;
    // What is in flight is answered first (a stop waits for it; otherwise
    // the server is gone or the loop has nobody left).
    while (server_ && !inflight_.empty()) {
        pollfd p{server_->peer().output_fd(), POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) {
            server_died("the agent is ending");
            break;
        }
        read_server();
    }
    quit_server();
    for (auto& [id, c] : clients_) {
        if (c.gone)
            continue;
        if (stopper_ && *stopper_ == id)
            c.out += framed("stopped");
        else
            abandon(c, "agent: ending: " + reason);
        // A last chance to read it, without waiting long for anyone.
        fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) & ~O_NONBLOCK);
        timeval tv{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        while (!c.out.empty()) {
            ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            c.out.erase(0, static_cast<size_t>(n));
        }
    }
    return reason;
}

std::string Multiplexer::run(volatile std::sig_atomic_t* stop_signal) {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    for (;;) {
        while (dispatch_one()) {
        }
        reap();
        if (std::optional<std::string> why = why_stop(stop_signal))
            return finish(*why);

        fds.clear();
        ids.clear();
        fds.push_back({stopper_ ? -1 : listener_, POLLIN, 0});
        fds.push_back({server_ ? server_->peer().output_fd() : -1, POLLIN, 0});
        for (auto& [id, c] : clients_) {
            if (c.fd < 0)
                continue;
            short events = 0;
            if (!c.input_done && c.out.size() < kOutLimit && c.queued.size() < kQueuedLimit)
                events |= POLLIN;
            if (!c.out.empty())
                events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            ids.push_back(id);
        }
        int r = poll(fds.data(), fds.size(), static_cast<int>(kWatchEvery.count()));
        if (r < 0)
            continue;  // a signal: checked above
        if (fds[1].revents)
            read_server();
        for (size_t i = 2; i < fds.size(); i++) {
            auto it = clients_.find(ids[i - 2]);
            if (it == clients_.end() || it->second.fd != fds[i].fd)
                continue;
            Client& c = it->second;
            short ev = fds[i].revents;
            if (ev & POLLIN)
                read_client(c);
            if (c.fd >= 0 && (ev & (POLLHUP | POLLERR)))
                drop(c);  // killed, or closed without waiting for its answers
            else if (c.fd >= 0 && (ev & POLLOUT))
                write_client(c);
        }
        if (fds[0].revents)
            accept_clients();
    }
}

}  // namespace qvagent
