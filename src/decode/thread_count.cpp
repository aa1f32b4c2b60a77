#include "decode/thread_count.hpp"

#include <cstdlib>

namespace pytovrik {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        // Only ASCII digits are accepted, so a value that is not valid UTF-8
        // is rejected here without a separate check.
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (__builtin_mul_overflow(value, 10U, &value) ||
            __builtin_add_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::uint64_t ffmpeg_thread_count_from_env() {
    const char* value = std::getenv("TOVRIK_VIDEO_FFMPEG_THREADS");
    if (value == nullptr) {
        return 0;
    }
    return parse_thread_count(value).value_or(0);
}

}  // namespace pytovrik
