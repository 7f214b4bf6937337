#pragma once
// Starting a Windows program under Wine in a given prefix, with pipes, and
// the other end of a conversation: such a program or a connected socket.
#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "qv/failure.h"

namespace qv {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Where Wine is: QV_WINE if set, else Debian's 64-bit loader; QV_WINE32 if
// set, else Debian's 32-bit loader; QV_WINESERVER if set, else Debian's
// wineserver.
std::string default_wine_loader();
// NAME found on PATH as execvp would find it (a name with '/' as it is).
std::string find_program(const std::string& name);
std::string default_wine32_loader();
std::string default_wineserver();

struct LaunchOptions {
    std::string wine = default_wine_loader();
    // Words run before the loader, which runs it for us: a container's or
    // runtime's launch client ("flatpak-spawn --host"). The first is looked
    // up on PATH; the loader is then the launcher's to find.
    std::vector<std::string> launcher;
    std::string prefix;                 // WINEPREFIX
    std::string exe;                    // Unix path of the .exe
    std::vector<std::string> args;      // after the program name
    // The child inherits this process's environment with WINEDEBUG=-all,
    // then these are set, then unset_env removed.
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> unset_env;
    std::string stdout_path;            // empty: a pipe to the controller
    std::string stderr_path;            // empty: /dev/null
};

// The other end of a conversation: a program of ours started with pipes
// (spawn), or a connected socket (attach). Either way: write requests, read
// answers, close the input, wait for the end.
class Peer {
public:
    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    Peer(Peer&& other) noexcept;
    Peer& operator=(Peer&& other) noexcept;
    ~Peer();

    // Throws std::runtime_error when the process cannot be started.
    static Peer spawn(const LaunchOptions& options);
    // A conversation over a connected socket (to the agent, qv/agent.h)
    // instead of a process of ours: closing the input shuts the socket down
    // for writing, wait() waits for the other end to close, kill_now()
    // closes it. Takes the descriptor.
    static Peer attach(int socket_fd);

    // Writes everything; false when the child's input is gone.
    bool write_all(std::string_view bytes);
    // Reads what is available, waiting until the deadline. Returns the byte
    // count, 0 at end of output, -1 on timeout.
    ssize_t read_some(char* buf, size_t size, Clock::time_point deadline);
    void close_input();
    // The exit code, or -1 when the child did not end before the deadline
    // (it is then still running). A death by signal gives 128 + signal.
    int wait(Clock::time_point deadline);
    void kill_now();
    bool running() const { return pid_ > 0 || (attached_ && out_ >= 0); }
    pid_t pid() const { return pid_; }
    bool attached() const { return attached_; }
    // For poll(); -1 when the output is a file or closed.
    int output_fd() const { return out_; }

private:
    void release();
    int wait_closed(Clock::time_point deadline);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int exit_code_ = -1;
    bool attached_ = false;
};

struct RunResult {
    int exit_code = -1;  // 128 + N for a death by signal N; -1 when killed after the timeout
    std::string out;
    std::string err;
};

// Runs a program to its end with its output in files (Wine's system processes
// may inherit descriptors, so pipes would not see EOF). A program still
// running at the timeout is killed: a Failure of kind incomplete, with what
// it wrote. Its exit code is for the caller to judge. Throws
// std::runtime_error when the program cannot be started at all.
Result<RunResult> run_program(LaunchOptions options, Millis timeout);

}  // namespace qv
