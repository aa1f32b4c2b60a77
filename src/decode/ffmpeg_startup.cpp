#include "decode/ffmpeg_startup.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
}

namespace pytovrik {

namespace {

constexpr std::array<int, 27> FFMPEG_ERROR_CODES = {
    AVERROR_BSF_NOT_FOUND,      AVERROR_BUG,
    AVERROR_BUFFER_TOO_SMALL,   AVERROR_DECODER_NOT_FOUND,
    AVERROR_DEMUXER_NOT_FOUND,  AVERROR_ENCODER_NOT_FOUND,
    AVERROR_EOF,                AVERROR_EXIT,
    AVERROR_EXTERNAL,           AVERROR_FILTER_NOT_FOUND,
    AVERROR_INVALIDDATA,        AVERROR_MUXER_NOT_FOUND,
    AVERROR_OPTION_NOT_FOUND,   AVERROR_PATCHWELCOME,
    AVERROR_PROTOCOL_NOT_FOUND, AVERROR_STREAM_NOT_FOUND,
    AVERROR_BUG2,               AVERROR_UNKNOWN,
    AVERROR_EXPERIMENTAL,       AVERROR_INPUT_CHANGED,
    AVERROR_OUTPUT_CHANGED,     AVERROR_HTTP_BAD_REQUEST,
    AVERROR_HTTP_UNAUTHORIZED,  AVERROR_HTTP_FORBIDDEN,
    AVERROR_HTTP_NOT_FOUND,     AVERROR_HTTP_OTHER_4XX,
    AVERROR_HTTP_SERVER_ERROR,
};

// Written only inside FFMPEG_INIT, read without locks afterwards.
char FFMPEG_ERROR_STRINGS[FFMPEG_ERROR_CODES.size()][AV_ERROR_MAX_STRING_SIZE];

std::once_flag FFMPEG_INIT;

}  // namespace

void ensure_ffmpeg_initialized() {
    std::call_once(FFMPEG_INIT, [] {
        for (std::size_t i = 0; i < FFMPEG_ERROR_CODES.size(); ++i) {
            av_strerror(FFMPEG_ERROR_CODES[i], FFMPEG_ERROR_STRINGS[i], AV_ERROR_MAX_STRING_SIZE);
        }
    });
}

std::string ffmpeg_error_text(int code) {
    for (std::size_t i = 0; i < FFMPEG_ERROR_CODES.size(); ++i) {
        if (FFMPEG_ERROR_CODES[i] == code) {
            return std::string(FFMPEG_ERROR_STRINGS[i]);
        }
    }
    // INT_MIN has no positive counterpart; the C library names it as unknown.
    return std::string(std::strerror(code == INT_MIN ? code : -code));
}

}  // namespace pytovrik
