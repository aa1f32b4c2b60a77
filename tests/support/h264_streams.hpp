// H.264 streams made in-process with libavcodec's libx264 encoder, so tests
// can assert exact content: with lossless coding every decoded sample equals
// the pattern that went in, and the pattern encodes the frame's index.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace pytovrik::testing {

using Packet = std::vector<std::uint8_t>;

// The sample of plane `plane` at (x, y) in frame `index`; chroma planes use
// their own coordinates.
using SampleFunction = std::function<std::uint8_t(int plane, int index, int x, int y)>;

struct StreamRecipe {
    int width = 64;
    int height = 48;
    int frames = 12;
    int b_frames = 2;          // output order differs from decode order when > 0
    int gop = 250;             // keyframe interval
    AVPixelFormat pixel_format = AV_PIX_FMT_YUV420P;
    bool lossless = true;      // qp 0: decoded samples equal the pattern
    bool full_range = false;   // signal full range in the SPS (decodes as YUVJ420P)
    AVColorSpace colour_matrix = AVCOL_SPC_UNSPECIFIED;  // signalled in the SPS when specified
    bool interlaced = false;
    int slices = 0;            // 0: encoder default
    int first_index = 0;       // index of the first frame's pattern
    std::string x264_params;   // extra "key=value:key=value" options
    SampleFunction sample;     // empty: pattern_sample
};

struct YCbCr {
    std::uint8_t y;
    std::uint8_t cb;
    std::uint8_t cr;
};

// For 4:2:0 streams: every frame split at luma column `split_x` (even, so
// chroma splits there too), `left` before it and `right` from it on. A split
// at or past the width gives one flat colour.
SampleFunction split_picture(YCbCr left, YCbCr right, int split_x);

// The sample of plane `plane` at (x, y) in frame `index`, for 8-bit formats.
// Chroma planes use their own coordinates.
std::uint8_t pattern_sample(int plane, int index, int x, int y);

// Encodes recipe.frames pictures of the pattern; one Annex B access unit per
// packet, in decode order, parameter sets in-band before each keyframe.
// Throws std::runtime_error when the encoder refuses the settings.
std::vector<Packet> encode_h264(const StreamRecipe& recipe);

// The same with each packet's pts (in frames) and key frame flag, as a
// container would store them.
struct EncodedPacket {
    Packet bytes;
    std::int64_t pts = 0;
    bool key = false;
};
std::vector<EncodedPacket> encode_h264_with_timestamps(const StreamRecipe& recipe);

// What a YUV 4:2:0 request returns for frame `index` of a lossless 8-bit
// 4:2:0 stream: the packed luma plane, and Cb/Cr interleaved.
std::vector<std::uint8_t> expected_luma(const StreamRecipe& recipe, int index);
std::vector<std::uint8_t> expected_interleaved_chroma(const StreamRecipe& recipe, int index);

// Splits an Annex B byte stream into access units with libavcodec's parser.
std::vector<Packet> split_access_units(std::span<const std::uint8_t> annexb);

std::vector<std::uint8_t> read_binary_file(const std::string& path);

// Concatenates packet lists (e.g. two streams of different sizes).
std::vector<Packet> concatenate(std::vector<Packet> first, const std::vector<Packet>& second);

// The NAL units of an Annex B packet, each without its start code, and the
// packet they make again behind four-byte start codes.
std::vector<Packet> nal_units(const Packet& packet);
Packet annexb(const std::vector<Packet>& units);

// Writes the bits of a NAL unit; finish() adds the stop bit and the
// emulation prevention bytes of the Annex B form, behind a start code.
class NalWriter {
public:
    explicit NalWriter(std::uint8_t header) : header_(header) {}
    void bits(std::uint64_t value, int count);
    void ue(std::uint64_t value);
    Packet finish();

private:
    std::uint8_t header_;
    std::vector<bool> bits_;
};

// The stream with every SPS rewritten to end its VUI before
// bitstream_restriction, so it no longer declares how many pictures wait for
// output (as many encoders write it). Throws std::runtime_error for an SPS
// this rewrite does not read (scaling matrices, 4:4:4).
std::vector<Packet> without_declared_reorder_depth(std::vector<Packet> packets);

}  // namespace pytovrik::testing
