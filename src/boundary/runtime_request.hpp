#pragma once

#include "common/outcome.hpp"
#include "pytovrik_video.h"

namespace pytovrik {

// An array of RuntimeFrame records owned by the library, exactly `count` long.
struct RuntimeFrameArray {
    RuntimeFrame* frames;
    std::uint64_t count;
};

// Fills *response on success; on failure neither pointer is written.
Outcome<void> decode_h264_runtime_request(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response);

Outcome<RuntimeFrameArray> handle_runtime_request(const RuntimeDecodeRequest& request);

// Releases everything a filled response owns and prepares it again.
void free_runtime_response(RuntimeDecodeResponse& response) noexcept;

}  // namespace pytovrik
