// Reaching the prefix's agent, and starting one when none runs.
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qv/agent.h"
#include "qv/agent_files.h"

extern char** environ;

namespace qv {

namespace {

// A connected socket, or -1 with errno set.
int connect_socket(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// A conversation on a connected socket, after checking who listens there;
// none when the agent went away before greeting (it was just ending). The
// first line, if any, goes out before the handshake is read: one round trip
// less for every short-lived client.
std::optional<Server> greet(int fd, Millis timeout, const std::string& first_line = "") {
    std::optional<PeerCredentials> peer = peer_credentials(fd);
    if (!peer || peer->uid != geteuid()) {
        close(fd);
        throw AgentUnavailable(AgentUnavailable::Why::folder,
                               "the agent socket is served by user id " +
                                   (peer ? std::to_string(peer->uid) : std::string("unknown")) + ", not this user");
    }
    if (!first_line.empty() && send(fd, first_line.data(), first_line.size(), MSG_NOSIGNAL) !=
                                   static_cast<ssize_t>(first_line.size())) {
        close(fd);
        return std::nullopt;
    }
    try {
        return Server::attach(fd, timeout);
    } catch (const ProtocolError&) {
        return std::nullopt;
    }
}

// Starts the agent detached from this process (a session of its own, no
// descriptors of ours but its status pipe), and returns that pipe's read end.
int spawn_agent(const std::string& program, const LaunchOptions& launch, const AgentPaths& paths, int persist) {
    std::vector<std::string> args{program, "--prefix", paths.prefix, "--wine", launch.wine, "--exe", launch.exe,
                                  "--persist", std::to_string(persist), "--status-fd", "3"};
    for (const auto& [name, value] : launch.env)
        args.insert(args.end(), {"--env", name + "=" + value});
    for (const std::string& name : launch.unset_env)
        args.insert(args.end(), {"--unset", name});
    for (const std::string& arg : launch.args)
        args.insert(args.end(), {"--arg", arg});
    for (const std::string& word : launch.launcher)
        args.insert(args.end(), {"--launcher", word});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    if (access(program.c_str(), X_OK) != 0)
        throw AgentUnavailable(AgentUnavailable::Why::start,
                               "cannot run the agent " + program + ": " + std::strerror(errno));
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        throw AgentUnavailable(AgentUnavailable::Why::start, "pipe: " + std::string(std::strerror(errno)));
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    int log_fd = open(paths.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here: the caller may have threads.
        setsid();
        pid_t agent = fork();
        if (agent != 0)
            _exit(agent < 0 ? 1 : 0);
        // Each moved clear of 0 to 3 first: with a standard descriptor closed
        // in the caller, one of them may already sit on its target, where
        // dup2 would leave it as it is (closed at exec).
        int moved[3] = {null_fd, log_fd >= 0 ? log_fd : null_fd, status[1]};
        for (int& fd : moved)
            fd = fcntl(fd, F_DUPFD, 10);
        dup2(moved[0], 0);
        dup2(moved[0], 1);
        dup2(moved[1], 2);
        dup2(moved[2], 3);
        for (int fd = 4; fd < 1024; fd++)
            close(fd);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
            sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    int saved = errno;
    close(status[1]);
    if (null_fd >= 0)
        close(null_fd);
    if (log_fd >= 0)
        close(log_fd);
    if (pid < 0) {
        close(status[0]);
        throw AgentUnavailable(AgentUnavailable::Why::start, "fork: " + std::string(std::strerror(saved)));
    }
    int ignored;
    while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    return status[0];
}

// What a starting agent said on its status pipe: "ready", "busy" (another
// agent holds the prefix), "error ..."; "" while it says nothing yet, and
// "exited" when it ended without a word.
std::string spawned_status(int fd, int wait_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) != 1)
        return "";
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    if (n <= 0)
        return "exited";
    std::string said(buf, static_cast<size_t>(n));
    while (!said.empty() && said.back() == '\n')
        said.pop_back();
    return said;
}

}  // namespace

Server connect_agent(const LaunchOptions& launch_in, const AgentOptions& agent, Millis answer_timeout) {
    AgentPaths paths = agent_paths(launch_in.prefix);
    LaunchOptions launch = launch_in;
    launch.prefix = paths.prefix;
    std::string hello = std::string(kAgentWord) + " hello " + launch_fingerprint(launch) + " " +
                        std::to_string(agent.persist_seconds) + " " + std::to_string(answer_timeout.count());
    std::string program = agent.program.empty() ? default_agent_program() : agent.program;

    Clock::time_point deadline = Clock::now() + agent.connect_timeout;
    int starting = -1;  // status pipe of an agent this call started
    int started = 0;
    Millis pause(5);
    std::string last = "no agent answered";
    auto finish = [&] {
        if (starting >= 0)
            close(starting);
        starting = -1;
    };
    while (Clock::now() < deadline) {
        int fd = connect_socket(paths.socket);
        if (fd >= 0) {
            std::optional<Server> server;
            try {
                server = greet(fd, answer_timeout, hello + "\n");
            } catch (...) {
                finish();
                throw;
            }
            if (server) {
                std::string answer;
                try {
                    answer = server->read_answer();
                } catch (const ProtocolError& e) {
                    last = std::string("the agent ended the conversation: ") + e.what();
                    continue;  // it was ending; the next one starts anew
                }
                finish();
                if (answer != "ok")
                    throw AgentUnavailable(AgentUnavailable::Why::mismatch, answer);
                return std::move(*server);
            }
            last = "the agent closed the connection before greeting";
        } else if (errno != ENOENT && errno != ECONNREFUSED) {
            finish();
            throw AgentUnavailable(AgentUnavailable::Why::start,
                                   "cannot connect to the agent at " + paths.shown(paths.socket) + ": " + std::strerror(errno));
        }
        if (starting < 0) {
            // A started agent waits for one that is ending; it says "busy"
            // only when another serves, so a few starts are enough.
            if (started >= kAgentStartsPerCall) {
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, Millis(200));
                continue;
            }
            starting = spawn_agent(program, launch, paths, agent.persist_seconds);
            started++;
            continue;
        }
        std::string said = spawned_status(starting, 5);
        if (said.rfind("error", 0) == 0) {
            finish();
            throw AgentUnavailable(AgentUnavailable::Why::start, "the agent did not start: " + said.substr(6));
        }
        if (said == "exited") {
            finish();
            throw AgentUnavailable(AgentUnavailable::Why::start,
                                   "the agent " + program + " ended at its start (see " + paths.shown(paths.log) + ")");
        }
        if (said == "busy") {
            // Another agent serves: try it, and start another if it is gone.
            finish();
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, Millis(200));
        }
    }
    finish();
    throw AgentUnavailable(AgentUnavailable::Why::start, "no agent for " + paths.prefix + " within " +
                                                             std::to_string(agent.connect_timeout.count()) +
                                                             " ms: " + last);
}

std::optional<Server> connect_running_agent(const std::string& prefix, Millis timeout) {
    AgentPaths paths = agent_paths(prefix);
    int fd = connect_socket(paths.socket);
    if (fd < 0)
        return std::nullopt;
    return greet(fd, timeout);
}

std::optional<int> parse_persist(std::string_view text) {
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    int seconds = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        seconds = seconds * 10 + (c - '0');
    }
    if (seconds > 7 * 24 * 3600)
        return std::nullopt;
    return seconds;
}

int persist_from_environment() {
    const char* value = std::getenv("QV_PERSIST");
    if (!value || !*value)
        return kDefaultPersistSeconds;
    std::optional<int> seconds = parse_persist(value);
    if (!seconds)
        throw std::invalid_argument("QV_PERSIST=" + std::string(value) +
                                    " is not a number of seconds (0 to 604800; 0: no agent)");
    return *seconds;
}

std::string default_agent_program() {
    const char* set = std::getenv("QV_AGENT");
    if (set && *set)
        return set;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "qvagent";
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "qvagent";
}

}  // namespace qv
