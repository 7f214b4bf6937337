// qvagent: keeps one command server running for one prefix and shares it
// among every client of this user (see qv/agent.h). Started by the library
// when a client finds none; not meant to be run by hand.
//
//   qvagent --prefix DIR --wine LOADER --exe SERVER [--persist SECONDS]
//           [--env NAME=VALUE]... [--unset NAME]... [--arg ARG]...
//           [--status-fd FD]
//
// On FD it says "ready" once it listens, "busy" when another agent holds the
// prefix, or "error ..." when it cannot run.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "mux.h"
#include "qv/agent.h"

extern char** environ;

namespace {

volatile std::sig_atomic_t stop_signal = 0;

void on_signal(int sig) { stop_signal = sig; }

int status_fd = -1;

void say(const std::string& what) {
    if (status_fd < 0)
        return;
    std::string line = what + "\n";
    if (write(status_fd, line.data(), line.size()) < 0) {
        // The caller went away; the agent serves others all the same.
    }
    close(status_fd);
    status_fd = -1;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "qvagent: %s\n", what.c_str());
    say("error " + what);
    return 1;
}

// The server gets nothing of the client that happened to start the agent:
// the variables every client of this agent shares (they are part of its
// fingerprint) and a fixed PATH; the rest is cleared.
void keep_shared_environment() {
    std::vector<std::pair<std::string, std::string>> kept;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq != std::string::npos && qv::reaches_agent_server(entry.substr(0, eq)))
            kept.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    clearenv();
    for (auto& [name, value] : kept)
        setenv(name.c_str(), value.c_str(), 1);
    setenv("PATH", qv::kAgentServerPath, 1);
}

// The prefix's lock. Another agent that holds it and serves has its socket
// in place: the caller is told to use that one (none). One that is ending
// has removed its socket already: its lock is waited for, so that callers
// do not start agent after agent meanwhile.
std::optional<qv::AgentLock> wait_for_lock(const qv::AgentPaths& paths) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::optional<qv::AgentLock> lock = qv::AgentLock::take(paths.lock);
        if (lock)
            return lock;
        struct stat st;
        if ((lstat(paths.socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ||
            std::chrono::steady_clock::now() > until)
            return std::nullopt;
        usleep(10000);
    }
}

int listen_on(const std::string& path, std::string* error) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    // Whoever held the lock before is gone: what it left is stale.
    unlink(path.c_str());
    mode_t old = umask(0177);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 128) == 0;
    umask(old);
    if (!ok) {
        *error = "cannot listen on the agent socket: " + std::string(std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    qvagent::Config config;
    int persist = qv::kDefaultPersistSeconds;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            return fail("option " + arg + " needs a value");
        std::string value = argv[++i];
        if (arg == "--prefix")
            config.launch.prefix = value;
        else if (arg == "--wine")
            config.launch.wine = value;
        else if (arg == "--exe")
            config.launch.exe = value;
        else if (arg == "--persist") {
            std::optional<int> p = qv::parse_persist(value);
            if (!p)
                return fail("--persist " + value + " is not a number of seconds");
            persist = *p;
        } else if (arg == "--env") {
            size_t eq = value.find('=');
            if (eq == std::string::npos)
                return fail("--env " + value + " is not NAME=VALUE");
            config.launch.env.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else if (arg == "--unset")
            config.launch.unset_env.push_back(value);
        else if (arg == "--arg")
            config.launch.args.push_back(value);
        else if (arg == "--launcher")
            config.launch.launcher.push_back(value);
        else if (arg == "--status-fd")
            status_fd = std::atoi(value.c_str());
        else
            return fail("unknown option " + arg);
    }
    // Only a pipe is a status pipe: a descriptor the caller did not set up
    // may be anything, the agent's own lock included once opened.
    struct stat status_st;
    if (status_fd >= 0 && (fstat(status_fd, &status_st) != 0 || !S_ISFIFO(status_st.st_mode)))
        status_fd = -1;
    if (config.launch.prefix.empty() || config.launch.exe.empty())
        return fail("--prefix and --exe are needed");
    // The caller's descriptor limit is not the agent's: it serves many.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    try {
        qv::AgentPaths paths = qv::agent_paths(config.launch.prefix);
        std::optional<qv::AgentLock> lock = wait_for_lock(paths);
        if (!lock) {
            say("busy");
            return 0;
        }
        // This agent's log only (losers of a start race write none).
        if (ftruncate(2, 0) != 0) {
            // standard error is not the log file: nothing to truncate
        }
        config.launch.prefix = paths.prefix;
        config.fingerprint = qv::launch_fingerprint(config.launch);
        keep_shared_environment();
        // Nor its working directory: the server's would answer relative
        // paths, and the folder could not be unmounted while the agent runs.
        if (chdir("/") != 0)
            return fail(std::string("cannot change to /: ") + std::strerror(errno));
        config.socket_path = paths.socket;
        config.socket_shown = paths.shown(paths.socket);
        config.persist_seconds = persist;

        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);
        signal(SIGHUP, SIG_IGN);

        std::string error;
        int listener = listen_on(paths.socket, &error);
        if (listener < 0)
            return fail(error);
        qvagent::Multiplexer mux(config, listener);
        std::fprintf(stderr, "qvagent[%d]: serving %s on %s (persist %d s)\n", getpid(), paths.prefix.c_str(),
                     paths.shown(paths.socket).c_str(), persist);
        say("ready");
        std::string why = mux.run(&stop_signal);
        std::fprintf(stderr, "qvagent[%d]: ended: %s\n", getpid(), why.c_str());
        return 0;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
