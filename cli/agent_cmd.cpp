#include "agent_cmd.h"

#include <iostream>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "help.h"
#include "qv/agent.h"

namespace qvctl {

namespace {

using json = nlohmann::ordered_json;

// "name value" lines of the agent's status answer.
std::map<std::string, std::string> fields(const std::string& answer) {
    std::map<std::string, std::string> out;
    size_t from = 0;
    while (from < answer.size()) {
        size_t lf = answer.find('\n', from);
        std::string line = answer.substr(from, lf == std::string::npos ? std::string::npos : lf - from);
        size_t space = line.find(' ');
        if (space != std::string::npos)
            out[line.substr(0, space)] = line.substr(space + 1);
        if (lf == std::string::npos)
            break;
        from = lf + 1;
    }
    return out;
}

json number_or_null(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
        return nullptr;
    return text.find('.') == std::string::npos ? json(std::stoll(text)) : json(std::stod(text));
}

AgentCommandResult status(qv::Server& agent, bool json_out) {
    auto f = fields(agent.request(std::string(qv::kAgentWord) + " status"));
    if (json_out) {
        json r;
        r["ok"] = true;
        r["prefix"] = f["prefix"];
        for (const char* name : {"pid", "uptime_seconds", "requests", "other_clients", "server_pid", "server_starts",
                                 "persist_seconds"})
            r[name] = number_or_null(f[name]);
        std::cout << r.dump() << "\n";
    } else {
        std::cout << "agent of " << f["prefix"] << "\n"
                  << "  pid        " << f["pid"] << "\n"
                  << "  uptime     " << f["uptime_seconds"] << " s\n"
                  << "  requests   " << f["requests"] << " served\n"
                  << "  server     " << (f["server_pid"] == "none" ? "not running" : "pid " + f["server_pid"])
                  << " (" << f["server_starts"] << " started)\n"
                  << "  clients    " << f["other_clients"] << " besides this one\n"
                  << "  idle exit  " << f["persist_seconds"] << " s after its last client leaves\n";
    }
    return {0, ""};
}

AgentCommandResult stop(qv::Server& agent, const std::string& prefix, bool json_out) {
    auto f = fields(agent.request(std::string(qv::kAgentWord) + " status"));
    std::string answer = agent.request(std::string(qv::kAgentWord) + " stop");
    if (answer != "stopped")
        return {1, "the agent did not stop: " + answer};
    // The agent holds its lock until its process has ended, the server's
    // exit included: when the lock is free, the prefix is released.
    qv::AgentPaths paths = qv::agent_paths(prefix);
    auto deadline = qv::Clock::now() + qv::Millis(10000);
    while (!qv::AgentLock::take(paths.lock)) {
        if (qv::Clock::now() > deadline)
            return {1, "the agent (pid " + f["pid"] + ") answered but did not end within 10 s"};
        std::this_thread::sleep_for(qv::Millis(5));
    }
    if (json_out)
        std::cout << json{{"ok", true}, {"prefix", f["prefix"]}, {"stopped_pid", number_or_null(f["pid"])}}.dump()
                  << "\n";
    else
        std::cout << "stopped the agent of " << f["prefix"] << " (pid " << f["pid"] << ")\n";
    return {0, ""};
}

}  // namespace

AgentCommandResult agent_command(const std::vector<std::string>& args, const std::string& prefix, bool json_out) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << help_text("agent");
        return {0, ""};
    }
    if (args.size() != 1 || (args[0] != "status" && args[0] != "stop"))
        return {2, "agent: say status or stop\nusage: " + usage_line("agent")};
    try {
        std::optional<qv::Server> agent = qv::connect_running_agent(prefix, qv::Millis(10000));
        if (!agent) {
            bool stopping = args[0] == "stop";
            if (json_out)
                std::cout << json{{"ok", stopping}, {"prefix", prefix}, {"running", false}}.dump() << "\n";
            else if (stopping)
                std::cout << "no agent runs for " << prefix << "\n";
            return {stopping ? 0 : 1, stopping ? "" : "no agent runs for " + prefix};
        }
        AgentCommandResult r = args[0] == "status" ? status(*agent, json_out) : stop(*agent, prefix, json_out);
        if (args[0] == "status")
            agent->quit();
        return r;
    } catch (const qv::AgentUnavailable& e) {
        return {3, e.what()};
    } catch (const qv::ProtocolError& e) {
        return {3, std::string("the agent did not answer: ") + e.what()};
    }
}

}  // namespace qvctl
