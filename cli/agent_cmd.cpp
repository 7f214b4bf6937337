// agent status|stop: the prefix's agent, seen and stopped.
#include <iostream>
#include <map>
#include <thread>

#include "cli.h"
#include "qv/agent.h"

namespace qvctl {

namespace {

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

// The running agent, or none (printed as such); the environment's failure
// when it cannot be asked.
std::optional<qv::Server> running_agent(Context& ctx) {
    ctx.check_prefix();
    try {
        return qv::connect_running_agent(ctx.launch.prefix, qv::Millis(10000));
    } catch (const qv::AgentUnavailable& e) {
        environment_error(e.what());
    } catch (const qv::ProtocolError& e) {
        environment_error(std::string("the agent did not answer: ") + e.what());
    }
}

std::map<std::string, std::string> ask_status(qv::Server& agent) {
    try {
        return fields(agent.request(std::string(qv::kAgentWord) + " status"));
    } catch (const qv::ProtocolError& e) {
        environment_error(std::string("the agent did not answer: ") + e.what());
    }
}

int status_cmd(Context& ctx, const Command&, const Args&) {
    std::optional<qv::Server> agent = running_agent(ctx);
    if (!agent)
        emit_partial(ctx, json{{"prefix", ctx.launch.prefix}, {"running", false}}, "", kFailed,
                     "no agent runs for " + ctx.launch.prefix, "failed");
    auto f = ask_status(*agent);
    agent->quit();
    json r;
    r["prefix"] = f["prefix"];
    r["running"] = true;
    for (const char* name :
         {"pid", "uptime_seconds", "requests", "other_clients", "server_pid", "server_starts", "persist_seconds"})
        r[name] = number_or_null(f[name]);
    emit(ctx, r,
         "agent of " + f["prefix"] + "\n" +
             "  pid        " + f["pid"] + "\n" +
             "  uptime     " + f["uptime_seconds"] + " s\n" +
             "  requests   " + f["requests"] + " served\n" +
             "  server     " + (f["server_pid"] == "none" ? "not running" : "pid " + f["server_pid"]) + " (" +
             f["server_starts"] + " started)\n" +
             "  clients    " + f["other_clients"] + " besides this one\n" +
             "  idle exit  " + f["persist_seconds"] + " s after its last client leaves\n");
    return kOk;
}

int stop_cmd(Context& ctx, const Command&, const Args&) {
    std::optional<qv::Server> agent = running_agent(ctx);
    if (!agent) {
        emit(ctx, json{{"prefix", ctx.launch.prefix}, {"running", false}},
             "no agent runs for " + ctx.launch.prefix + "\n");
        return kOk;
    }
    auto f = ask_status(*agent);
    std::string answer;
    try {
        answer = agent->request(std::string(qv::kAgentWord) + " stop");
    } catch (const qv::ProtocolError& e) {
        environment_error(std::string("the agent did not answer: ") + e.what());
    }
    if (answer != "stopped")
        failed("the agent did not stop: " + answer);
    // The agent holds its lock until its process has ended, the server's
    // exit included: when the lock is free, the prefix is released.
    qv::AgentPaths paths = qv::agent_paths(ctx.launch.prefix);
    auto deadline = qv::Clock::now() + qv::Millis(10000);
    while (!qv::AgentLock::take(paths.lock)) {
        if (qv::Clock::now() > deadline)
            failed("the agent (pid " + f["pid"] + ") answered but did not end within 10 s");
        std::this_thread::sleep_for(qv::Millis(5));
    }
    emit(ctx, json{{"prefix", f["prefix"]}, {"stopped_pid", number_or_null(f["pid"])}},
         "stopped the agent of " + f["prefix"] + " (pid " + f["pid"] + ")\n");
    return kOk;
}

}  // namespace

std::vector<Command> agent_commands() {
    return {
        {"agent status", "agent status", "the prefix's agent: pid, uptime, requests, idle exit",
         "The prefix's agent: one server kept running for the prefix and shared by\n"
         "every qvctl call (started by the first, gone after --persist seconds\n"
         "without a client). Shows its pid, uptime, requests served, its server and\n"
         "when it exits; exit 1 when none runs. Starts nothing.\n",
         {}, {}, {0, 0}, status_cmd},
        {"agent stop", "agent stop", "end the prefix's agent and its server now",
         "Quits the agent's server and ends the agent, and returns once both have\n"
         "ended, so that the prefix is released at once (`wineserver -w` returns).\n"
         "Exit 0 also when none runs.\n",
         {}, {}, {0, 0}, stop_cmd},
    };
}

}  // namespace qvctl
