#include "plan_driver.hpp"

#include "log_capture.hpp"

namespace pytovrik::file::testing {

DecoderFunctions library_functions() {
    return DecoderFunctions{&pytovrik_video_decode_h264_v1, &pytovrik_video_free_response_v1};
}

PlannedFrames decode_through_plan(VideoIndex& index, const std::vector<std::uint64_t>& frames) {
    PlannedFrames result;
    result.frames.resize(frames.size());
    auto plan = FramePlan::make(index, frames);
    if (!plan) {
        result.failure = plan.error().message;
        return result;
    }
    for (std::size_t job = 0; job < (*plan)->job_count(); ++job) {
        for (;;) {
            RuntimeDecodeRequest request{};
            if (auto prepared = (*plan)->prepare(job, request); !prepared) {
                result.failure = prepared.error().message;
                return result;
            }
            request.output_format = RuntimeFormatYuv420;
            RuntimeDecodeResponse response{};
            // As the file layer's C functions do: what the library says
            // while it decodes decides a retry.
            begin_log_capture();
            const bool decoded = pytovrik_video_decode_h264_v1(&request, &response) == 0;
            const CapturedLog logged = end_log_capture();
            ++result.requests;
            const auto slots = (*plan)->job_slots(job);
            std::vector<std::uint64_t> frame_of_slot(slots.size());
            auto verdict =
                (*plan)->finish(job, decoded, response.frame_count, frame_of_slot, logged.text, logged.concealed);
            if (verdict && *verdict == FramePlan::Verdict::Done) {
                for (std::size_t k = 0; k < slots.size(); ++k) {
                    const RuntimeFrame& frame = response.frames[frame_of_slot[k]];
                    result.frames[slots[k]] = FrameCopy{frame.format, frame.width, frame.height, {},
                                                        {frame.y.data, frame.y.data + frame.y.len},
                                                        {frame.uv.data, frame.uv.data + frame.uv.len}};
                }
            }
            pytovrik_video_free_response_v1(&response);
            if (!verdict) {
                result.failure = verdict.error().message;
                return result;
            }
            if (*verdict == FramePlan::Verdict::Done) {
                break;
            }
        }
    }
    return result;
}

}  // namespace pytovrik::file::testing
