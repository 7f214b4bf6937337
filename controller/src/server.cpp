#include "qv/server.h"

namespace qv {

Server Server::start(const LaunchOptions& options, Millis timeout) {
    Server server;
    server.child_ = ChildProcess::spawn(options);
    server.timeout_ = timeout;
    FrameReader::Status status = server.pull(nullptr);
    if (status != FrameReader::Status::handshake)
        throw ProtocolError("no handshake from " + options.exe + ", got: \"" +
                            std::string(server.framer_.pending()) + "\"");
    return server;
}

FrameReader::Status Server::pull(std::string* answer) {
    Clock::time_point deadline = Clock::now() + timeout_;
    for (;;) {
        FrameReader::Status status = framer_.next(answer);
        if (status != FrameReader::Status::incomplete)
            return status;
        char chunk[65536];
        ssize_t n = child_.read_some(chunk, sizeof chunk, deadline);
        if (n < 0) {
            std::string pending(framer_.pending().substr(0, 200));
            // A late answer would be taken for the next request's, so this
            // server cannot be asked again.
            child_.kill_now();
            throw ProtocolError("timed out waiting for the server; pending: \"" + pending + "\"");
        }
        if (n == 0) {
            if (framer_.pending().empty())
                throw ProtocolError("server output ended before an answer");
            throw ProtocolError("server output ended inside an answer; pending: \"" +
                                std::string(framer_.pending().substr(0, 200)) + "\"");
        }
        framer_.feed(std::string_view(chunk, static_cast<size_t>(n)));
    }
}

void Server::send(std::string_view bytes) {
    if (!child_.write_all(bytes))
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
    int code = child_.wait(Clock::now() + timeout_);
    if (code < 0) {
        child_.kill_now();
        throw ProtocolError("server did not exit");
    }
    return code;
}

int Server::quit() {
    send("quit\n");
    child_.close_input();
    return wait_exit();
}

int Server::finish() {
    child_.close_input();
    return wait_exit();
}

}  // namespace qv
