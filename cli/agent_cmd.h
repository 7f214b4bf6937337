#pragma once
// `qvctl agent status|stop`: the prefix's agent, seen and stopped.
#include <string>
#include <vector>

namespace qvctl {

struct AgentCommandResult {
    int code;           // qvctl's exit code
    std::string error;  // printed as "qvctl: ..." when not empty
};

// args: the words after "agent". Prints the result (JSON with json).
AgentCommandResult agent_command(const std::vector<std::string>& args, const std::string& prefix, bool json);

}  // namespace qvctl
