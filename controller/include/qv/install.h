#pragma once
// Where an installation keeps the Windows programs, and the options that run
// them, so that callers need not know the layout.
//
// `cmake --install` puts them under the install prefix ("root"):
//   <root>/<libdir>/qvtools/x86_64/{qvmanip,qvaddprinter}.exe   (run by wine64)
//   <root>/<libdir>/qvtools/i686/{qvmanip,qvaddprinter}.exe     (run by wine)
//   <root>/<datadir>/qvtools/Google_Cloud_Print.ppd
// The root is QVTOOLS_ROOT when set at run time; else where the CMake
// package or pkg-config found the installation when the caller was built
// (the CMake package defines QVTOOLS_INSTALL_ROOT for its users), so
// `cmake --install --prefix X` works; else the prefix the library was
// configured for. pkg-config users set QVTOOLS_ROOT (`pkg-config
// --variable=prefix qvtools`) when the installation is not where it was
// configured to go.
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

    enum class Need {
        server,    // qvmanip alone
        printers,  // qvmanip, qvaddprinter and the ppd
    };
    // Those of the files the need asks for that are not regular files; empty
    // when the installation has them.
    std::vector<std::string> missing(Need need = Need::printers) const;
};

#ifndef QVTOOLS_INSTALL_ROOT
#define QVTOOLS_INSTALL_ROOT ""
#endif

// QVTOOLS_ROOT when set and not empty, else `found` when not empty, else the
// configured install prefix. The default argument is expanded where this
// header is included, so it is the caller's build that says where it found
// the package.
std::string install_root(const std::string& found = QVTOOLS_INSTALL_ROOT);
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
