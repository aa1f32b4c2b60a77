// The walk both output drivers make over a batch: number the frames in the
// order the sequence yields them, convert the selected ones as they come,
// release the others at once, read to the end even when every selected
// position has been seen, and stop at the first failure.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "common/outcome.hpp"
#include "common/vector_capacity.hpp"
#include "decode/decoded_frames.hpp"

namespace pytovrik {

// Pulls every frame of the sequence, converting the selected ones into
// `exported`; stops at the first failure.
template <class Frame, class Convert>
Outcome<void> walk_selected_frames(FfmpegDecodedFrames& frames, const FrameSelection& selection, Convert& convert,
                                   std::vector<Frame>& exported) {
    for (std::uint64_t position = 0;; ++position) {
        auto item = frames.next();
        if (!item) {
            return propagate(item);
        }
        if (!item->has_value()) {
            return {};
        }
        FfmpegDecodedFrame decoded = std::move(**item);
        if (!selection.selects(position)) {
            continue;
        }
        auto frame = convert(std::move(decoded));
        if (!frame) {
            return propagate(frame);
        }
        exported.push_back(std::move(*frame));
    }
}

// `convert` takes an FfmpegDecodedFrame (consumed) and yields Outcome<Frame>.
// On every path the sequence is released (its decoder going back to the
// pool) before the frames already converted. A batch whose frame threads
// concealed damage, or failed, is walked once more on one thread (see
// FfmpegDecodedFrames::wants_one_thread), so that a request gives the same
// frames, or the same failure, every time.
template <class Frame, class Convert>
Outcome<std::vector<Frame>> export_selected_frames(PacketBatch packets, const FrameSelection& selection,
                                                   Convert&& convert) {
    auto exported = vector_with_capacity<Frame>(selection.size(), "the frame list");
    if (!exported) {
        return exported;
    }
    DecoderThreads threads = DecoderThreads::Configured;
    for (;;) {
        auto frames = decode_h264_packets(std::move(packets), threads);
        if (!frames) {
            return propagate(frames);
        }
        auto walked = walk_selected_frames(*frames, selection, convert, *exported);
        if (threads == DecoderThreads::Configured && frames->wants_one_thread()) {
            exported->clear();
            packets = std::move(*frames).take_packets();
            threads = DecoderThreads::One;
            continue;
        }
        if (!walked) {
            return propagate(walked);
        }
        return exported;
    }
}

}  // namespace pytovrik
