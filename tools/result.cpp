#include "result.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace pytovrik::cli {

std::string ffmpeg_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace pytovrik::cli
