// Helpers for tests that drive the internal decoding and export operations.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "decode/decoded_frames.hpp"
#include "export/yuv420_export.hpp"
#include "support/abi_helpers.hpp"

namespace pytovrik::testing {

inline PacketBatch to_batch(const std::vector<Packet>& packets) {
    PacketBatch batch;
    for (const Packet& packet : packets) {
        auto owned = ByteBuffer::allocate(packet.size(), "test packet");
        if (!packet.empty()) {
            std::memcpy(owned->data(), packet.data(), packet.size());
        }
        batch.push_back(std::move(*owned));
    }
    return batch;
}

// What the YUV driver gave: the frames, or the failure message (frames empty).
struct YuvOutcome {
    std::vector<FrameCopy> frames;
    std::string failure;
    bool operator==(const YuvOutcome&) const = default;
};

inline std::vector<std::uint8_t> bytes_of(const ByteBuffer& buffer) {
    return {buffer.data(), buffer.data() + buffer.size()};
}

inline YuvOutcome decode_yuv(const std::vector<Packet>& packets, std::vector<std::uint64_t> positions = {}) {
    auto frames = decode_selected_h264_packets_to_yuv420(to_batch(packets), FrameSelection(std::move(positions)));
    if (!frames) {
        return {{}, frames.error().message};
    }
    YuvOutcome outcome;
    for (const Yuv420Frame& frame : *frames) {
        outcome.frames.push_back(
            FrameCopy{RuntimeFormatYuv420, frame.width, frame.height, {}, bytes_of(frame.y), bytes_of(frame.uv)});
    }
    return outcome;
}

// Runs `work` on a new thread, whose decoder pool slot starts empty, and
// returns its result after the thread has exited.
template <class Work>
auto on_fresh_thread(Work work) {
    if constexpr (std::is_void_v<decltype(work())>) {
        std::thread(work).join();
    } else {
        decltype(work()) result{};
        std::thread([&] { result = work(); }).join();
        return result;
    }
}

// The index of the pattern a lossy frame is closest to: with lossy coding
// (which B-frames need, x264 turns them off when lossless) the content still
// names its frame.
inline int nearest_pattern_index(const FrameCopy& frame, const StreamRecipe& recipe) {
    int best = -1;
    std::uint64_t best_distance = UINT64_MAX;
    for (int index = 0; index < recipe.frames; ++index) {
        const auto expected = expected_luma(recipe, index);
        if (expected.size() != frame.y.size()) {
            continue;
        }
        std::uint64_t distance = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            distance += static_cast<std::uint64_t>(std::abs(int{expected[i]} - int{frame.y[i]}));
        }
        if (distance < best_distance) {
            best_distance = distance;
            best = index;
        }
    }
    return best;
}

// 0, 1, ..., count - 1: the pattern indices of a stream's frames in order.
inline std::vector<int> indices_up_to(int count) {
    std::vector<int> indices(static_cast<std::size_t>(count));
    std::iota(indices.begin(), indices.end(), 0);
    return indices;
}

inline std::vector<int> pattern_indices(const std::vector<FrameCopy>& frames, const StreamRecipe& recipe) {
    std::vector<int> indices;
    for (const FrameCopy& frame : frames) {
        indices.push_back(nearest_pattern_index(frame, recipe));
    }
    return indices;
}

}  // namespace pytovrik::testing
