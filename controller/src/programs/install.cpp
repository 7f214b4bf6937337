#include "qv/install.h"

#include <cstdlib>
#include <stdexcept>

#include <sys/stat.h>

#include "qv/host.h"

#ifndef QV_INSTALL_PREFIX
#define QV_INSTALL_PREFIX "/usr/local"
#endif
#ifndef QV_INSTALL_LIBDIR
#define QV_INSTALL_LIBDIR "lib"
#endif
#ifndef QV_INSTALL_DATADIR
#define QV_INSTALL_DATADIR "share"
#endif

namespace qv {

namespace {

// GNUInstallDirs folders are relative to the root unless given absolute.
std::string under(const std::string& root, const std::string& dir) {
    if (!dir.empty() && dir[0] == '/')
        return dir;
    if (!root.empty() && root.back() == '/')
        return root + dir;
    return root + "/" + dir;
}

bool regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> WindowsPrograms::missing(Need need) const {
    std::vector<std::string> out;
    for (const std::string* path : {&qvmanip, &qvaddprinter, &ppd})
        if (!regular_file(*path) && (need == Need::printers || path == &qvmanip))
            out.push_back(*path);
    return out;
}

std::string configured_install_root() { return QV_INSTALL_PREFIX; }

std::string install_root(const std::string& found) {
    return env_or("QVTOOLS_ROOT", found.empty() ? configured_install_root() : found);
}

WindowsPrograms installed_programs(WindowsArch arch, const std::string& root) {
    WindowsPrograms p;
    p.arch = arch;
    bool is64 = arch == WindowsArch::x86_64;
    p.dir = under(root, QV_INSTALL_LIBDIR) + "/qvtools/" + (is64 ? "x86_64" : "i686");
    p.qvmanip = p.dir + "/qvmanip.exe";
    p.qvaddprinter = p.dir + "/qvaddprinter.exe";
    p.ppd = under(root, QV_INSTALL_DATADIR) + "/qvtools/Google_Cloud_Print.ppd";
    p.wine = is64 ? default_wine_loader() : default_wine32_loader();
    return p;
}

std::string default_prefix() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && *prefix)
        return prefix;
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        throw std::runtime_error("no Wine prefix: neither WINEPREFIX nor HOME is set");
    return std::string(home) + "/.wine";
}

LaunchOptions launch_options(const WindowsPrograms& programs, const std::string& exe, const std::string& prefix) {
    LaunchOptions o;
    o.wine = programs.wine;
    o.prefix = prefix;
    o.exe = exe;
    return o;
}

SessionOptions session_options(const WindowsPrograms& programs, const std::string& prefix) {
    SessionOptions s;
    s.launch = launch_options(programs, programs.qvmanip, prefix);
    return s;
}

}  // namespace qv
