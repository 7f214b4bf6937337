#pragma once
// Shared by the tests that run the programs in the scratch prefix.
#include <string>

#include "qv/process.h"
#include "qv/server.h"

namespace qvtest {

// The prefix of this test run (QV_TEST_PREFIX).
std::string prefix();
// Built Windows programs: the deliverables ("qvmanip.exe") and the
// Windows-side test programs ("qvmanip_units.exe"), 64-bit and 32-bit builds.
std::string program64(const std::string& name);
std::string program32(const std::string& name);
std::string test_program64(const std::string& name);

// Options to run a Windows program (a path from above) in the test prefix.
qv::LaunchOptions options_for(const std::string& exe);
qv::Server start_server();

// Bytes shown with C escapes, for readable failure messages.
std::string shown(const std::string& bytes);

}  // namespace qvtest
