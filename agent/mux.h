#pragma once
// The agent's loop: many clients on one listening socket, one server behind
// them, requests taken a line at a time from each client in turn and answers
// returned to whoever asked, in order.
#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "qv/process.h"
#include "qv/server.h"

namespace qvagent {

struct Config {
    qv::LaunchOptions launch;     // the server
    std::string fingerprint;      // qv::launch_fingerprint(launch)
    std::string socket_path;      // watched: the agent ends when it is gone
    int persist_seconds = 5;
    qv::Millis start_timeout{60000};
    qv::Millis answer_timeout{60000};
};

class Multiplexer {
public:
    // Takes the listening socket (non-blocking).
    Multiplexer(Config config, int listener);
    ~Multiplexer();
    // Serves until idle for the persist time, stopped by a client, the
    // prefix folder or the socket is gone, or *stop_signal is set; the server
    // has ended when it returns. Returns why it ended.
    std::string run(volatile std::sig_atomic_t* stop_signal);

private:
    struct Client {
        int fd = -1;
        std::string in;                  // after the last complete line
        std::string out;                 // answers not yet written
        std::deque<std::string> queued;  // complete lines not yet sent, with LF
        size_t inflight = 0;             // sent, answer not yet back
        bool input_done = false;         // end of input, "quit", or abandoned
        bool gone = false;               // hung up: its answers are drained
    };

    void accept_clients();
    void read_client(Client& c);
    void write_client(Client& c);
    void drop(Client& c);
    void abandon(Client& c, const std::string& why);
    bool dispatch_one();
    bool control(uint64_t id, Client& c, const std::string& line);
    void read_server();
    bool start_server();
    void server_died(const std::string& why);
    void quit_server();
    void reap();
    std::string status_text(uint64_t asker);
    std::optional<std::string> why_stop(volatile std::sig_atomic_t* stop_signal);
    std::string finish(const std::string& reason);

    Config config_;
    int listener_;
    struct stat prefix_id_ {};
    struct stat socket_id_ {};
    std::map<uint64_t, Client> clients_;
    uint64_t next_id_ = 1;
    uint64_t turn_ = 0;                    // round-robin cursor
    std::deque<uint64_t> inflight_;        // the asker of each request sent
    std::deque<size_t> inflight_sizes_;
    size_t inflight_bytes_ = 0;
    std::optional<qv::Server> server_;
    int starts_ = 0;
    uint64_t requests_ = 0;
    qv::Clock::time_point started_at_;
    qv::Clock::time_point last_activity_;
    std::optional<uint64_t> stopper_;
};

}  // namespace qvagent
