#pragma once
// Splits the server's output stream into the handshake and framed answers.
// Works on byte chunks of any size, independent of where they come from.
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::string_view kHandshake = "QVMANIP OK\n";
inline constexpr std::string_view kEndMarker = "\nend\n";

class FrameReader {
public:
    enum class Status {
        incomplete,     // more bytes are needed
        handshake,      // the handshake line was consumed
        answer,         // one answer was consumed into *answer
        bad_handshake,  // the stream does not start with the handshake
    };

    void feed(std::string_view bytes);
    // Takes the next complete item out of the bytes fed so far.
    Status next(std::string* answer);

    // Bytes fed but not yet returned as part of an item.
    std::string_view pending() const { return std::string_view(buf_).substr(start_); }
    bool handshake_seen() const { return handshake_seen_; }

private:
    void compact();

    std::string buf_;
    size_t start_ = 0;    // first byte of the current item
    size_t scanned_ = 0;  // offset from start_ below which no end marker begins
    bool handshake_seen_ = false;
};

}  // namespace qv
