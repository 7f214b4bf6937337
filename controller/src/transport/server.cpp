#include "qv/server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

namespace qv {

namespace {

// The server's error output while it starts, kept where the caller gave
// none: a server that ends before its handshake says why only there. The
// file is unlinked at once; the server keeps writing into it (little, with
// WINEDEBUG=-all) until it ends.
class StartLog {
public:
    explicit StartLog(LaunchOptions& options) {
        if (!options.stderr_path.empty())
            return;
        char path[] = "/tmp/qvstart.XXXXXX";
        fd_ = mkostemp(path, O_CLOEXEC);
        if (fd_ < 0)
            return;  // the server's error output goes to /dev/null, as before
        options.stderr_path = path_ = path;
    }
    ~StartLog() {
        forget();
        if (fd_ >= 0)
            close(fd_);
    }
    StartLog(const StartLog&) = delete;
    StartLog& operator=(const StartLog&) = delete;
    // Once the server has opened it.
    void forget() {
        if (!path_.empty())
            unlink(path_.c_str());
        path_.clear();
    }
    // Its last lines, for a message.
    std::string tail() const {
        if (fd_ < 0)
            return "";
        char buf[600];
        off_t size = lseek(fd_, 0, SEEK_END);
        off_t from = size > off_t(sizeof buf) ? size - off_t(sizeof buf) : 0;
        ssize_t n = pread(fd_, buf, sizeof buf, from);
        std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

Server Server::start_once(const LaunchOptions& options_in, Millis timeout, bool* ended_silently) {
    LaunchOptions options = options_in;
    StartLog log(options);
    Server server;
    server.peer_ = Peer::spawn(options);
    log.forget();
    server.timeout_ = timeout;
    try {
        server.expect_handshake(options.exe);
    } catch (const ProtocolError& e) {
        // How it ended and what it said, in place of a bare "no handshake".
        std::string what = e.what();
        int code = server.peer_.wait(Clock::now() + Millis(500));
        if (code >= 0)
            what += "; it ended with status " + std::to_string(code);
        std::string said = log.tail();
        what += said.empty() ? "; its error output was empty" : "; its error output: " + said;
        *ended_silently = code == 1 && said.empty() && server.framer_.pending().empty();
        server.peer_.kill_now();
        throw ProtocolError(what);
    }
    return server;
}

Server Server::start(const LaunchOptions& options, Millis timeout) {
    // Wine now and then ends a program at its very start, with status 1 and,
    // under WINEDEBUG=-all, not a word: the address space layout it was given
    // left no room for the shared user data page ("failed to map the shared
    // user data: c0000018"; about 1 start in 700 here, its own tools' as
    // ours). The next start gets another layout, and nothing was asked of
    // this one yet, so it is started once more; any other failure, or a
    // second one, is reported.
    bool ended_silently = false;
    try {
        return start_once(options, timeout, &ended_silently);
    } catch (const ProtocolError&) {
        if (!ended_silently)
            throw;
        try {
            return start_once(options, timeout, &ended_silently);
        } catch (const ProtocolError& again) {
            throw ProtocolError(std::string(again.what()) + " (a second start; the first had ended without a word)");
        }
    }
}

Server Server::attach(int socket_fd, Millis timeout) {
    Server server;
    server.peer_ = Peer::attach(socket_fd);
    server.timeout_ = timeout;
    server.expect_handshake("the agent");
    return server;
}

void Server::expect_handshake(const std::string& from) {
    FrameReader::Status status = pull(nullptr);
    if (status != FrameReader::Status::handshake)
        throw ProtocolError("no handshake from " + from + ", got: \"" + std::string(framer_.pending()) + "\"");
}

bool Server::try_answer(std::string* answer) {
    FrameReader::Status status = framer_.next(answer);
    if (status == FrameReader::Status::answer)
        return true;
    pollfd p{peer_.output_fd(), POLLIN, 0};
    if (status != FrameReader::Status::incomplete || p.fd < 0 || poll(&p, 1, 0) != 1)
        return false;
    // Readable: this read does not wait.
    char chunk[65536];
    ssize_t n = peer_.read_some(chunk, sizeof chunk, Clock::now() + timeout_);
    if (n <= 0)
        throw ended();
    framer_.feed(std::string_view(chunk, static_cast<size_t>(n)));
    return framer_.next(answer) == FrameReader::Status::answer;
}

ProtocolError Server::ended() const {
    if (framer_.pending().empty())
        return ProtocolError("server output ended before an answer");
    return ProtocolError("server output ended inside an answer; pending: \"" +
                         std::string(framer_.pending().substr(0, 200)) + "\"");
}

FrameReader::Status Server::pull(std::string* answer) {
    Clock::time_point deadline = Clock::now() + timeout_;
    for (;;) {
        FrameReader::Status status = framer_.next(answer);
        if (status != FrameReader::Status::incomplete)
            return status;
        char chunk[65536];
        ssize_t n = peer_.read_some(chunk, sizeof chunk, deadline);
        if (n < 0) {
            std::string pending(framer_.pending().substr(0, 200));
            // A late answer would be taken for the next request's, so this
            // server cannot be asked again.
            peer_.kill_now();
            throw ProtocolError("timed out waiting for the server; pending: \"" + pending + "\"");
        }
        if (n == 0)
            throw ended();
        framer_.feed(std::string_view(chunk, static_cast<size_t>(n)));
    }
}

void Server::send(std::string_view bytes) {
    if (!peer_.write_all(bytes))
        throw ProtocolError("server input is closed");
}

std::string Server::read_answer() {
    std::string answer;
    if (pull(&answer) != FrameReader::Status::answer)
        throw ProtocolError("unexpected data from the server");
    return answer;
}

std::string request_line(std::string_view command, std::string_view args) {
    if (command.find('\n') != std::string_view::npos || args.find('\n') != std::string_view::npos)
        throw Refused("a request cannot carry a raw LF; escape it");
    if (command.find('\0') != std::string_view::npos || args.find('\0') != std::string_view::npos)
        throw Refused("a request cannot carry a raw NUL (the server would act on the text before it); escape it");
    if (command.size() + args.size() + 2 > kMaxRequestBytes)
        throw Refused("a request line of " + std::to_string(command.size() + args.size() + 2) +
                      " bytes is longer than the " + std::to_string(kMaxRequestBytes >> 20) + " MiB a request may have");
    std::string line(command);
    if (!args.empty()) {
        line += ' ';
        line += args;
    }
    line += '\n';
    return line;
}

std::string Server::request(std::string_view command, std::string_view args) {
    send(request_line(command, args));
    return read_answer();
}

int Server::wait_exit() {
    int code = peer_.wait(Clock::now() + timeout_);
    if (code < 0) {
        peer_.kill_now();
        throw ProtocolError("server did not exit");
    }
    return code;
}

int Server::quit() {
    send("quit\n");
    peer_.close_input();
    return wait_exit();
}

int Server::finish() {
    peer_.close_input();
    return wait_exit();
}

}  // namespace qv
