// server_relay: lets every test talk to one long-lived server process.
//
// Where a server start costs minutes (the 32-bit build under user-mode
// emulation), the tests cannot start one per test. The relay keeps one
// server running behind a Unix socket and stands in for the Wine loader:
//
//   server_relay serve SOCKET LOADER EXE   start EXE with LOADER, wait for its
//                                          handshake, then serve clients one
//                                          at a time until killed
//   server_relay EXE...                    (as the "loader" of a test; the
//                                          socket comes from QV_RELAY_SOCKET)
//                                          write the handshake, then pump
//                                          stdin to the server and its
//                                          answers back
//
// The serving side forwards complete lines only and keeps "quit" and the end
// of a client's input to itself, so one test cannot end or desynchronise the
// server for the next. A client whose environment differs from the server's
// (a test that sets variables for its own server) gets a real server process
// instead. What the relay cannot stand in for is the process itself: exit
// codes and the moment of the handshake belong to the real program.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "qv/framing.h"
#include "qv/server.h"

extern char** environ;

namespace {

const char kRelayVariable[] = "QV_RELAY_SOCKET";

// This process's environment, sorted, without the relay's own variable and
// what shells keep for themselves (the last command run, the nesting depth).
std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (name != kRelayVariable && name != "_" && name != "SHLVL")
            env.push_back(entry);
    }
    std::sort(env.begin(), env.end());
    return env;
}

// The loader, then the environment the server was started with, NUL-separated.
std::string snapshot_path(const char* socket_path) { return std::string(socket_path) + ".env"; }

bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

sockaddr_un address(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    return addr;
}

// One client: complete lines go to the server, answers come back framed.
void serve_client(int client, qv::Server& server) {
    std::string pending;
    char buf[65536];
    for (;;) {
        size_t lf;
        while ((lf = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (line == "quit" || line.rfind("quit ", 0) == 0)
                return;
            server.send(line + "\n");
            if (!write_all(client, server.read_answer() + std::string(qv::kEndMarker)))
                return;
        }
        ssize_t n = read(client, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a partial last line is dropped, as the server would
        pending.append(buf, static_cast<size_t>(n));
    }
}

int serve(const char* socket_path, const char* loader, const char* exe) {
    qv::LaunchOptions options;
    options.wine = loader;
    options.exe = exe;
    if (const char* prefix = std::getenv("WINEPREFIX"))
        options.prefix = prefix;
    {
        std::ofstream snapshot(snapshot_path(socket_path), std::ios::binary);
        snapshot << loader << '\0';
        for (const std::string& e : environment())
            snapshot << e << '\0';
    }
    qv::Server server = qv::Server::start(options, qv::Millis(30 * 60 * 1000));
    server.set_timeout(qv::Millis(30 * 60 * 1000));

    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = address(socket_path);
    unlink(socket_path);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 16) != 0) {
        std::perror("server_relay: socket");
        return 1;
    }
    std::fprintf(stderr, "server_relay: serving %s on %s\n", exe, socket_path);
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        serve_client(client, server);
        close(client);
    }
}

int connect_client(char** argv) {
    const char* socket_path = std::getenv(kRelayVariable);
    if (!socket_path)
        return 127;
    std::ifstream snapshot(snapshot_path(socket_path), std::ios::binary);
    std::vector<std::string> served;
    for (std::string entry; std::getline(snapshot, entry, '\0');)
        served.push_back(entry);
    if (served.empty())
        return 127;
    std::string loader = served.front();
    served.erase(served.begin());
    if (served != environment()) {
        std::vector<char*> args{loader.data()};
        for (char** a = argv + 1; *a; a++)
            args.push_back(*a);
        args.push_back(nullptr);
        execv(loader.c_str(), args.data());
        return 127;
    }
    if (!write_all(1, std::string(qv::kHandshake)))
        return 2;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = address(socket_path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return 126;
    pollfd fds[2] = {{0, POLLIN, 0}, {fd, POLLIN, 0}};
    char buf[65536];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[1].revents) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                return 0;  // the serving side ended this session
            if (!write_all(1, std::string(buf, static_cast<size_t>(n))))
                return 1;
        }
        if (fds[0].revents) {
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0) {
                shutdown(fd, SHUT_WR);
                fds[0].fd = -1;
            } else if (!write_all(fd, std::string(buf, static_cast<size_t>(n))))
                return 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        if (argc == 5 && std::string(argv[1]) == "serve")
            return serve(argv[2], argv[3], argv[4]);
        return connect_client(argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "server_relay: %s\n", e.what());
        return 1;
    }
}
