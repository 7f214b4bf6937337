#pragma once
// Runs of Wine's own tools and of the test programs, as the tests use them.
#include "qv/process.h"

namespace qvtest {

// Wine ends a program at its very start now and then (the address space it
// was given has no room for the shared user data page, "failed to map the
// shared user data: c0000018"): status 1 and, under WINEDEBUG=-all, no
// output at all. A run that ended so is run once more; nothing else is.
bool ended_at_start(const qv::RunResult& r);
qv::RunResult run_wine_tool(const qv::LaunchOptions& options, qv::Millis timeout);

}  // namespace qvtest
