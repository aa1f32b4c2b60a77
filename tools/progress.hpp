// The progress line on a terminal and the summary at the end, both on stderr
// so that --framecrc output on stdout stays clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pytovrik::cli {

class Progress {
public:
    explicit Progress(bool show_line);

    // frames: decoded so far; done: how far into the input, in bytes of a
    // stream or frames of a file (total 0: unknown).
    void update(std::uint64_t frames, std::uint64_t done, std::uint64_t total);
    void clear();
    double seconds() const;

private:
    using Clock = std::chrono::steady_clock;
    bool show_line_;
    bool line_shown_ = false;
    Clock::time_point start_;
    Clock::time_point last_draw_;
};

}  // namespace pytovrik::cli
