// Hands batches to the library and the frames it returns to the outputs,
// each with its position in the whole input.
//
// The library returns only the frames a call selects, all at once, and not
// how many the batch made. The next batch's positions depend on that count,
// so every batch also asks for the frame it expects to be its last and the
// one after: exactly the first coming back confirms the count. When the
// stream breaks the one-frame-per-access-unit pattern (lost or undecodable
// pictures), the batch is decoded again over the doubtful range.
#pragma once

#include <string>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "batch_reader.hpp"
#include "frame_selection.hpp"
#include "pytovrik_video.h"

namespace pytovrik::cli {

struct FrameSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct BatchOutcome {
    std::uint64_t frames_decoded = 0;
    std::uint64_t frames_kept = 0;
};

using FrameConsumer = std::function<Outcome<void>(std::uint64_t position, const RuntimeFrame& frame)>;

class BatchDecoder {
public:
    // rgb_size: std::nullopt scales RGB frames to their decoded size.
    // memory_budget: the most frame bytes one library call may return; a
    // batch that would return more is decoded once per slice of its frames.
    // 0: one call per batch, whatever it returns.
    BatchDecoder(RuntimeFormat format, std::optional<FrameSize> rgb_size, FrameSelection selection,
                 std::uint64_t memory_budget)
        : format_(format), rgb_size_(rgb_size), selection_(std::move(selection)), memory_budget_(memory_budget) {}

    // first_position: the position of the batch's first frame in the input.
    Outcome<BatchOutcome> decode(const Batch& batch, std::uint64_t first_position, const FrameConsumer& consume);

    // The RGB size of the most recent batch, or the YUV size of its last frame.
    std::optional<FrameSize> last_frame_size() const { return last_size_; }

private:
    Outcome<FrameSize> rgb_size_for(const Batch& batch);
    std::uint64_t frames_per_call(const Batch& batch, FrameSize rgb_size) const;

    RuntimeFormat format_;
    std::optional<FrameSize> rgb_size_;
    FrameSelection selection_;
    std::uint64_t memory_budget_;
    // Decoded sizes learnt per set of sequence parameter sets.
    std::map<std::string, FrameSize> decoded_sizes_;
    std::optional<FrameSize> last_size_;
};

}  // namespace pytovrik::cli
