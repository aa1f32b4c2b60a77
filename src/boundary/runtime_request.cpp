#include "boundary/runtime_request.hpp"

#include <cstdlib>
#include <utility>
#include <vector>

#include "boundary/request_copy.hpp"
#include "boundary/runtime_bytes.hpp"
#include "export/rgb_export.hpp"
#include "export/yuv420_export.hpp"

namespace pytovrik {

namespace {

// The address of every empty frame array: a successful response never holds
// a null array, and a zero-length one is never passed to the allocator.
RuntimeFrame EMPTY_FRAME_ARRAY[1];

RuntimeFrame to_runtime_frame(Yuv420Frame&& frame) noexcept {
    return RuntimeFrame{RuntimeFormatYuv420, frame.width, frame.height, runtime_bytes::empty(),
                        runtime_bytes::from_vec(std::move(frame.y)), runtime_bytes::from_vec(std::move(frame.uv))};
}

RuntimeFrame to_runtime_frame(RgbFrame&& frame) noexcept {
    return RuntimeFrame{RuntimeFormatRgb, frame.width, frame.height, runtime_bytes::from_vec(std::move(frame.rgb)),
                        runtime_bytes::empty(), runtime_bytes::empty()};
}

template <class Frame>
Outcome<RuntimeFrameArray> runtime_frames_from(Outcome<std::vector<Frame>> exported) {
    if (!exported) {
        return propagate(exported);
    }
    const std::size_t count = exported->size();
    if (count == 0) {
        return RuntimeFrameArray{EMPTY_FRAME_ARRAY, 0};
    }
    auto* frames = static_cast<RuntimeFrame*>(std::malloc(count * sizeof(RuntimeFrame)));
    if (frames == nullptr) {
        return fail("failed to allocate an array of " + std::to_string(count) + " frames");
    }
    for (std::size_t i = 0; i < count; ++i) {
        frames[i] = to_runtime_frame(std::move((*exported)[i]));
    }
    return RuntimeFrameArray{frames, count};
}

}  // namespace

Outcome<RuntimeFrameArray> handle_runtime_request(const RuntimeDecodeRequest& request) {
    auto positions = copy_selected_positions(request);
    if (!positions) {
        return propagate(positions);
    }
    const FrameSelection selection(std::move(*positions));
    auto packets = copy_packets(request);
    if (!packets) {
        return propagate(packets);
    }
    // Only the lowest bit routes: odd codes are YUV 4:2:0, even codes RGB.
    if ((request.output_format & 1U) != 0) {
        return runtime_frames_from(decode_selected_h264_packets_to_yuv420(std::move(*packets), selection));
    }
    return runtime_frames_from(decode_selected_h264_packets_to_rgb(request.output_width, request.output_height,
                                                                   std::move(*packets), selection));
}

Outcome<void> decode_h264_runtime_request(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response) {
    if (request == nullptr || response == nullptr) {
        return fail("FFmpeg runtime received null ABI pointer");
    }
    auto frames = handle_runtime_request(*request);
    if (!frames) {
        return propagate(frames);
    }
    response->frame_count = frames->count;
    response->frames = frames->frames;
    return {};
}

void free_runtime_response(RuntimeDecodeResponse& response) noexcept {
    if (response.frames == nullptr) {
        response.frame_count = 0;
        return;
    }
    for (std::uint64_t i = 0; i < response.frame_count; ++i) {
        RuntimeFrame& frame = response.frames[i];
        free_runtime_bytes(frame.rgb.data, frame.rgb.len);
        free_runtime_bytes(frame.y.data, frame.y.len);
        free_runtime_bytes(frame.uv.data, frame.uv.len);
    }
    if (response.frame_count != 0) {
        std::free(response.frames);
    }
    response.frames = nullptr;
    response.frame_count = 0;
}

}  // namespace pytovrik
