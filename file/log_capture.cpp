#include "log_capture.hpp"

#include "log_queue.hpp"

#include <cstdarg>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavutil/log.h>
}

namespace pytovrik::file {

namespace {

// Enough for the library's reason and a few of FFmpeg's own lines.
constexpr std::size_t MAX_CAPTURED = 4096;

// How the decoding library says, at warning level, that it concealed damage.
constexpr std::string_view LIBRARY_PREFIX = "pytovrik_video: ";
constexpr std::string_view CONCEALED = "was concealed";

struct Capture {
    bool active = false;
    bool concealed = false;
    std::string text;
};
thread_local Capture CAPTURE;

void capture_or_print(void* context, int level, const char* format, va_list arguments) {
    if (CAPTURE.active && level == AV_LOG_WARNING && context == nullptr) {
        const std::string_view text(format);
        CAPTURE.concealed = CAPTURE.concealed || (text.starts_with(LIBRARY_PREFIX) && text.find(CONCEALED) != text.npos);
    }
    if (!CAPTURE.active || level > AV_LOG_ERROR) {
        pass_on_log(context, level, format, arguments);
        return;
    }
    std::string& text = CAPTURE.text;
    if (text.size() < MAX_CAPTURED) {
        text.append(format_log_line(context, level, format, arguments));
    }
}

}  // namespace

void install_log_callback() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(&capture_or_print); });
}

void begin_log_capture() {
    install_log_callback();
    CAPTURE.active = true;
    CAPTURE.concealed = false;
    CAPTURE.text.clear();
}

CapturedLog end_log_capture() {
    CAPTURE.active = false;
    std::string text = std::move(CAPTURE.text);
    CAPTURE.text.clear();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    // One line: the messages joined.
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
        text.replace(at, 1, "; ");
    }
    return CapturedLog{std::move(text), CAPTURE.concealed};
}

}  // namespace pytovrik::file
