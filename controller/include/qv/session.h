#pragma once
// One session: one resident command server in one prefix, started when first
// needed, started again when it (or the prefix's wineserver) has died, and
// asked one request at a time or many in flight.
#include <string>
#include <string_view>
#include <vector>

#include "qv/agent.h"
#include "qv/server.h"

namespace qv {

struct SessionOptions {
    LaunchOptions launch;                // loader, prefix, qvmanip.exe, environment
    Millis start_timeout{60000};         // for the handshake
    Millis answer_timeout{60000};        // for each answer
    // With agent.use, requests go through the prefix's agent (qv/agent.h),
    // started when none runs, so that programs share one server; server()
    // then throws AgentUnavailable when the agent cannot be used. A request
    // whose answer depends on this process (depends_on_caller) goes to a
    // server of the session's own instead, so that every answer is the one
    // this process would get without the agent.
    AgentOptions agent;
};

// Whether the answer depends on what the agent's server does not share with
// the calling process: its working directory (a relative path for
// "unixpath", "findfiles" or "windowspath") or its environment (a name
// "getexpandedstr" or a %NAME% of "expandstr" looks up in the environment
// that this process has and the agent's server has not, or not with the
// same value).
bool depends_on_caller(std::string_view command, std::string_view args);

// The server died or stopped answering. What was in flight may or may not
// have been carried out; the session starts a new server on the next request.
struct ServerGone : ProtocolError {
    using ProtocolError::ProtocolError;
};

class Session {
public:
    explicit Session(SessionOptions options);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    Session(Session&&) = default;
    Session& operator=(Session&&) = default;
    ~Session();

    // The running server, started first when there is none or the last one
    // has exited. Throws ProtocolError (or std::runtime_error when the loader
    // cannot be run) when no handshake arrives.
    Server& server();

    // One request, answered without its end marker. A server found dead
    // before sending is replaced first; one that dies while answering raises
    // ServerGone, and is replaced on the next request (a request is never
    // sent twice).
    std::string ask(std::string_view command, std::string_view args = {});

    // Many requests in flight, answers in order. Requests are written in
    // windows smaller than a pipe so that neither side can block the other.
    std::vector<std::string> ask_all(const std::vector<Request>& requests);

    // Stops the current server (if any) and starts a new one.
    void restart();
    // Sends "quit" and returns the exit code; the next request starts anew.
    // Through the agent it only ends this conversation (0).
    // 0 when no server was running.
    int quit();

    bool running();
    // How many servers this session has started (its own and conversations
    // with the agent).
    int starts() const { return starts_; }
    const SessionOptions& options() const { return options_; }

private:
    void stop();
    [[noreturn]] void gone(const ProtocolError& error, bool own);
    // The server of this process's own, for what depends_on_caller.
    Server& own_server();
    bool to_own(std::string_view command, std::string_view args) const;
    std::string as_named(std::string_view command, std::string answer) const;

    SessionOptions options_;
    Server server_;
    bool started_ = false;
    Server own_;
    bool own_started_ = false;
    std::string real_prefix_;  // what the agent's server knows the prefix as
    int starts_ = 0;
};

// Where a typed call (registry.h, files.h) sends its one request.
//
// Through a Session, a server found dead before sending is replaced first;
// one that dies while answering raises ServerGone: the call may or may not
// have been carried out, it is never sent twice, and the next call starts a
// new server. Through a bare Server, a dead server raises ProtocolError.
class Channel {
public:
    Channel(Session& session) : session_(&session) {}
    Channel(Server& server) : server_(&server) {}
    std::string ask(const Request& r) const;
    // Many requests, answers in order: pipelined through a Session (see
    // Session::ask_all), one after the other through a bare Server.
    std::vector<std::string> ask_all(const std::vector<Request>& requests) const;
    // The prefix the requests go to; empty when only a bare Server is known.
    std::string prefix() const;
    // The loader the session starts its servers with; empty for a bare Server.
    std::string loader() const;
    // The words before the loader (LaunchOptions::launcher).
    std::vector<std::string> launcher() const;

private:
    Session* session_ = nullptr;
    Server* server_ = nullptr;
};

}  // namespace qv
