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
    std::string socket_shown;     // the same, as people know it
    int persist_seconds = 5;      // for clients that say no other
    qv::Millis start_timeout{60000};
    qv::Millis answer_timeout{60000};  // for clients that say no other
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
    struct Line {
        std::string text;                  // with its LF
        qv::Clock::time_point deadline;    // its answer is due by then
        qv::Millis timeout;                // its client's
    };
    struct Client {
        int fd = -1;
        std::string in;                  // after the last complete line
        size_t scanned = 0;              // bytes of `in` known to hold no LF
        std::string out;                 // answers not yet written
        std::deque<Line> queued;         // complete lines not yet sent
        size_t queued_bytes = 0;
        size_t inflight = 0;             // sent, answer not yet back
        bool input_done = false;         // end of input, "quit", or abandoned
        bool gone = false;               // hung up: its answers go nowhere
        int persist_seconds = -1;        // from its hello; -1: the agent's
        qv::Millis timeout{0};           // from its hello; 0: the agent's
        std::string farewell;            // its last words, once nothing is in flight
        bool said_farewell = false;
    };
    struct Sent {
        uint64_t client;
        Line line;
    };

    void accept_clients();
    void read_client(Client& c);
    void take_lines(Client& c);
    void write_client(Client& c);
    void hang_up(Client& c);
    void abandon(Client& c, const std::string& why);
    void say_farewell(Client& c);
    bool dispatch_one();
    bool control(uint64_t id, Client& c, const std::string& line);
    void read_server();
    bool start_server();
    void end_server(const std::string& text);
    void server_died(const std::string& why);
    void send_again();
    void check_deadlines();
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
    std::deque<Sent> inflight_;            // each request sent, in order
    size_t inflight_bytes_ = 0;
    std::optional<qv::Server> server_;
    int starts_ = 0;
    uint64_t requests_ = 0;
    qv::Clock::time_point started_at_;
    qv::Clock::time_point idle_until_;     // the latest a leaving client asked for
    int idle_seconds_ = 0;                 // what that client asked for
    qv::Clock::time_point accept_again_;   // after running out of descriptors
    bool out_of_descriptors_ = false;
    std::optional<uint64_t> stopper_;
    qv::Clock::time_point stop_by_;        // in-flight requests are given up then
};

}  // namespace qvagent
