#pragma once
// Shared by the tests that run the programs in the scratch prefix.
#include <string>

#include "qv/process.h"
#include "qv/server.h"
#include "wine_tool.h"

namespace qvtest {

// The prefix of this test run (QV_TEST_PREFIX).
std::string prefix();
// Built Windows programs: the deliverables ("qvmanip.exe") and the
// Windows-side test programs ("qvmanip_units.exe"), 64-bit and 32-bit builds.
std::string program64(const std::string& name);
std::string program32(const std::string& name);
std::string test_program64(const std::string& name);

// The deliverable under test: the 64-bit build, or the build that
// QV_TEST_PROGRAM_DIR names (the 32-bit conformance run). Test programs stay
// 64-bit either way; they check the prefix, not the build.
std::string program(const std::string& name);
bool testing_32bit_build();
// The prefix's architecture as wineboot recorded it in system.reg ("win64",
// "win32").
std::string prefix_arch();
// The folder of drive_c/windows that C:\windows\system32 names for the server
// under test: a 32-bit program in a 64-bit prefix is redirected to syswow64,
// one in a 32-bit prefix is not.
std::string server_system_folder();
// A deadline stretched by QV_TEST_TIME_SCALE, for runs where a program start
// is slow (user-mode emulation).
qv::Millis patience(qv::Millis base);

// Options to run a Windows program (a path from above) in the test prefix.
qv::LaunchOptions options_for(const std::string& exe);
qv::Server start_server();
// The server started with these options (from options_for), with a handshake
// deadline that allows for slow starts.
qv::Server start_server(const qv::LaunchOptions& options);

// The server started without the library, for tests of its raw command
// loop, returned once it has written something or ended. One that Wine
// ended at its start (status 1, not a byte; see wine_tool.h) is started once
// more. Output to a file is not watched.
qv::Peer spawn_server_raw(const qv::LaunchOptions& options);

// Bytes shown with C escapes, for readable failure messages.
std::string shown(const std::string& bytes);
// Lower-case hex of bytes, and back.
std::string hex(const std::string& bytes);
std::string from_hex(const std::string& hex);

// A long-lived Windows test program answering one line per request line.
class LineProgram {
public:
    explicit LineProgram(const qv::LaunchOptions& options);
    // A 64-bit test program of the build, by file name.
    explicit LineProgram(const std::string& test_program);
    ~LineProgram();
    std::string ask(const std::string& line) { return ask_through(line, ""); }
    // The output up to the end of the first line that begins with marker
    // (the first line at all when marker is empty), without that LF.
    std::string ask_through(const std::string& line, const std::string& marker);

private:
    // After the program ended: true when it was started once more because it
    // ended at its start; ended_ then or otherwise says how it ended.
    bool started_again();

    qv::LaunchOptions options_;
    qv::Peer child_;
    std::string pending_;
    std::string ended_;
    bool answered_ = false;
};

}  // namespace qvtest
