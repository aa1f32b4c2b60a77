// A file's frames turned as a player shows them: mirrored left to right when
// the display matrix says so, then turned clockwise by its quarter turns, as
// ffmpeg's autorotation does it. The file layer moves the pixels
// (pytovrik_video_file_turn_planes), as it does for the Python package.
#pragma once

#include <cstdint>
#include <vector>

#include "pytovrik_video.h"

namespace pytovrik::cli {

struct Turn {
    std::uint32_t rotation = 0;  // degrees clockwise: 0, 90, 180, 270
    bool mirrored = false;

    bool identity() const { return rotation == 0 && !mirrored; }
    bool swaps_size() const { return rotation == 90 || rotation == 270; }
};

// A turned copy of a library frame; `frame` points into the copy's own planes.
class TurnedFrame {
public:
    TurnedFrame(const RuntimeFrame& stored, Turn turn);
    TurnedFrame(const TurnedFrame&) = delete;
    TurnedFrame& operator=(const TurnedFrame&) = delete;

    const RuntimeFrame& frame() const { return frame_; }

private:
    RuntimeFrame frame_{};
    std::vector<std::uint8_t> rgb_;
    std::vector<std::uint8_t> y_;
    std::vector<std::uint8_t> uv_;
};

}  // namespace pytovrik::cli
