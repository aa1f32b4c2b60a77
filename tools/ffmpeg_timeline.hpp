// The clock ffmpeg's command line puts a file's video on, so that --framecrc
// prints the times `ffmpeg -i FILE -f framecrc -` prints for the same file:
// times count from the file's start (the earliest start of its streams, as
// libavformat reports it; for MPEG-TS, of the video and audio streams that
// ffmpeg decodes by default) in ticks of the frame rate it guesses for the
// video stream.
#pragma once

#include <cstdint>
#include <string>

#include "result.hpp"

namespace pytovrik::cli {

struct FfmpegTimeline {
    // The file's start, in seconds, as it falls on the video stream's time base.
    double start_seconds = 0.0;
    // The frame rate: one tick is rate_den / rate_num seconds.
    std::int64_t rate_num = 25;
    std::int64_t rate_den = 1;

    // The tick of a frame shown at `seconds`, rounded as ffmpeg
    // -fps_mode passthrough rounds it.
    std::int64_t tick(double seconds) const;
};

// Reads the file's header (and, for containers without one, its first
// packets) with libavformat, as ffmpeg does before it decodes.
Outcome<FfmpegTimeline> read_ffmpeg_timeline(const std::string& path);

}  // namespace pytovrik::cli
