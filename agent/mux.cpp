#include "mux.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qv/agent.h"
#include "qv/framing.h"

namespace qvagent {

namespace {

// What one client can make the agent hold: answers it has not read (no
// more of its lines are sent or read meanwhile), and lines read but not yet
// sent (no more are read meanwhile); a line being assembled is bounded by
// qv::kMaxRequestBytes.
constexpr size_t kOutLimit = 4 << 20;
constexpr size_t kQueuedLimit = 1 << 20;
// Nor are more of its requests in flight than this: their answers arrive
// whether it reads them or not.
constexpr size_t kInflightLimit = 64;
constexpr qv::Millis kWatchEvery(250);
// Out of descriptors, new clients wait in the listen backlog this long
// between tries instead of the loop spinning on a listener it cannot take.
constexpr qv::Millis kAcceptPause(100);
// How long an ending agent waits for the answers in flight.
constexpr qv::Millis kEndingGrace(3000);

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

std::string may_or_may_not(const std::string& what) {
    return "agent: " + what + "; this request may or may not have been carried out; the next request starts a new server";
}

}  // namespace

Multiplexer::Multiplexer(Config config, int listener) : config_(std::move(config)), listener_(listener) {
    stat(config_.launch.prefix.c_str(), &prefix_id_);
    lstat(config_.socket_path.c_str(), &socket_id_);
    started_at_ = qv::Clock::now();
    idle_until_ = started_at_ + std::chrono::seconds(config_.persist_seconds);
    idle_seconds_ = config_.persist_seconds;
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
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (!out_of_descriptors_)
                    log(std::string("cannot take new clients for now: ") + std::strerror(errno));
                out_of_descriptors_ = true;
                accept_again_ = qv::Clock::now() + kAcceptPause;
            }
            return;
        }
        out_of_descriptors_ = false;
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
    }
}

void Multiplexer::read_client(Client& c) {
    char buf[65536];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            c.input_done = true;
            c.in.clear();
            hang_up(c);
        }
        return;
    }
    if (n == 0 || c.input_done) {
        // As the server does, a last line without its LF is never run.
        c.input_done = true;
        c.in.clear();
        return;
    }
    c.in.append(buf, static_cast<size_t>(n));
    take_lines(c);
}

// Queues the complete lines in c.in; only bytes not searched before are
// searched, so a long line costs time in proportion to its length.
void Multiplexer::take_lines(Client& c) {
    qv::Clock::time_point now = qv::Clock::now();
    qv::Millis timeout = c.timeout.count() > 0 ? c.timeout : config_.answer_timeout;
    size_t from = 0;
    for (size_t lf; (lf = c.in.find('\n', std::max(from, c.scanned))) != std::string::npos; from = lf + 1) {
        if (lf - from + 1 > qv::kMaxRequestBytes)
            break;
        std::string line = c.in.substr(from, lf - from + 1);
        if (is_quit(line.substr(0, line.size() - 1))) {
            c.input_done = true;
            c.in.clear();
            c.scanned = 0;
            return;
        }
        c.queued_bytes += line.size();
        c.queued.push_back({std::move(line), now + timeout, timeout});
    }
    c.in.erase(0, from);
    c.scanned = c.in.size();
    if (c.in.size() > qv::kMaxRequestBytes)
        abandon(c, "agent: a request line longer than " + std::to_string(qv::kMaxRequestBytes >> 20) +
                       " MiB, more than any request can be; connection closed");
}

void Multiplexer::write_client(Client& c) {
    while (!c.out.empty() && c.fd >= 0 && !c.gone) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                hang_up(c);
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
}

// The client cannot read any more: its answers go nowhere. Every complete
// line it sent is still carried out, as the server itself carries out the
// lines of a controller that has closed its end.
void Multiplexer::hang_up(Client& c) {
    c.gone = true;
    c.out.clear();
    c.farewell.clear();
}

// Ends a client's conversation with a line of text and no end marker, so it
// cannot be taken for an answer: after the answers still in flight for it.
void Multiplexer::abandon(Client& c, const std::string& why) {
    c.queued.clear();
    c.queued_bytes = 0;
    c.in.clear();
    c.input_done = true;
    if (c.gone)
        return;
    c.farewell = why;
    say_farewell(c);
}

void Multiplexer::say_farewell(Client& c) {
    if (c.inflight > 0 || c.farewell.empty() || c.gone)
        return;
    c.out += c.farewell + "\n";
    c.farewell.clear();
    c.said_farewell = true;
    write_client(c);
}

bool Multiplexer::start_server() {
    try {
        server_ = qv::Server::start(config_.launch, config_.start_timeout);
        starts_++;
        // Like Wine's own services, it does not keep the prefix's Wine
        // session alive (`wineserver -w` returns as after Wine's own tools),
        // and ends between requests when that session ends.
        std::string system = server_->request(qv::kSystemProcessRequest);
        log("server started, pid " + std::to_string(server_->peer().pid()) +
            (system == "success" ? "" : "; it keeps the Wine session alive (" + system + ")"));
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

// Ends the server and tells everyone with a request in flight.
void Multiplexer::end_server(const std::string& text) {
    if (server_)
        server_->peer().kill_now();
    server_.reset();
    for (const Sent& s : inflight_) {
        auto it = clients_.find(s.client);
        if (it == clients_.end())
            continue;
        it->second.inflight = 0;
        abandon(it->second, text);
    }
    inflight_.clear();
    inflight_bytes_ = 0;
}

void Multiplexer::server_died(const std::string& why) {
    int code = server_->peer().wait(qv::Clock::now() + qv::Millis(200));
    if (code == qv::kServerEndedByWine) {
        send_again();
        return;
    }
    std::string exited = code >= 0 ? "; it exited with " + std::to_string(code) : std::string();
    log(inflight_.empty() ? "the server ended (" + why + exited + ")"
                          : "the server died while answering (" + why + exited + ")");
    end_server(may_or_may_not("the server died while answering this request (" + why + exited + ")"));
}

// The server ended because the prefix's Wine session did, between two
// requests: what it had not answered it had not carried out either, so
// those requests go to the next server, in their order.
void Multiplexer::send_again() {
    log("the server ended with the prefix's Wine session; " + std::to_string(inflight_.size()) +
        " request(s) go to the next one");
    server_->peer().kill_now();
    server_.reset();
    for (auto it = inflight_.rbegin(); it != inflight_.rend(); ++it) {
        auto c = clients_.find(it->client);
        if (c == clients_.end())
            continue;
        c->second.inflight--;
        c->second.queued_bytes += it->line.text.size();
        c->second.queued.push_front(std::move(it->line));
        requests_--;
    }
    inflight_.clear();
    inflight_bytes_ = 0;
}

// An answer past its client's timeout ends the server, as a server of the
// client's own would be ended: its late answer could not be told from the
// next one. A line still waiting for a busy server is given back unsent.
void Multiplexer::check_deadlines() {
    qv::Clock::time_point now = qv::Clock::now();
    for (const Sent& s : inflight_) {
        if (now < s.line.deadline)
            continue;
        std::string ms = std::to_string(s.line.timeout.count());
        log("the server did not answer within " + ms + " ms; ended");
        end_server(may_or_may_not("the server did not answer within " + ms + " ms, so it was ended"));
        break;
    }
    for (auto& [id, c] : clients_) {
        if (c.queued.empty() || now < c.queued.front().deadline || is_control(c.queued.front().text))
            continue;
        abandon(c, "agent: the server was busy for longer than this request's timeout (" +
                       std::to_string(c.queued.front().timeout.count()) + " ms); it was not sent");
    }
}

void Multiplexer::read_server() {
    std::string answer;
    try {
        while (server_ && server_->try_answer(&answer)) {
            if (inflight_.empty()) {
                server_died("an answer came that nobody asked for");
                return;
            }
            Sent sent = std::move(inflight_.front());
            inflight_.pop_front();
            inflight_bytes_ -= sent.line.text.size();
            auto it = clients_.find(sent.client);
            if (it == clients_.end())
                continue;
            Client& c = it->second;
            c.inflight--;
            if (!c.gone) {
                c.out += framed(answer);
                write_client(c);
            }
            say_farewell(c);
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
        if (c.queued.empty() || (!c.gone && c.out.size() >= kOutLimit))
            continue;
        bool full = c.inflight >= kInflightLimit && !c.gone;
        const std::string& line = c.queued.front().text;
        if (is_control(line)) {
            if (c.inflight > 0)
                continue;  // answered in its place, after what came before
            turn_ = it->first;
            if (control(it->first, c, line)) {
                c.queued_bytes -= line.size();
                c.queued.pop_front();
            }
            return true;
        }
        if (stopper_) {
            abandon(c, "agent: stopping (qvctl agent stop); this request was not sent");
            return true;
        }
        // A line longer than the window goes alone.
        if (full || (!inflight_.empty() && inflight_bytes_ + line.size() > qv::kPipeWindowBytes))
            continue;
        if (!server_ && !start_server())
            return true;
        turn_ = it->first;
        inflight_.push_back({it->first, std::move(c.queued.front())});
        c.queued.pop_front();
        const std::string& text = inflight_.back().line.text;
        c.queued_bytes -= text.size();
        inflight_bytes_ += text.size();
        c.inflight++;
        requests_++;
        try {
            server_->send(text);
        } catch (const qv::ProtocolError& e) {
            server_died(e.what());  // reported with the others in flight
        }
        return true;
    }
    return false;
}

// Answers an ".agent" line; false when the client was abandoned instead.
bool Multiplexer::control(uint64_t id, Client& c, const std::string& line_lf) {
    std::string line = line_lf.substr(0, line_lf.size() - 1);
    std::string rest = line.substr(qv::kAgentWord.size() + 1);
    if (rest.rfind("hello ", 0) == 0) {
        // hello FINGERPRINT [PERSIST [TIMEOUT_MS]]
        std::vector<std::string> words;
        for (size_t from = 6; from <= rest.size();) {
            size_t space = std::min(rest.find(' ', from), rest.size());
            words.push_back(rest.substr(from, space - from));
            from = space + 1;
        }
        if (words[0] != config_.fingerprint) {
            c.out += framed("error the agent of " + config_.launch.prefix +
                            " runs its server with another loader, program or environment (" + config_.launch.wine +
                            " " + config_.launch.exe + ")");
        } else {
            if (words.size() > 1)
                c.persist_seconds = qv::parse_persist(words[1]).value_or(-1);
            if (words.size() > 2 && !words[2].empty() && words[2].size() < 10 &&
                words[2].find_first_not_of("0123456789") == std::string::npos)
                c.timeout = qv::Millis(std::stoll(words[2]));
            c.out += framed("ok");
        }
    } else if (rest == "status") {
        c.out += framed(status_text(id));
    } else if (rest == "stop") {
        if (!stopper_) {
            stopper_ = id;
            stop_by_ = qv::Clock::now() + kEndingGrace;
            log("stop asked");
        }
        c.queued.clear();
        c.queued_bytes = 0;
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

// Forgets the clients that are done; each leaves the agent running for the
// persist time it asked for (the longest wins), not the last one's.
void Multiplexer::reap() {
    qv::Clock::time_point now = qv::Clock::now();
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& c = it->second;
        bool done = c.input_done && c.queued.empty() && c.inflight == 0 && (c.out.empty() || c.gone) &&
                    c.farewell.empty() && !(stopper_ && *stopper_ == it->first);
        if (done) {
            if (c.fd >= 0)
                close(c.fd);
            int persist = c.persist_seconds >= 0 ? c.persist_seconds : config_.persist_seconds;
            if (now + std::chrono::seconds(persist) > idle_until_) {
                idle_until_ = now + std::chrono::seconds(persist);
                idle_seconds_ = persist;
            }
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<std::string> Multiplexer::why_stop(volatile std::sig_atomic_t* stop_signal) {
    if (stop_signal && *stop_signal)
        return "ended by signal " + std::to_string(*stop_signal);
    if (stopper_ && (inflight_.empty() || qv::Clock::now() >= stop_by_))
        return "stopped on request";
    struct stat st;
    if (stat(config_.launch.prefix.c_str(), &st) != 0 || !same_file(st, prefix_id_))
        return "the prefix folder " + config_.launch.prefix + " is gone";
    if (lstat(config_.socket_path.c_str(), &st) != 0 || !same_file(st, socket_id_))
        return "its socket " + config_.socket_shown + " was removed or replaced";
    if (clients_.empty() && inflight_.empty() && qv::Clock::now() >= idle_until_)
        return "idle for " + std::to_string(idle_seconds_) + " s";
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
    // What is in flight is answered first, for a while.
    qv::Clock::time_point by = stopper_ ? stop_by_ : qv::Clock::now() + kEndingGrace;
    while (server_ && !inflight_.empty()) {
        auto left = std::chrono::duration_cast<qv::Millis>(by - qv::Clock::now()).count();
        pollfd p{server_->peer().output_fd(), POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            log("ending with requests in flight");
            end_server(may_or_may_not("ending (" + reason + ") before the server answered"));
            break;
        }
        read_server();
    }
    quit_server();
    for (auto& [id, c] : clients_) {
        if (c.gone || c.fd < 0)
            continue;
        if (stopper_ && *stopper_ == id)
            c.out += framed("stopped");
        else if (!c.said_farewell)
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
        check_deadlines();
        while (dispatch_one()) {
        }
        reap();
        if (std::optional<std::string> why = why_stop(stop_signal))
            return finish(*why);

        fds.clear();
        ids.clear();
        bool accepting = qv::Clock::now() >= accept_again_;
        fds.push_back({accepting ? listener_ : -1, POLLIN, 0});
        fds.push_back({server_ ? server_->peer().output_fd() : -1, POLLIN, 0});
        for (auto& [id, c] : clients_) {
            short events = 0;
            if (!c.input_done && c.queued_bytes < kQueuedLimit && (c.gone || c.out.size() < kOutLimit))
                events |= POLLIN;
            if (!c.out.empty() && !c.gone)
                events |= POLLOUT;
            // A hung-up socket reports POLLHUP whatever is asked: one with
            // nothing to wait for stays out of the poll.
            if (c.fd < 0 || events == 0)
                continue;
            fds.push_back({c.fd, events, 0});
            ids.push_back(id);
        }
        int r = poll(fds.data(), fds.size(), static_cast<int>((accepting ? kWatchEvery : kAcceptPause).count()));
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
            if (ev & (POLLHUP | POLLERR))
                hang_up(c);  // killed, or closed without waiting for its answers
            else if (ev & POLLOUT)
                write_client(c);
        }
        if (fds[0].revents)
            accept_clients();
    }
}

}  // namespace qvagent
