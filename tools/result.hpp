// Every fallible step of the tool yields its value or a message for the user,
// as the libraries it drives do: one error type, Outcome (common/outcome.hpp).
#pragma once

#include <string>

#include "common/outcome.hpp"

namespace pytovrik::cli {

// The text of an FFmpeg error code (av_err2str is C-only).
std::string ffmpeg_error_text(int code);

}  // namespace pytovrik::cli
