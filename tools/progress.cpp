#include "progress.hpp"

#include <cinttypes>
#include <cstdio>

namespace pytovrik::cli {

Progress::Progress(bool show_line) : show_line_(show_line), start_(Clock::now()), last_draw_(start_) {}

double Progress::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Progress::update(std::uint64_t frames, std::uint64_t done, std::uint64_t total) {
    if (!show_line_) {
        return;
    }
    // Redrawing more often than this costs time and shows nothing new.
    const auto now = Clock::now();
    if (line_shown_ && now - last_draw_ < std::chrono::milliseconds(200)) {
        return;
    }
    last_draw_ = now;
    const double elapsed = seconds();
    const double fps = elapsed > 0 ? static_cast<double>(frames) / elapsed : 0.0;
    if (total > 0) {
        const double percent = 100.0 * static_cast<double>(done) / static_cast<double>(total);
        std::fprintf(stderr, "\r%" PRIu64 " frames, %.1f fps, %3.0f%%\x1b[K", frames, fps, percent);
    } else {
        std::fprintf(stderr, "\r%" PRIu64 " frames, %.1f fps\x1b[K", frames, fps);
    }
    std::fflush(stderr);
    line_shown_ = true;
}

void Progress::clear() {
    if (line_shown_) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        line_shown_ = false;
    }
}

}  // namespace pytovrik::cli
