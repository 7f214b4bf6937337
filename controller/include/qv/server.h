#pragma once
// A running command server: start it in a prefix, ask, read framed answers.
#include <stdexcept>
#include <string>
#include <string_view>

#include "qv/failure.h"
#include "qv/framing.h"
#include "qv/process.h"

namespace qv {

struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Requests in flight stay below a pipe's capacity, so the write to the
// server never waits for a server that is itself waiting for its answers to
// be read (a longer request goes alone).
inline constexpr size_t kPipeWindowBytes = 32 * 1024;

// One request: the command word and its (already escaped) arguments.
struct Request {
    std::string command;
    std::string args;
};

// The longest request line anyone sends: far more than any request needs
// (a registry value of several MiB, escaped), far less than the server's own
// limit of 2 GiB, which only runs it out of memory. The agent closes a
// client's connection on a longer line.
inline constexpr size_t kMaxRequestBytes = size_t(16) << 20;

// Asks the server to be a Wine system process: one that does not keep the
// prefix's Wine session (and its wineserver) alive, and that ends between
// two requests with kServerEndedByWine once that session ends. Then what it
// has not answered it has not carried out. "success", or "errno N" where
// Wine offers no such thing.
inline constexpr std::string_view kSystemProcessRequest = "systemprocess";
inline constexpr int kServerEndedByWine = 4;

// "command args\n" ("command\n" when args is empty). A raw LF cannot travel
// inside a request, and the server would end the line at a raw NUL (acting
// on what comes before it), so either in command or args is refused
// (qv::Refused), as is a line longer than kMaxRequestBytes.
std::string request_line(std::string_view command, std::string_view args);
inline std::string request_line(const Request& r) { return request_line(r.command, r.args); }

class Server {
public:
    // Starts the server and waits for its handshake. Throws ProtocolError
    // when it does not arrive in time or is not the handshake, with the
    // server's exit status and error output when it ended. A server that
    // ended at once without a word is started once more.
    static Server start(const LaunchOptions& options, Millis timeout = Millis(60000));
    // A server reached through a connected socket (the agent, qv/agent.h):
    // waits for the handshake as start does. Takes the descriptor.
    static Server attach(int socket_fd, Millis timeout = Millis(60000));

    // Sends "command args" (or "command" when args is empty) and returns the
    // answer without its end marker; see request_line.
    std::string request(std::string_view command, std::string_view args = {});

    // An answer that does not come within the timeout ends the server (its
    // late answer could not be told from the next one): ProtocolError, and
    // a Session starts a new server on its next request.

    // Lower level: write bytes as they are, read the next framed answer.
    void send(std::string_view bytes);
    std::string read_answer();
    // Without waiting: true with the next answer when one is complete in
    // what the server has written so far. ProtocolError at end of output.
    bool try_answer(std::string* answer);

    // Sends "quit" and returns the exit code.
    int quit();
    // Closes the server's input and returns the exit code.
    int finish();

    void set_timeout(Millis timeout) { timeout_ = timeout; }
    Peer& peer() { return peer_; }

private:
    static Server start_once(const LaunchOptions& options, Millis timeout, bool* ended_silently);
    void expect_handshake(const std::string& from);
    ProtocolError ended() const;
    // Reads until the framer yields something other than "incomplete".
    FrameReader::Status pull(std::string* answer);
    int wait_exit();

    Peer peer_;
    FrameReader framer_;
    Millis timeout_{60000};
};

}  // namespace qv
