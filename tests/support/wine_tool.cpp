#include "wine_tool.h"

namespace qvtest {

bool ended_at_start(const qv::RunResult& r) { return r.exit_code == 1 && r.out.empty() && r.err.empty(); }

bool failed_at_exit(const qv::RunResult& r) {
    return r.exit_code == 127 && r.err.find("Inconsistency detected by ld.so: dl-fini.c") != std::string::npos;
}

qv::RunResult run_wine_tool(const qv::LaunchOptions& options, qv::Millis timeout) {
    qv::RunResult r = qv::run_program(options, timeout).value;
    return ended_at_start(r) || failed_at_exit(r) ? qv::run_program(options, timeout).value : r;
}

}  // namespace qvtest
