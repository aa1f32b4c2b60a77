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

// `convert` takes an FfmpegDecodedFrame (consumed) and yields Outcome<Frame>.
// On every path the sequence is released (its decoder going back to the
// pool) before the frames already converted.
template <class Frame, class Convert>
Outcome<std::vector<Frame>> export_selected_frames(PacketBatch packets, const FrameSelection& selection,
                                                   Convert&& convert) {
    auto exported = vector_with_capacity<Frame>(selection.size(), "the frame list");
    if (!exported) {
        return exported;
    }
    auto frames = decode_h264_packets(std::move(packets));
    if (!frames) {
        return std::unexpected(std::move(frames.error()));
    }
    for (std::uint64_t position = 0;; ++position) {
        auto item = frames->next();
        if (!item) {
            return std::unexpected(std::move(item.error()));
        }
        if (!item->has_value()) {
            break;
        }
        FfmpegDecodedFrame decoded = std::move(**item);
        if (!selection.selects(position)) {
            continue;
        }
        auto frame = convert(std::move(decoded));
        if (!frame) {
            return std::unexpected(std::move(frame.error()));
        }
        exported->push_back(std::move(*frame));
    }
    return exported;
}

}  // namespace pytovrik
