#include "frame_turn.hpp"

#include "pytovrik_video_file.h"

namespace pytovrik::cli {
namespace {

// A packed plane of `width` x `height` elements of `bytes` bytes, turned by
// the file layer; empty when the library's plane is not that size.
std::vector<std::uint8_t> turned_plane(const RuntimeBytes& plane, std::uint32_t width, std::uint32_t height,
                                       std::uint32_t bytes, Turn turn) {
    std::vector<std::uint8_t> out(plane.len);
    if (plane.data == nullptr || plane.len != std::uint64_t{width} * height * bytes ||
        pytovrik_video_file_turn_planes(plane.data, out.data(), 1, width, height, bytes, turn.rotation,
                                        turn.mirrored ? 1 : 0) != 0) {
        out.clear();
    }
    return out;
}

RuntimeBytes bytes_of(std::vector<std::uint8_t>& plane) { return RuntimeBytes{plane.data(), plane.size()}; }

}  // namespace

TurnedFrame::TurnedFrame(const RuntimeFrame& stored, Turn turn) : frame_(stored) {
    const std::uint32_t width = stored.width;
    const std::uint32_t height = stored.height;
    if (turn.swaps_size()) {
        frame_.width = height;
        frame_.height = width;
    }
    if (stored.format == RuntimeFormatRgb) {
        rgb_ = turned_plane(stored.rgb, width, height, 3, turn);
        frame_.rgb = bytes_of(rgb_);
    } else {
        y_ = turned_plane(stored.y, width, height, 1, turn);
        uv_ = turned_plane(stored.uv, (width + 1) / 2, (height + 1) / 2, 2, turn);
        frame_.y = bytes_of(y_);
        frame_.uv = bytes_of(uv_);
    }
}

}  // namespace pytovrik::cli
