// qvfront: stands in for Wine's `wine`, `wine64` and `wineserver`. The
// command lines it knows it answers through the prefix's agent, exactly as
// Wine's own programs would; every other one it hands to the real program
// unchanged.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "loader.h"
#include "qv/agent.h"
#include "qv/agent_files.h"
#include "qv/files.h"
#include "qv/winerelease.h"
#include "served.h"

namespace front {
namespace {

constexpr const char* kOffVariable = "QV_FRONT";
// Why the agent could not answer a line it serves, for the log.
std::string g_failure;

void help(std::ostream& out) {
    out << "qvfront: Wine's `wine`, `wine64` and `wineserver`, answered by the prefix's qvtools agent where\n"
           "that gives exactly what Wine's own program gives, and passed to the real Wine everywhere else.\n"
           "\n"
           "Use: put the folder holding the front's `wine`, `wine64` and `wineserver` first on PATH, or\n"
           "name its `wine` in WINE= (winetricks then takes `wine64` and `wineserver` beside it):\n"
           "    PATH=" << own_folder() << ":$PATH winetricks -q csmt=off\n"
           "    WINE=" << own_folder() << "/wine winetricks -q csmt=off\n"
           "\n"
           "The real programs: the one a variable names (QV_FRONT_WINE, QV_FRONT_WINE64,\n"
           "QV_FRONT_WINESERVER); else the next of that name on PATH that is not the front; for wine64\n"
           "not on PATH, the one beside the real `wineboot` (Debian keeps it in /usr/lib/wine).\n"
           "QV_FRONT=off passes every command line through; QV_PERSIST=0 (no agent) does too.\n"
           "QV_FRONT_LOG=FILE appends \"served\" or \"passed\" and the command line to FILE for each call\n"
           "(and why, when the agent failed to answer a line the front serves).\n"
           "\n"
           "Answered, under `wine64` (and under a 32-bit `wine`, in the 32-bit view), for a 64-bit prefix,\n"
           "when standard output and error are not terminals and WINEDEBUG turns no channel on, under\n"
           "the Wine releases each program was measured against, 64-bit and 32-bit calls alike:\n";
    for (const Served& s : served_programs()) {
        out << "    " << s.forms << " (Wine";
        for (int release : s.releases)
            out << " " << release;
        out << ")\n";
    }
    out << "Everything else goes to Wine unchanged, `wineserver` always; before `wineserver -w` (which\n"
           "waits for every process of the prefix) the prefix's agent is asked to end, so the wait is as\n"
           "short as without it.\n"
           "`wine --qvfront-help` or `qvfront --help` prints this; `qvfront which` the real programs.\n";
}

[[noreturn]] void pass_through(Role role, const std::string& real, char** argv) {
    std::vector<char*> args;
    args.push_back(const_cast<char*>(real.c_str()));
    for (char** a = argv + 1; *a; a++)
        args.push_back(*a);
    args.push_back(nullptr);
    execv(real.c_str(), args.data());
    std::cerr << "qvfront: cannot run the real " << role_name(role) << " (" << real << "): " << std::strerror(errno)
              << "\n";
    _exit(126);
}

bool turned_off() {
    const char* v = std::getenv(kOffVariable);
    return v && (std::strcmp(v, "off") == 0 || std::strcmp(v, "0") == 0);
}

// What Wine does with WINEPREFIX: the prefix, or none when the front cannot
// be sure it sees the same one (relative, not a 64-bit prefix of this user).
std::optional<std::string> served_prefix() {
    const char* set = std::getenv("WINEPREFIX");
    std::string path;
    if (set && *set)
        path = set;
    else if (const char* home = std::getenv("HOME"); home && *home)
        path = std::string(home) + "/.wine";
    else
        return std::nullopt;
    if (path[0] != '/')
        return std::nullopt;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
        return std::nullopt;
    if (qv::prefix_arch(path) != "win64")
        return std::nullopt;
    return path;
}

// The loader's release, kept in the agent's folder beside the loader's size
// and time so that a call does not start `wine64 --version` each time (a
// loader replaced by another release changes them), and told to the
// library, whose Windows-version code asks it too.
int release_of(const std::string& loader) {
    struct stat st;
    if (stat(loader.c_str(), &st) != 0)
        return 0;
    std::string stamp = std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " " + loader;
    std::string cache;
    try {
        cache = qv::agent_folder() + "/front-release-" + std::to_string(std::hash<std::string>()(loader));
    } catch (const std::exception&) {
        return qv::wine_release(loader).major;
    }
    if (FILE* f = std::fopen(cache.c_str(), "r")) {
        char line[4096], version[4096];
        bool hit = std::fgets(line, sizeof line, f) && std::string(line) == stamp + "\n" &&
                   std::fgets(version, sizeof version, f);
        std::fclose(f);
        qv::WineRelease release = hit ? qv::parse_wine_release(version) : qv::WineRelease();
        if (release.major > 0) {
            qv::remember_wine_release(loader, release);
            return release.major;
        }
    }
    qv::WineRelease release = qv::wine_release(loader);
    if (release.major == 0)
        return 0;
    std::string tmp = cache + "." + std::to_string(getpid());
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        bool ok = std::fprintf(f, "%s\n%s\n", stamp.c_str(), release.text.c_str()) > 0;
        ok = std::fclose(f) == 0 && ok;
        if (!ok || std::rename(tmp.c_str(), cache.c_str()) != 0)
            std::remove(tmp.c_str());
    }
    return release.major;
}

// Wine's debug channels write to standard error; one turned on would be missing.
bool debug_channels_on() {
    const char* d = std::getenv("WINEDEBUG");
    return d && std::strchr(d, '+');
}

std::optional<Answer> try_serve(Role role, const std::string& real, int argc, char** argv) {
    if (argc < 2 || turned_off() || debug_channels_on())
        return std::nullopt;
    // On a terminal, Wine's console writes what a pipe or file never gets.
    if (isatty(1) || isatty(2))
        return std::nullopt;
    bool loader32 = false;
    if (role == Role::wine) {
        std::optional<bool> bits = runs_32bit(real);
        if (!bits)
            return std::nullopt;
        loader32 = *bits;
    }
    std::optional<Invocation> call = invocation(argv[1], loader32);
    if (!call)
        return std::nullopt;
    for (int i = 2; i < argc; i++)
        call->args.push_back(argv[i]);
    std::optional<std::string> prefix = served_prefix();
    std::optional<std::string> wine64 = role == Role::wine64 ? std::optional<std::string>(real) : real_program(Role::wine64);
    if (!prefix || !wine64)
        return std::nullopt;
    // A 32-bit program runs only with Wine's 32-bit loader beside its 64-bit
    // one, in a prefix that holds the 32-bit system; elsewhere Wine's own
    // failure is the answer.
    if (call->wow32 && (!has_32bit_loader(*wine64) ||
                        access((*prefix + "/drive_c/windows/syswow64/kernel32.dll").c_str(), F_OK) != 0))
        return std::nullopt;
    // What each program writes was measured against given Wine releases.
    int release = release_of(*wine64);
    Prefix where(*prefix, *wine64);
    for (const Served& s : served_programs())
        if (call->program == s.program) {
            if (!s.answers(release))
                return std::nullopt;
            call->release = release;
            try {
                return s.handler(*call, where);
            } catch (const std::exception& e) {
                // The agent or its server failed: Wine's program answers instead.
                g_failure = e.what();
                return std::nullopt;
            }
        }
    return std::nullopt;
}

// `wineserver -w` waits until no process of the prefix is left, the agent's
// server among them, which would hold it for the agent's idle time. The
// agent is asked to end first (what its server wrote is then in the
// registry's files once Wine's wait returns, and the next served call starts
// it again), so the wait is what it is without the agent.
void end_agent_before_wait(int argc, char** argv) {
    bool wait = false;
    for (int i = 1; i < argc; i++)
        wait = wait || std::strcmp(argv[i], "-w") == 0 || std::strcmp(argv[i], "--wait") == 0;
    const char* set = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    std::string prefix = set && *set ? set : home && *home ? std::string(home) + "/.wine" : "";
    if (!wait || turned_off() || prefix.empty() || prefix[0] != '/')
        return;
    try {
        std::optional<qv::Server> agent = qv::connect_running_agent(prefix, qv::Millis(5000));
        if (!agent || agent->request(std::string(qv::kAgentWord) + " stop") != "stopped")
            return;
        // The agent holds its lock until it and its server have ended.
        qv::AgentPaths paths = qv::agent_paths(prefix);
        auto deadline = qv::Clock::now() + qv::Millis(10000);
        while (!qv::AgentLock::take(paths.lock) && qv::Clock::now() < deadline)
            usleep(5000);
    } catch (const std::exception&) {
        // No agent to end, or one that does not answer: Wine's wait decides.
    }
}

// QV_FRONT_LOG names a file that gets one line per call: "served" or
// "passed", and the command line; so that tests and people can tell which.
void log_call(const char* how, int argc, char** argv) {
    const char* path = std::getenv("QV_FRONT_LOG");
    if (!path || !*path)
        return;
    std::string line = how;
    for (int i = 0; i < argc; i++)
        line += std::string(" ") + (i == 0 ? role_of(argv[0]) ? role_name(*role_of(argv[0])) : argv[0] : argv[i]);
    if (!g_failure.empty())
        line += "  (the agent failed: " + g_failure + ")";
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    line += "\n";
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
    }
}

bool write_out(FILE* to, const std::string& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), to) == bytes.size() && std::fflush(to) == 0;
}

int own_name(int argc, char** argv) {
    std::string word = argc > 1 ? argv[1] : "";
    if (word == "--help" || word == "-h") {
        help(std::cout);
        return 0;
    }
    if (word == "which") {
        int status = 0;
        for (Role r : {Role::wine, Role::wine64, Role::wineserver}) {
            std::string tried;
            std::optional<std::string> real = real_program(r, &tried);
            std::cout << role_name(r) << " " << (real ? *real : "(none: " + tried + ")") << "\n";
            status |= real ? 0 : 1;
        }
        return status;
    }
    std::cerr << "usage: qvfront --help | which (run it as wine, wine64 or wineserver)\n";
    return 2;
}

}  // namespace
}  // namespace front

int main(int argc, char** argv) {
    using namespace front;
    std::optional<Role> role = argc > 0 ? role_of(argv[0]) : std::nullopt;
    if (!role)
        return own_name(argc, argv);
    std::string tried;
    std::optional<std::string> real = real_program(*role, &tried);
    if (argc == 2 && std::strcmp(argv[1], "--qvfront-help") == 0) {
        help(std::cout);
        return 0;
    }
    if (!real) {
        std::cerr << "qvfront: cannot find the real " << role_name(*role) << ": " << tried << ".\n"
                  << "Put Wine's folder on PATH after the front's (" << own_folder() << "), or name the program in "
                  << role_variable(*role) << "; `" << role_name(*role) << " --qvfront-help` says more.\n";
        return 127;
    }
    if (*role == Role::wineserver)
        end_agent_before_wait(argc, argv);
    else {
        std::optional<Answer> answer = try_serve(*role, *real, argc, argv);
        if (answer) {
            log_call("served", argc, argv);
            bool ok = write_out(stdout, answer->out);
            write_out(stderr, answer->err);
            return ok ? answer->code : 1;
        }
    }
    log_call("passed", argc, argv);
    pass_through(*role, *real, argv);
}
