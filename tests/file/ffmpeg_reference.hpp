// The reference every file-level result is held to: a file decoded the way
// the ffmpeg command line decodes it with `-strict 1 -fps_mode passthrough`:
// every packet of the H.264 track sent with its timestamps, flags and side
// data, decode errors passed over, every frame the decoder gives kept.
#pragma once

#include <string>
#include <vector>

#include "support/abi_helpers.hpp"

namespace pytovrik::file::testing {

struct ReferenceDecode {
    std::vector<pytovrik::testing::FrameCopy> frames;  // YUV, as the library lays it out
    std::vector<double> seconds;                       // best-effort timestamps
};

// `threads`: the decoder's thread count, 0 letting FFmpeg choose as the
// command line does. Throws std::runtime_error when the file cannot be
// opened or decoded at all.
ReferenceDecode decode_like_ffmpeg(const std::string& path, int threads = 0);

}  // namespace pytovrik::file::testing
