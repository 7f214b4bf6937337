#pragma once
// A progress bar on standard error, shown only on a terminal.
#include <algorithm>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "qv/process.h"
#include "qv/regtree.h"

namespace qvctl {

class Progress {
public:
    explicit Progress(std::string label) : label_(std::move(label)), on_(isatty(2)) {}
    ~Progress() { finish(); }
    void operator()(size_t done, size_t total) {
        if (!on_)
            return;
        auto now = qv::Clock::now();
        if (done < total && now - last_ < qv::Millis(100))
            return;
        last_ = now;
        const int width = 30;
        int filled = total ? static_cast<int>(width * std::min(done, total) / total) : 0;
        std::fprintf(stderr, "\r%s [%s%s] %zu/%zu", label_.c_str(), std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), done, total);
        std::fflush(stderr);
        shown_ = true;
    }
    void finish() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    qv::ProgressFn fn() {
        return [this](size_t d, size_t t) { (*this)(d, t); };
    }

private:
    std::string label_;
    bool on_;
    bool shown_ = false;
    qv::Clock::time_point last_{};
};

}  // namespace qvctl
