#include "qv/server.h"

#include <poll.h>

namespace qv {

Server Server::start(const LaunchOptions& options, Millis timeout) {
    Server server;
    server.peer_ = Peer::spawn(options);
    server.timeout_ = timeout;
    server.expect_handshake(options.exe);
    return server;
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
