#include "qv/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qv/host.h"

extern char** environ;

namespace qv {

std::string default_wine_loader() { return env_or("QV_WINE", "/usr/lib/wine/wine64"); }
std::string default_wine32_loader() { return env_or("QV_WINE32", "/usr/lib/wine/wine"); }

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t from = 0;
    while (from <= dirs.size()) {
        size_t colon = dirs.find(':', from);
        std::string dir = dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    return name;  // not found: the caller's access() check says so
}
std::string default_wineserver() { return env_or("QV_WINESERVER", "/usr/lib/wine/wineserver"); }

namespace {

std::vector<std::string> build_environment(const LaunchOptions& o) {
    std::vector<std::pair<std::string, std::string>> vars;
    auto set = [&](const std::string& name, const std::string& value) {
        for (auto& v : vars)
            if (v.first == name) {
                v.second = value;
                return;
            }
        vars.emplace_back(name, value);
    };
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
            vars.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    set("WINEDEBUG", "-all");
    set("WINEDLLOVERRIDES", "mscoree,mshtml=");
    if (!o.prefix.empty())
        set("WINEPREFIX", o.prefix);
    for (auto& [name, value] : o.env)
        set(name, value);
    std::vector<std::string> out;
    for (auto& [name, value] : vars) {
        bool removed = false;
        for (auto& u : o.unset_env)
            removed = removed || u == name;
        if (!removed)
            out.push_back(name + "=" + value);
    }
    return out;
}

void set_cloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

}  // namespace

Peer::Peer(Peer&& other) noexcept { *this = std::move(other); }

Peer& Peer::operator=(Peer&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        in_ = std::exchange(other.in_, -1);
        out_ = std::exchange(other.out_, -1);
        exit_code_ = std::exchange(other.exit_code_, -1);
        attached_ = std::exchange(other.attached_, false);
    }
    return *this;
}

Peer::~Peer() { release(); }

void Peer::release() {
    if (in_ >= 0)
        close(in_);
    if (out_ >= 0)
        close(out_);
    in_ = out_ = -1;
    if (pid_ > 0)
        kill_now();
}

Peer Peer::spawn(const LaunchOptions& o) {
    // Caught here, where the reason is known; after the fork it would only
    // show as output that ends at once.
    std::vector<std::string> argv_s = o.launcher;
    if (!argv_s.empty()) {
        argv_s[0] = find_program(argv_s[0]);
        if (access(argv_s[0].c_str(), X_OK) != 0)
            throw std::runtime_error("cannot run the launcher " + o.launcher[0] + ": " + strerror(errno));
    } else if (access(o.wine.c_str(), X_OK) != 0)
        throw std::runtime_error("cannot run the Wine loader " + o.wine + ": " + strerror(errno));
    argv_s.insert(argv_s.end(), {o.wine, o.exe});
    argv_s.insert(argv_s.end(), o.args.begin(), o.args.end());
    std::vector<std::string> env_s = build_environment(o);
    std::vector<char*> argv, envp;
    for (auto& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int in_pipe[2], out_pipe[2] = {-1, -1};
    // Every descriptor is made close-on-exec at once: a program another
    // thread starts meanwhile must not inherit our ends and hold the pipes open.
    if (pipe2(in_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    if (o.stdout_path.empty() && pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(in_pipe[0]);
        close(in_pipe[1]);
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    }

    // Open files before forking so that errors reach the caller.
    int out_fd = out_pipe[1];
    if (!o.stdout_path.empty())
        out_fd = open(o.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(o.stderr_path.empty() ? "/dev/null" : o.stderr_path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0 || err_fd < 0) {
        int saved = errno;
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], out_fd, err_fd})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error("cannot open output file: " + std::string(strerror(saved)));
    }

    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_fd, err_fd})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error("fork: " + std::string(strerror(saved)));
    }
    if (pid == 0) {
        // dup2 clears close-on-exec, except where a descriptor already has
        // its place (a caller without a standard input gets its pipe as 0).
        int sources[3] = {in_pipe[0], out_fd, err_fd};
        for (int target = 0; target < 3; target++) {
            if (sources[target] == target)
                fcntl(target, F_SETFD, 0);
            else
                dup2(sources[target], target);
        }
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
        // Ignored signals stay ignored across exec: the server gets the
        // defaults whatever its starter (the agent ignores SIGHUP) set.
        for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM})
            signal(sig, SIG_DFL);
        // Signals the starting thread had blocked would stay blocked in Wine.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_fd);
    close(err_fd);

    Peer child;
    child.pid_ = pid;
    child.in_ = in_pipe[1];
    child.out_ = out_pipe[0];
    return child;
}

namespace {

// A write to a child that has died must fail, not kill the caller with
// SIGPIPE: the signal is held back for this thread while writing, and one it
// raised is taken off again.
class SigpipeHeld {
public:
    SigpipeHeld() {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_only, &old_);
        // Only a caller that blocks SIGPIPE can have one pending; asking
        // otherwise would cost a system call on every request.
        if (sigismember(&old_, SIGPIPE) == 1) {
            sigset_t pending;
            sigpending(&pending);
            was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        }
    }
    ~SigpipeHeld() {
        if (raised_ && !was_pending_) {
            sigset_t pipe_only;
            sigemptyset(&pipe_only);
            sigaddset(&pipe_only, SIGPIPE);
            timespec none{0, 0};
            while (sigtimedwait(&pipe_only, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    void raised() { raised_ = true; }

private:
    sigset_t old_;
    bool was_pending_ = false;
    bool raised_ = false;
};

}  // namespace

bool Peer::write_all(std::string_view bytes) {
    SigpipeHeld held;
    while (!bytes.empty()) {
        if (in_ < 0)
            return false;
        ssize_t n = ::write(in_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE)
                held.raised();
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

ssize_t Peer::read_some(char* buf, size_t size, Clock::time_point deadline) {
    if (out_ < 0)
        return 0;
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left < 0)
            return -1;
        pollfd p{out_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000000)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            continue;  // re-check the deadline
        ssize_t n = ::read(out_, buf, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? 0 : n;
    }
}

void Peer::close_input() {
    if (in_ >= 0) {
        // The output is the same socket: only a shutdown tells the other end.
        if (attached_)
            shutdown(in_, SHUT_WR);
        close(in_);
    }
    in_ = -1;
}

int Peer::wait(Clock::time_point deadline) {
    if (attached_)
        return wait_closed(deadline);
    if (pid_ <= 0)
        return exit_code_;
    // A server asked to quit is gone within a few milliseconds: look often at
    // first, then every 5 ms.
    std::chrono::microseconds pause(100);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return exit_code_;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return exit_code_;
        }
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, Millis(5));
    }
}

void Peer::kill_now() {
    if (attached_) {
        release();
        return;
    }
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

Peer Peer::attach(int socket_fd) {
    Peer c;
    c.attached_ = true;
    c.out_ = socket_fd;
    c.in_ = dup(socket_fd);
    if (c.in_ < 0)
        throw std::runtime_error("dup: " + std::string(strerror(errno)));
    set_cloexec(c.in_);
    set_cloexec(c.out_);
    return c;
}

// An attached conversation has ended when the other end has closed it; bytes
// still unread are left for the reader. The agent ends a conversation with a
// last line and then closes: unread bytes and a hang-up are an end too.
int Peer::wait_closed(Clock::time_point deadline) {
    for (;;) {
        if (out_ < 0)
            return 0;
        char byte;
        ssize_t n = recv(out_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            release();
            return 0;
        }
        if (n > 0) {
            pollfd hup{out_, POLLRDHUP, 0};
            if (poll(&hup, 1, 0) == 1 && (hup.revents & (POLLRDHUP | POLLHUP)))
                return 0;
        }
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0)
            return -1;
        pollfd p{out_, n > 0 ? short(POLLRDHUP) : short(POLLIN | POLLRDHUP), 0};
        poll(&p, 1, static_cast<int>(std::min<long long>(left, n > 0 ? 5 : 1000)));
    }
}

namespace {

// The run's output folder, removed on every path (spawn may throw).
class ScratchDir {
public:
    ScratchDir() {
        char dir_template[] = "/tmp/qvrun.XXXXXX";
        if (!mkdtemp(dir_template))
            throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
        path_ = dir_template;
    }
    ~ScratchDir() {
        unlink((path_ + "/out").c_str());
        unlink((path_ + "/err").c_str());
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

Result<RunResult> run_program(LaunchOptions options, Millis timeout) {
    ScratchDir dir;
    if (options.stdout_path.empty())
        options.stdout_path = dir.path() + "/out";
    if (options.stderr_path.empty())
        options.stderr_path = dir.path() + "/err";

    RunResult result;
    {
        Peer child = Peer::spawn(options);
        child.close_input();
        result.exit_code = child.wait(Clock::now() + timeout);
        if (result.exit_code < 0)
            child.kill_now();
    }
    result.out = read_file(options.stdout_path);
    result.err = read_file(options.stderr_path);
    if (result.exit_code < 0)
        return Result<RunResult>(std::move(result),
                                 incomplete_failure(options.exe + " did not end within " +
                                                    std::to_string(timeout.count()) + " ms and was stopped"));
    return result;
}

}  // namespace qv
