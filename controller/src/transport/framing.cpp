#include "qv/framing.h"

namespace qv {

void FrameReader::feed(std::string_view bytes) {
    compact();
    buf_.append(bytes.data(), bytes.size());
}

void FrameReader::compact() {
    // Drop consumed bytes once they dominate, so long sessions stay small.
    if (start_ > 0 && start_ >= buf_.size() / 2) {
        buf_.erase(0, start_);
        start_ = 0;
    }
}

FrameReader::Status FrameReader::next(std::string* answer) {
    std::string_view rest = pending();
    if (!handshake_seen_) {
        size_t n = std::min(rest.size(), kHandshake.size());
        if (rest.substr(0, n) != kHandshake.substr(0, n))
            return Status::bad_handshake;
        if (n < kHandshake.size())
            return Status::incomplete;
        start_ += kHandshake.size();
        handshake_seen_ = true;
        return Status::handshake;
    }

    size_t at = rest.find(kEndMarker, scanned_);
    if (at == std::string_view::npos) {
        // A marker may still begin in the last few bytes.
        scanned_ = rest.size() >= kEndMarker.size() ? rest.size() - kEndMarker.size() + 1 : 0;
        return Status::incomplete;
    }
    if (answer)
        answer->assign(rest.data(), at);
    start_ += at + kEndMarker.size();
    scanned_ = 0;
    return Status::answer;
}

}  // namespace qv
