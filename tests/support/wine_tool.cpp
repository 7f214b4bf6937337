#include "wine_tool.h"

namespace qvtest {

bool ended_at_start(const qv::RunResult& r) { return r.exit_code == 1 && r.out.empty() && r.err.empty(); }

qv::RunResult run_wine_tool(const qv::LaunchOptions& options, qv::Millis timeout) {
    qv::RunResult r = qv::run_program(options, timeout).value;
    return ended_at_start(r) ? qv::run_program(options, timeout).value : r;
}

}  // namespace qvtest
