#pragma once
// Where an installation keeps the Windows programs, and the options that run
// them, so that callers need not know the layout.
//
// `cmake --install` puts them under the install prefix ("root"):
//   <root>/<libdir>/qvtools/x86_64/{qvmanip,qvaddprinter}.exe   (run by wine64)
//   <root>/<libdir>/qvtools/i686/{qvmanip,qvaddprinter}.exe     (run by wine)
//   <root>/<datadir>/qvtools/Google_Cloud_Print.ppd
// The root is the prefix the library was configured for, or QVTOOLS_ROOT
// when an installation was moved or installed elsewhere (--prefix).
#include <string>
#include <vector>

#include "qv/process.h"
#include "qv/session.h"

namespace qv {

enum class WindowsArch {
    x86_64,  // the 64-bit build, for 64-bit prefixes
    i686,    // the 32-bit deliverables
};

struct WindowsPrograms {
    WindowsArch arch = WindowsArch::x86_64;
    std::string dir;           // the folder of the two programs
    std::string qvmanip;       // the command server
    std::string qvaddprinter;  // the printer installer
    std::string ppd;           // the printer description place_ppd copies into a prefix
    // The loader for this build: for x86_64 default_wine_loader(); for i686
    // QV_WINE32 if set, else Debian's 32-bit loader.
    std::string wine;

    // Those of qvmanip, qvaddprinter and ppd that are not regular files;
    // empty for a complete installation.
    std::vector<std::string> missing() const;
};

// QVTOOLS_ROOT when set and not empty, else the configured install prefix.
std::string install_root();
// The configured install prefix itself (CMAKE_INSTALL_PREFIX of the build).
std::string configured_install_root();

// The programs of an installation rooted at root. Nothing is checked here;
// see WindowsPrograms::missing.
WindowsPrograms installed_programs(WindowsArch arch = WindowsArch::x86_64, const std::string& root = install_root());

// The prefix a user means when none is named: WINEPREFIX when set and not
// empty, else $HOME/.wine. Throws std::runtime_error when neither is known.
std::string default_prefix();

// Launch options that run one of the programs (programs.qvmanip,
// programs.qvaddprinter) in prefix with the programs' loader.
LaunchOptions launch_options(const WindowsPrograms& programs, const std::string& exe, const std::string& prefix);
// A session with the installation's server in prefix.
SessionOptions session_options(const WindowsPrograms& programs, const std::string& prefix);

}  // namespace qv
