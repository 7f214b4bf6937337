#pragma once
// Where the agent of a prefix lives and who may reach it: its private folder,
// its socket, lock and log, the configuration it runs its server for, and the
// user at the other end of a connection.
#include <optional>
#include <stdexcept>
#include <string>

#include <sys/types.h>

#include "qv/process.h"

namespace qv {

// The agent cannot be used: its folder is unsafe, it runs for another
// configuration, or it did not start. A caller may run a server of its own.
struct AgentUnavailable : std::runtime_error {
    enum class Why { folder, mismatch, start };
    AgentUnavailable(Why why, const std::string& what) : std::runtime_error(what), why(why) {}
    Why why;
};

// The agent folder: created 0700 when missing; else it must be a directory
// (not a link) owned by this user with no access for group or others.
// Throws AgentUnavailable(folder) saying what is wrong.
std::string agent_folder();
void check_private_folder(const std::string& dir);

struct AgentPaths {
    std::string prefix;   // the prefix, absolute and without links
    std::string socket;   // <folder>/agent-<hash>.sock
    std::string lock;     // held by the running agent for its lifetime
    std::string log;      // the agent's standard error
};
// The files of the agent for a prefix (which must exist).
AgentPaths agent_paths(const std::string& prefix);

// An exclusive lock on a file, held until destroyed (or the process ends,
// however it ends). take() waits for nothing: none when another holds it.
class AgentLock {
public:
    static std::optional<AgentLock> take(const std::string& path);
    AgentLock(AgentLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    AgentLock& operator=(AgentLock&&) = delete;
    ~AgentLock();

private:
    explicit AgentLock(int fd) : fd_(fd) {}
    int fd_;
};

// What the server would be started with: loader, program, prefix and the
// environment that can change its answers (WINE*, LANG, LANGUAGE, LC_*, TZ).
// Two clients share an agent only when theirs are equal.
std::string launch_fingerprint(const LaunchOptions& launch);

// The user and process at the other end of a connected Unix socket.
struct PeerCredentials {
    uid_t uid;
    pid_t pid;
};
std::optional<PeerCredentials> peer_credentials(int fd);

}  // namespace qv
