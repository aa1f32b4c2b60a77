// Drives a frame plan the way a host does: prepare each job's request, send
// it to the library, hand the outcome back, retry when asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_plan.hpp"
#include "support/abi_helpers.hpp"
#include "video_index.hpp"

namespace pytovrik::file::testing {

using pytovrik::testing::FrameCopy;

// The library's own functions, for the start probe at open.
DecoderFunctions library_functions();

// The asked frames as YUV, in the order asked; the first failure's message
// instead when a job fails.
struct PlannedFrames {
    std::vector<FrameCopy> frames;
    std::string failure;
    std::size_t requests = 0;  // sent to the library, retries included
};
PlannedFrames decode_through_plan(VideoIndex& index, const std::vector<std::uint64_t>& frames);

}  // namespace pytovrik::file::testing
