#include "frame_turn.hpp"

#include <cstring>

namespace pytovrik::cli {
namespace {

// Turns a packed plane of `width` x `height` elements of `bytes` bytes each;
// returns the turned plane, whose width and height swap for quarter turns.
std::vector<std::uint8_t> turn_plane(const RuntimeBytes& plane, std::uint32_t width, std::uint32_t height,
                                     std::size_t bytes, Turn turn) {
    std::vector<std::uint8_t> out(plane.len);
    const std::size_t expected = std::size_t{width} * height * bytes;
    if (plane.data == nullptr || plane.len < expected) {
        return out;
    }
    const std::uint32_t out_width = turn.swaps_size() ? height : width;
    const std::uint32_t out_height = turn.swaps_size() ? width : height;
    for (std::uint32_t oy = 0; oy < out_height; ++oy) {
        for (std::uint32_t ox = 0; ox < out_width; ++ox) {
            // Where the pixel comes from in the mirrored picture, then in the stored one.
            std::uint32_t x = ox;
            std::uint32_t y = oy;
            switch (turn.rotation) {
            case 90:
                x = oy;
                y = height - 1 - ox;
                break;
            case 180:
                x = width - 1 - ox;
                y = height - 1 - oy;
                break;
            case 270:
                x = width - 1 - oy;
                y = ox;
                break;
            default:
                break;
            }
            if (turn.mirrored) {
                x = width - 1 - x;
            }
            std::memcpy(&out[(std::size_t{oy} * out_width + ox) * bytes], &plane.data[(std::size_t{y} * width + x) * bytes],
                        bytes);
        }
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
        rgb_ = turn_plane(stored.rgb, width, height, 3, turn);
        frame_.rgb = bytes_of(rgb_);
    } else {
        y_ = turn_plane(stored.y, width, height, 1, turn);
        uv_ = turn_plane(stored.uv, (width + 1) / 2, (height + 1) / 2, 2, turn);
        frame_.y = bytes_of(y_);
        frame_.uv = bytes_of(uv_);
    }
}

}  // namespace pytovrik::cli
