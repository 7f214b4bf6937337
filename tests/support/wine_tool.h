#pragma once
// Runs of Wine's own tools and of the test programs, as the tests use them.
#include "qv/process.h"

namespace qvtest {

// Wine ends a program at its very start now and then (the address space it
// was given has no room for the shared user data page, "failed to map the
// shared user data: c0000018"): status 1 and, under WINEDEBUG=-all, no
// output at all. And its 32-bit loader now and then fails glibc's check at
// exit, after the program's work ("Inconsistency detected by ld.so:
// dl-fini.c ... Assertion"): status 127. A run that ended either way is run
// once more (the tools the tests run do the same work twice); nothing else is.
bool ended_at_start(const qv::RunResult& r);
bool failed_at_exit(const qv::RunResult& r);
qv::RunResult run_wine_tool(const qv::LaunchOptions& options, qv::Millis timeout);

}  // namespace qvtest
