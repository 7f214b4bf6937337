// Where the agent of a prefix lives and who may reach it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qv/agent_files.h"

extern char** environ;

namespace qv {

void check_private_folder(const std::string& dir) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        throw AgentUnavailable(AgentUnavailable::Why::folder,
                               "agent folder " + dir + ": " + std::strerror(errno));
    auto refuse = [&](const std::string& why) {
        throw AgentUnavailable(AgentUnavailable::Why::folder,
                               "agent folder " + dir + " " + why +
                                   "; it is not used (remove it, or set XDG_RUNTIME_DIR to a private folder)");
    };
    if (!S_ISDIR(st.st_mode))
        refuse(S_ISLNK(st.st_mode) ? "is a symbolic link" : "is not a directory");
    if (st.st_uid != geteuid())
        refuse("belongs to user id " + std::to_string(st.st_uid) + ", not to this user (" +
               std::to_string(geteuid()) + ")");
    if (st.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        refuse(std::string("has mode ") + mode + ": others than its owner may enter it");
    }
}

std::string agent_folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime && runtime[0] == '/'
                          ? std::string(runtime) + "/qvtools"
                          : "/tmp/qvtools-" + std::to_string(geteuid());
    // mkdir never follows a link at the last component, and an existing
    // entry is checked as it is.
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw AgentUnavailable(AgentUnavailable::Why::folder,
                               "cannot create the agent folder " + dir + ": " + std::strerror(errno));
    check_private_folder(dir);
    return dir;
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

bool affects_server(const std::string& name) {
    return name.rfind("WINE", 0) == 0 || name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0 ||
           name == "TZ";
}

}  // namespace

AgentPaths agent_paths(const std::string& prefix) {
    char* real = realpath(prefix.c_str(), nullptr);
    if (!real)
        throw AgentUnavailable(AgentUnavailable::Why::folder, "prefix " + prefix + ": " + std::strerror(errno));
    AgentPaths p;
    p.prefix = real;
    std::free(real);
    std::string base = agent_folder() + "/agent-" + hex64(fnv1a(p.prefix));
    p.socket = base + ".sock";
    p.lock = base + ".lock";
    p.log = base + ".log";
    if (p.socket.size() >= sizeof(sockaddr_storage) - 2 || p.socket.size() >= 108)
        throw AgentUnavailable(AgentUnavailable::Why::folder, "agent socket path too long: " + p.socket);
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
        if (!seen && !unset && affects_server(it->first) && it->first != "WINEPREFIX")
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
