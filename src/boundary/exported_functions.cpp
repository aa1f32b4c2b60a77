// The three exported functions. Each is noexcept: an exception that is not a
// failure of the request (memory exhaustion, a broken invariant) ends the
// process here instead of unwinding into the host.
#include "boundary/runtime_request.hpp"
#include "pytovrik_video.h"

extern "C" {

PYTOVRIK_VIDEO_API int32_t pytovrik_video_abi_version(void) noexcept { return 1; }

PYTOVRIK_VIDEO_API int32_t pytovrik_video_decode_h264_v1(const RuntimeDecodeRequest* request,
                                                         RuntimeDecodeResponse* response) noexcept {
    // The failure's message does not cross the boundary in this version.
    return pytovrik::decode_h264_runtime_request(request, response) ? 0 : -1;
}

PYTOVRIK_VIDEO_API void pytovrik_video_free_response_v1(RuntimeDecodeResponse* response) noexcept {
    if (response != nullptr) {
        pytovrik::free_runtime_response(*response);
    }
}

}  // extern "C"
