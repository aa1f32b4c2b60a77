// The reference every container reader is held to: the packets of a file's
// first H.264 video track exactly as libavformat's demuxer gives them to the
// ffmpeg command line, which reads again after EAGAIN and stops at any other
// error.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "track.hpp"

namespace pytovrik::file::testing {

struct DemuxedPacket {
    std::int64_t position = -1;  // AVPacket::pos
    std::uint32_t size = 0;
    std::int64_t pts = NO_PTS;
    std::int64_t dts = NO_PTS;
    bool key = false;
    bool discard = false;
    bool corrupt = false;
    bool new_extradata = false;  // carries AV_PKT_DATA_NEW_EXTRADATA side data
    ByteVector bytes;
};

struct DemuxedTrack {
    std::string container;  // AVInputFormat::name
    Rational time_base;
    Rational frame_rate;  // AVStream::avg_frame_rate
    // The display matrix side data; the identity without one.
    std::array<std::int32_t, 9> display_matrix{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    ByteVector extradata;
    std::vector<DemuxedPacket> packets;
    // What ended the read: 0 at a clean end of file, else the error code.
    int end_code = 0;
};

// Reads every packet of the first H.264 video track. Throws std::runtime_error
// when the file cannot be opened or has no such track.
DemuxedTrack demux_with_libavformat(const std::string& path);

}  // namespace pytovrik::file::testing
