// Pictures turned as a player shows them, pixels moved and never resampled,
// as ffmpeg's transpose and flip filters move them: mirrored left to right
// first when asked, then turned clockwise by quarter turns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pytovrik::file {

// Turns one packed plane of `width` x `height` elements of `element_bytes`
// bytes (1 to 4) into `target`, whose width and height swap for 90 and 270.
// `rotation` is 0, 90, 180 or 270; the buffers do not overlap.
void turn_plane(const std::uint8_t* source, std::uint8_t* target, std::uint32_t width, std::uint32_t height,
                std::size_t element_bytes, std::uint32_t rotation, bool mirrored);

}  // namespace pytovrik::file
