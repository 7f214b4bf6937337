// Where the agent of a prefix lives and who may reach it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qv/agent_files.h"

extern char** environ;

namespace qv {

namespace {

[[noreturn]] void refuse_folder(const std::string& dir, const std::string& why) {
    throw AgentUnavailable(AgentUnavailable::Why::folder,
                           "agent folder " + dir + " " + why +
                               "; it is not used (remove it, or set XDG_RUNTIME_DIR to a private folder)");
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// NAME under the open folder PARENT (or a path, with AT_FDCWD), opened
// without following a link and created 0700 where asked and missing; then
// checked through the descriptor, which is what is used from then on: a
// directory of this user's, and with `private_only` one no one else may
// enter. Throws AgentUnavailable(folder) saying what is wrong.
int open_folder(int parent, const std::string& name, const std::string& shown, bool create, bool private_only) {
    if (create && mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST)
        throw AgentUnavailable(AgentUnavailable::Why::folder,
                               "cannot create the agent folder " + shown + ": " + std::strerror(errno));
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        struct stat st;
        if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            refuse_folder(shown, S_ISLNK(st.st_mode) ? "is a symbolic link" : "is not a directory");
        throw AgentUnavailable(AgentUnavailable::Why::folder, "agent folder " + shown + ": " + std::strerror(saved));
    }
    struct stat st;
    std::string why;
    if (fstat(fd, &st) != 0)
        why = std::string("cannot be examined: ") + std::strerror(errno);
    else if (st.st_uid != geteuid())
        why = "belongs to user id " + std::to_string(st.st_uid) + ", not to this user (" + std::to_string(geteuid()) +
              ")";
    else if (private_only && (st.st_mode & 077))
        why = "has mode " + mode_text(st.st_mode) + ": others than its owner may enter it";
    if (!why.empty()) {
        close(fd);
        refuse_folder(shown, why);
    }
    return fd;
}

struct OpenFolder {
    std::string path;
    int fd;
};

// $XDG_RUNTIME_DIR when it is a runtime folder fit for us: this user's
// alone (mode 0700). None when it is not set or not so.
std::optional<int> runtime_folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/')
        return std::nullopt;
    int fd = open(runtime, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700)
        return fd;
    if (fd >= 0)
        close(fd);
    return std::nullopt;
}

// The first usable of: $XDG_RUNTIME_DIR/qvtools (where that folder is
// valid), $TMPDIR or /tmp then qvtools-UID, and ~/.cache/qvtools/agents for
// when another user took that name first (in a sticky /tmp it cannot be
// removed by this user). A qvtools folder in a valid runtime folder is this
// user's own doing: when unsafe, it is refused rather than passed over.
OpenFolder open_agent_folder() {
    if (std::optional<int> runtime = runtime_folder()) {
        std::string path = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/qvtools";
        try {
            int fd = open_folder(*runtime, "qvtools", path, true, true);
            close(*runtime);
            return {path, fd};
        } catch (...) {
            close(*runtime);
            throw;
        }
    }
    const char* tmpdir = std::getenv("TMPDIR");
    std::string tmp = tmpdir && tmpdir[0] == '/' ? tmpdir : "/tmp";
    std::string name = "qvtools-" + std::to_string(geteuid());
    try {
        return {tmp + "/" + name, open_folder(AT_FDCWD, tmp + "/" + name, tmp + "/" + name, true, true)};
    } catch (const AgentUnavailable& taken) {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/')
            throw;
        // Each step below the home folder is this user's, so no one else
        // can put a link in the way.
        std::string path = home;
        int fd = open_folder(AT_FDCWD, path, path, false, false);
        for (const char* step : {".cache", "qvtools", "agents"}) {
            path += std::string("/") + step;
            int next;
            try {
                next = open_folder(fd, step, path, true, std::string(step) == "agents");
            } catch (...) {
                close(fd);
                throw;
            }
            close(fd);
            fd = next;
        }
        return {path, fd};
    }
}

}  // namespace

void check_private_folder(const std::string& dir) { close(open_folder(AT_FDCWD, dir, dir, false, true)); }

std::string agent_folder() {
    OpenFolder folder = open_agent_folder();
    close(folder.fd);
    return folder.path;
}

std::string AgentPaths::shown(const std::string& path) const {
    std::string through = "/proc/self/fd/" + std::to_string(folder_fd ? *folder_fd : -1) + "/";
    return path.compare(0, through.size(), through) == 0 ? folder + "/" + path.substr(through.size()) : path;
}

namespace {

uint64_t fnv1a(std::string_view bytes) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string hex64(uint64_t v) {
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(v));
    return out;
}

}  // namespace

bool reaches_agent_server(std::string_view name) {
    return name.rfind("WINE", 0) == 0 || name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0 ||
           name == "TZ" || name == "HOME" || name == "USER" || name == "LOGNAME";
}

AgentPaths agent_paths(const std::string& prefix) {
    char* real = realpath(prefix.c_str(), nullptr);
    if (!real)
        throw AgentUnavailable(AgentUnavailable::Why::folder, "prefix " + prefix + ": " + std::strerror(errno));
    AgentPaths p;
    p.prefix = real;
    std::free(real);
    OpenFolder folder = open_agent_folder();
    p.folder = folder.path;
    p.folder_fd = std::shared_ptr<const int>(new int(folder.fd), [](const int* fd) {
        close(*fd);
        delete fd;
    });
    // Through the folder as it was opened and checked, whatever becomes of
    // its path later.
    std::string base = "/proc/self/fd/" + std::to_string(folder.fd) + "/agent-" + hex64(fnv1a(p.prefix));
    p.socket = base + ".sock";
    p.lock = base + ".lock";
    p.log = base + ".log";
    return p;
}

std::optional<AgentLock> AgentLock::take(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot open the agent lock " + path + ": " + std::strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return std::nullopt;
    }
    return AgentLock(fd);
}

AgentLock::~AgentLock() {
    if (fd_ >= 0)
        close(fd_);
}

std::string launch_fingerprint(const LaunchOptions& launch) {
    std::vector<std::pair<std::string, std::string>> vars;
    for (char** e = environ; *e; e++) {
        std::string entry = *e;
        size_t eq = entry.find('=');
        // The loader's debug channels and overrides are set for the server
        // whatever the caller has (process.cpp), unless launch.env says.
        std::string name = entry.substr(0, eq);
        if (eq != std::string::npos && name != "WINEDEBUG" && name != "WINEDLLOVERRIDES")
            vars.emplace_back(name, entry.substr(eq + 1));
    }
    for (const auto& set : launch.env)
        vars.push_back(set);  // later entries win below
    std::vector<std::pair<std::string, std::string>> kept;
    for (auto it = vars.rbegin(); it != vars.rend(); ++it) {
        bool seen = std::any_of(kept.begin(), kept.end(), [&](auto& k) { return k.first == it->first; });
        bool unset = std::find(launch.unset_env.begin(), launch.unset_env.end(), it->first) != launch.unset_env.end();
        if (!seen && !unset && reaches_agent_server(it->first) && it->first != "WINEPREFIX")
            kept.push_back(*it);
    }
    std::sort(kept.begin(), kept.end());
    std::string all = launch.wine + '\0' + launch.exe + '\0' + launch.prefix + '\0';
    for (const std::string& word : launch.launcher)
        all += "launcher " + word + '\0';
    for (auto& [name, value] : kept)
        all += name + '=' + value + '\0';
    return hex64(fnv1a(all));
}

std::optional<PeerCredentials> peer_credentials(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred)
        return std::nullopt;
    return PeerCredentials{cred.uid, cred.pid};
}

}  // namespace qv
