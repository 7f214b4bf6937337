#pragma once
// Shared by the fuzzing and fault tests: a prefix of the test's own (so that
// killing its wineserver or mapping drives harms no other test), an
// independent snapshot of its registry, and a conversation with the server
// whose end markers are counted on the raw byte stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qv/framing.h"
#include "qv/process.h"
#include "support.h"

namespace robust {

// Set when the tests share one server behind the relay: tests about the
// server process itself (its input, its death, a second one) cannot run so.
inline const char* kRelaySkip = "needs server processes of its own, not the one shared behind the relay";
inline bool behind_relay() {
    const char* relay = std::getenv("QV_RELAY_SOCKET");
    return relay && *relay;
}

// QV_<NAME> as a number, else the fallback (soak runs raise the counts).
uint64_t env_number(const char* name, uint64_t fallback);

// A fresh clone of the pristine prefix beside the run's prefix, with its own
// persistent wineserver. Removed again when the test passed.
class OwnPrefix {
public:
    explicit OwnPrefix(const std::string& name);
    ~OwnPrefix();
    OwnPrefix(const OwnPrefix&) = delete;
    OwnPrefix& operator=(const OwnPrefix&) = delete;

    const std::string& path() const { return path_; }
    bool ready() const { return ready_; }
    // Options for a program of the build (qvtest::program...) in this prefix.
    qv::LaunchOptions options_for(const std::string& exe) const;
    // Stops the wineserver and everything running in the prefix; waits.
    void stop();
    // The wineserver's process id, or -1 when none runs for this prefix.
    int wineserver_pid() const;

private:
    std::string path_;
    bool ready_ = false;
};

// Registry state read by the checker program, independently of the server:
// one line per key ("k PATH") and per value ("v NAME TYPE HEX"), paths and
// names decoded from the checker's hex. Keys on a path listed in scratch
// (and everything below them) are left out.
std::vector<std::string> registry_snapshot(const OwnPrefix& prefix, const std::vector<std::string>& scratch);
// The lines only in one of two snapshots, for a readable failure.
std::string snapshot_difference(const std::vector<std::string>& before, const std::vector<std::string>& after);

// "name -> target" for every entry of the prefix's dosdevices folder.
std::vector<std::string> dosdevices(const OwnPrefix& prefix);

// The server's output as raw bytes: answers are cut at each "\n" "end" "\n"
// found in the stream, and the same bytes go through the library's framer,
// which must agree.
class RawConversation {
public:
    explicit RawConversation(const qv::LaunchOptions& options);
    // False (with a message in *why) when no handshake came.
    bool started(std::string* why);
    bool send(const std::string& bytes) { return child_.write_all(bytes); }
    // The next answer; false on timeout or end of output (*why says which).
    bool next(std::string* answer, qv::Millis timeout, std::string* why);
    // Closes the input, reads to the end and returns the exit code.
    int finish(qv::Millis timeout);
    // End markers in everything the server wrote after its handshake,
    // counted over the whole stream at once.
    size_t markers_in_stream() const;
    // Bytes after the last answer taken.
    std::string trailing() const { return raw_.substr(cursor_); }
    qv::Peer& peer() { return child_; }

private:
    bool fill(qv::Clock::time_point deadline, std::string* why);
    void count_markers(const std::string& bytes);

    qv::Peer child_;
    // Bytes not yet taken as answers (and a few before them); a long soak
    // must not keep its whole stream.
    std::string raw_;
    size_t cursor_ = 0;
    qv::FrameReader framer_;
    // Markers are counted as the bytes arrive; carry_ holds the last bytes
    // seen, where a marker split between two reads begins.
    bool counting_ = false;
    std::string carry_ = "\n";
    size_t markers_ = 0;
};

}  // namespace robust
