// What libavformat says about a file's video track, read from the
// container's headers and the first packets (avformat_find_stream_info),
// without indexing frames: for hosts that sort files before opening them,
// whatever their codec.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/outcome.hpp"
#include "track.hpp"

namespace pytovrik::file {

struct ProbedTrack {
    std::string codec;  // libavcodec's name: "h264", "hevc", "vp9"
    std::string container;
    std::uint32_t width = 0;  // as stored
    std::uint32_t height = 0;
    std::array<std::int32_t, 9> display_matrix{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    Rational frame_rate;  // num 0 when the container gives none
    double start_seconds = 0;
    double duration_seconds = 0;
    std::uint64_t frame_count = 0;  // as the container states it; 0 when it does not
};

// The first H.264 video track, or else the first video track.
Outcome<ProbedTrack> probe_video_track(const std::string& path);

}  // namespace pytovrik::file
