// The three exported functions. Each is noexcept: an exception that is not a
// failure of the request (memory exhaustion, a broken invariant) ends the
// process here instead of unwinding into the host.
#include "boundary/runtime_request.hpp"
#include "pytovrik_video.h"

extern "C" {
#include <libavutil/log.h>
}

extern "C" {

PYTOVRIK_VIDEO_API int32_t pytovrik_video_abi_version(void) noexcept { return 1; }

PYTOVRIK_VIDEO_API int32_t pytovrik_video_decode_h264_v1(const RuntimeDecodeRequest* request,
                                                         RuntimeDecodeResponse* response) noexcept {
    // The records have no room for the failure's message, so it goes where
    // FFmpeg's own messages go, once per failed request: a host captures it
    // with av_log_set_callback on the calling thread.
    const auto decoded = pytovrik::decode_h264_runtime_request(request, response);
    if (!decoded) {
        av_log(nullptr, AV_LOG_ERROR, "pytovrik_video: %s\n", decoded.error().message.c_str());
        return -1;
    }
    return 0;
}

PYTOVRIK_VIDEO_API void pytovrik_video_free_response_v1(RuntimeDecodeResponse* response) noexcept {
    if (response != nullptr) {
        pytovrik::free_runtime_response(*response);
    }
}

}  // extern "C"
