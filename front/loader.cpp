// Finding the real Wine programs behind the front.
#include "loader.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace front {

namespace {

std::string resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

bool executable_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string dirname_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The first program of that name on PATH that is not the front itself.
std::optional<std::string> on_path(const std::string& name, std::string* tried) {
    const char* path = std::getenv("PATH");
    std::string all = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::string self = own_executable(), self_dir = own_folder();
    size_t start = 0;
    for (;;) {
        size_t colon = all.find(':', start);
        std::string dir = all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (dir.empty())
            dir = ".";  // an empty entry is the working folder, as the shell has it
        std::string candidate = dir + "/" + name;
        if (resolved(dir) != self_dir && executable_file(candidate) && resolved(candidate) != self)
            return candidate;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (tried)
        *tried += (tried->empty() ? "" : "; ") + std::string("no other ") + name + " on PATH (" + all + ")";
    return std::nullopt;
}

}  // namespace

std::optional<Role> role_of(std::string_view argv0) {
    size_t slash = argv0.rfind('/');
    std::string_view name = slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
    if (name == "wine")
        return Role::wine;
    if (name == "wine64")
        return Role::wine64;
    if (name == "wineserver")
        return Role::wineserver;
    return std::nullopt;
}

const char* role_name(Role role) {
    switch (role) {
    case Role::wine: return "wine";
    case Role::wine64: return "wine64";
    case Role::wineserver: return "wineserver";
    }
    return "";
}

const char* role_variable(Role role) {
    switch (role) {
    case Role::wine: return "QV_FRONT_WINE";
    case Role::wine64: return "QV_FRONT_WINE64";
    case Role::wineserver: return "QV_FRONT_WINESERVER";
    }
    return "";
}

std::string own_executable() {
    static const std::string self = resolved("/proc/self/exe");
    return self;
}

std::string own_folder() { return dirname_of(own_executable()); }

std::optional<std::string> real_program(Role role, std::string* tried) {
    const char* named = std::getenv(role_variable(role));
    if (named && *named) {
        if (executable_file(named) && resolved(named) != own_executable())
            return std::string(named);
        if (tried)
            *tried = std::string(role_variable(role)) + "=" + named + " is not an executable program other than the front";
        return std::nullopt;
    }
    std::optional<std::string> found = on_path(role_name(role), tried);
    if (found || role != Role::wine64)
        return found;
    std::optional<std::string> wineboot = on_path("wineboot", nullptr);
    if (wineboot) {
        std::string beside = dirname_of(resolved(*wineboot)) + "/wine64";
        if (executable_file(beside) && resolved(beside) != own_executable())
            return beside;
    }
    if (tried)
        *tried += "; no wine64 beside the wineboot on PATH";
    return std::nullopt;
}

namespace {

// The ELF class of a file: 1 for 32-bit, 2 for 64-bit, 0 for anything else.
int elf_class(const std::string& path, std::string* head) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    char buf[4096];
    size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    if (head)
        head->assign(buf, n);
    if (n < 5 || buf[0] != 0x7f || buf[1] != 'E' || buf[2] != 'L' || buf[3] != 'F')
        return 0;
    return buf[4] == 1 || buf[4] == 2 ? buf[4] : 0;
}

}  // namespace

std::optional<bool> runs_32bit(const std::string& loader) {
    std::string head;
    int cls = elf_class(resolved(loader), &head);
    if (cls)
        return cls == 1;
    // Debian's wrapper runs its 32-bit loader when installed, else its 64-bit one.
    const std::string wine32 = "\nwine32=/usr/lib/wine/wine\n", wine64 = "\nwine64=/usr/lib/wine/wine64\n";
    if (head.rfind("#!", 0) != 0 || head.find(wine32) == std::string::npos || head.find(wine64) == std::string::npos)
        return std::nullopt;
    if (executable_file("/usr/lib/wine/wine"))
        return elf_class("/usr/lib/wine/wine", nullptr) == 1 ? std::optional<bool>(true) : std::nullopt;
    if (!executable_file("/usr/lib/wine/wine64"))
        return std::nullopt;
    // Its 64-bit one it runs after a hint on standard error that wine32 is
    // missing, which WINEDEBUG silences as the wrapper reads it.
    const char* debug = std::getenv("WINEDEBUG");
    std::string x = std::string("x") + (debug ? debug : "");
    bool quiet = x.rfind("x-all", 0) == 0 || x.find(",-all") != std::string::npos ||
                 x.find("err-all") != std::string::npos;
    return quiet ? std::optional<bool>(false) : std::nullopt;
}

bool has_32bit_loader(const std::string& wine64) {
    std::string real = resolved(wine64);
    size_t slash = real.rfind('/');
    return slash != std::string::npos && elf_class(real.substr(0, slash) + "/wine", nullptr) == 1;
}

}  // namespace front
