// Which way a player turns a track's pictures: read from the container's
// display matrix as ffmpeg reads it for its autorotation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

struct AVStream;

namespace pytovrik::file {

struct Orientation {
    // Degrees clockwise the stored picture is turned for display: 0, 90,
    // 180 or 270 (a matrix at another angle counts as the nearest of these).
    std::uint32_t rotation = 0;
    // The picture is mirrored left to right before it is turned.
    bool mirrored = false;
};

Orientation orientation_of(const std::array<std::int32_t, 9>& matrix);

// libavformat's display matrix of a stream, if it gives one.
std::optional<std::array<std::int32_t, 9>> stream_display_matrix(const AVStream& stream);

}  // namespace pytovrik::file
