#pragma once
// Book-keeping of a long fuzz run (QV_FUZZ_SOAK=1): instead of ending at the
// first fault, the run counts it, notes what the processes were doing and
// goes on with a new server.
#include <cstdint>
#include <string>

#include "qv/process.h"

namespace robust {

// How one request and its probe ended.
enum class Outcome { answered, crash, hang, framing_break };

// From the reason RawConversation::next gave for not returning an answer.
Outcome classify_failure(const std::string& why);

// The line in which Wine reported a fault of the process ("wine: Unhandled
// page fault ..."), from its output kept in log_path; empty when none. Wine
// then starts its debugger, which holds the faulted process alive and silent:
// a crash that looks like a hang.
std::string wine_fault(const std::string& log_path);

struct SoakTally {
    uint64_t requests = 0;
    uint64_t crashes = 0;
    uint64_t hangs = 0;
    uint64_t framing_breaks = 0;
    uint64_t unexpected = 0;

    void count(Outcome o);
    // One line, the same words every time, for scripts/soak.sh to find.
    std::string line(uint64_t seed, double seconds) const;
};

// "state S rss 14 MiB wchan pipe_read" of a running process, or "gone".
std::string process_state(int pid);
// Resident memory of a process in KiB (0 self), -1 when it is gone.
long rss_kib(int pid);
inline long own_rss_mib() { return rss_kib(0) / 1024; }

}  // namespace robust
