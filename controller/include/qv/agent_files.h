#pragma once
// Where the agent of a prefix lives and who may reach it: its private folder,
// its socket, lock and log, the configuration it runs its server for, and the
// user at the other end of a connection.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

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

// The agent folder, the first usable of: $XDG_RUNTIME_DIR/qvtools where
// XDG_RUNTIME_DIR is a runtime folder fit for us (this user's, mode
// 0700); else qvtools-UID in $TMPDIR or /tmp; else, where another user has
// taken that name, ~/.cache/qvtools/agents. Created 0700 where missing;
// otherwise it must be a directory (not a link) of this user's that no one
// else may enter. Each is opened once, without following links, and checked
// through the open descriptor. Throws AgentUnavailable(folder) saying what
// is wrong.
std::string agent_folder();
void check_private_folder(const std::string& dir);

struct AgentPaths {
    std::string prefix;   // the prefix, absolute and without links
    std::string folder;   // the agent folder, as shown to people
    // The agent's files, each reached through the folder as it was opened
    // and checked ("/proc/self/fd/N/agent-HASH.sock"), whatever becomes of
    // its path meanwhile: valid while this object or a copy lives.
    std::string socket;   // agent-<hash>.sock
    std::string lock;     // held by the running agent for its lifetime
    std::string log;      // the agent's standard error
    std::shared_ptr<const int> folder_fd;
    // One of the paths above as people know it: inside `folder`.
    std::string shown(const std::string& path) const;
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

// The variables of a client's environment that the agent's server is started
// with: those that can change its answers (WINE*, LANG, LANGUAGE, LC_*, TZ)
// and those Wine takes the user from (HOME, USER, LOGNAME). No other
// variable of any client reaches it; its PATH is kAgentServerPath.
bool reaches_agent_server(std::string_view name);
inline constexpr const char* kAgentServerPath = "/usr/local/bin:/usr/bin:/bin";

// What the server would be started with: loader, program, prefix and the
// variables that reach it (above). Two clients share an agent only when
// theirs are equal.
std::string launch_fingerprint(const LaunchOptions& launch);

// The user and process at the other end of a connected Unix socket.
struct PeerCredentials {
    uid_t uid;
    pid_t pid;
};
std::optional<PeerCredentials> peer_credentials(int fd);

}  // namespace qv
