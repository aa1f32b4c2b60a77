#include "plane_turn.hpp"

#include <algorithm>
#include <cstring>

namespace pytovrik::file {
namespace {

// Output pixels are visited in square tiles, so that a quarter turn, which
// reads the source down its columns, stays within a few cache lines.
constexpr std::uint32_t TILE = 32;

template <std::size_t Bytes>
void turn_tiles(const std::uint8_t* source, std::uint8_t* target, std::uint32_t width, std::uint32_t height,
                std::uint32_t rotation, bool mirrored) {
    const bool quarter = rotation == 90 || rotation == 270;
    const std::uint32_t out_width = quarter ? height : width;
    const std::uint32_t out_height = quarter ? width : height;
    for (std::uint32_t tile_y = 0; tile_y < out_height; tile_y += TILE) {
        for (std::uint32_t tile_x = 0; tile_x < out_width; tile_x += TILE) {
            const std::uint32_t end_y = std::min(out_height, tile_y + TILE);
            const std::uint32_t end_x = std::min(out_width, tile_x + TILE);
            for (std::uint32_t oy = tile_y; oy < end_y; ++oy) {
                std::uint8_t* row = target + (std::size_t{oy} * out_width) * Bytes;
                for (std::uint32_t ox = tile_x; ox < end_x; ++ox) {
                    // Where the pixel lies in the mirrored picture, then in the stored one.
                    std::uint32_t x = ox;
                    std::uint32_t y = oy;
                    if (rotation == 90) {
                        x = oy;
                        y = height - 1 - ox;
                    } else if (rotation == 180) {
                        x = width - 1 - ox;
                        y = height - 1 - oy;
                    } else if (rotation == 270) {
                        x = width - 1 - oy;
                        y = ox;
                    }
                    if (mirrored) {
                        x = width - 1 - x;
                    }
                    std::memcpy(row + std::size_t{ox} * Bytes, source + (std::size_t{y} * width + x) * Bytes, Bytes);
                }
            }
        }
    }
}

}  // namespace

void turn_plane(const std::uint8_t* source, std::uint8_t* target, std::uint32_t width, std::uint32_t height,
                std::size_t element_bytes, std::uint32_t rotation, bool mirrored) {
    switch (element_bytes) {
    case 1:
        return turn_tiles<1>(source, target, width, height, rotation, mirrored);
    case 2:
        return turn_tiles<2>(source, target, width, height, rotation, mirrored);
    case 3:
        return turn_tiles<3>(source, target, width, height, rotation, mirrored);
    default:
        return turn_tiles<4>(source, target, width, height, rotation, mirrored);
    }
}

}  // namespace pytovrik::file
