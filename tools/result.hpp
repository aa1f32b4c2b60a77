// Every fallible step of the tool yields its value or a message for the user.
#pragma once

#include <expected>
#include <string>

namespace pytovrik::cli {

template <typename T>
using Result = std::expected<T, std::string>;

inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

// The text of an FFmpeg error code (av_err2str is C-only).
std::string ffmpeg_error_text(int code);

}  // namespace pytovrik::cli
