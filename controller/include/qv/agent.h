#pragma once
// The per-prefix agent: one resident server per prefix, shared by every
// client that asks, so that a short-lived program (qvctl in a shell loop)
// answers at the speed of a resident server.
//
// The agent (the program qvagent) listens on a Unix socket in a folder that
// only this user can enter: $XDG_RUNTIME_DIR/qvtools, else /tmp/qvtools-UID.
// On that socket it speaks the server's own line protocol: the handshake on
// connecting, then one request line in, one framed answer out. A line
// "quit" ends that client's conversation, not the server. Lines starting
// with ".agent" are the agent's own:
//   .agent hello FINGERPRINT PERSIST TIMEOUT_MS
//                                      "ok", or "error ..." when the agent runs
//                                      its server for another configuration;
//                                      the agent stays PERSIST seconds after
//                                      this client leaves (the longest any
//                                      leaving client asked for counts), and
//                                      gives its requests TIMEOUT_MS each
//   .agent status                      "name value" lines (see AgentStatus)
//   .agent stop                        quits the server, answers "stopped",
//                                      and the agent exits
// When the server dies under a request, or does not answer it within its
// client's timeout (the agent then ends it, as a client's own server would
// be ended), the agent writes one line of text without an end marker and
// closes that client: the client sees the conversation end inside an answer,
// with the reason in words, and the next request starts a new server.
// Every complete line a client sends is carried out, also when it closes
// its end without reading the answers (as the server itself does); a last
// line without its LF never is. A line longer than kMaxRequestBytes closes
// the connection.
//
// The server runs in / with only the variables that every client of the
// agent shares (reaches_agent_server); a request whose answer depends on
// the caller's working directory or environment goes to a server of the
// caller's own (qv/session.h).
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "qv/agent_files.h"
#include "qv/process.h"
#include "qv/server.h"

namespace qv {

inline constexpr int kDefaultPersistSeconds = 5;
// The most agents one call starts; more calls wait for one to serve.
inline constexpr int kAgentStartsPerCall = 3;
// The agent ends a server that does not answer within the client's answer
// timeout (sent in its hello) and tells it so; the client waits this much
// longer, so that those words reach it before its own timeout.
inline constexpr Millis kAgentAnswerGrace{5000};
inline constexpr std::string_view kAgentWord = ".agent";

struct AgentOptions {
    bool use = false;
    // Seconds the agent stays after its last client; 0 means no agent.
    int persist_seconds = kDefaultPersistSeconds;
    // The qvagent program; empty: default_agent_program().
    std::string program;
    // For connecting, including the start of a new agent.
    Millis connect_timeout{60000};
};

// QV_PERSIST when set, else kDefaultPersistSeconds. Throws
// std::invalid_argument naming the variable when it is not a count of seconds.
int persist_from_environment();
// A count of seconds (0 to 1 week) from text; none when it is not one.
std::optional<int> parse_persist(std::string_view text);

// QV_AGENT when set, else qvagent beside the running program.
std::string default_agent_program();

// A conversation with the prefix's agent, started first when none runs
// (detached, in a session of its own). The server returned answers like one
// started by Server::start; its "quit" ends this conversation only.
// Throws AgentUnavailable when the agent cannot be used.
Server connect_agent(const LaunchOptions& launch, const AgentOptions& agent, Millis answer_timeout);

// A conversation with the agent already running for a prefix, or none;
// starts nothing.
std::optional<Server> connect_running_agent(const std::string& prefix, Millis timeout);

}  // namespace qv
