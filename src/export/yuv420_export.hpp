// YUV 4:2:0 export: a packed luma plane and one chroma plane with Cb and Cr
// interleaved (NV12 byte order), at the decoded size. Bytes are moved, never
// converted, so only 8-bit limited-range 4:2:0 frames are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/outcome.hpp"
#include "decode/decoded_frames.hpp"

namespace pytovrik {

struct Yuv420Frame {
    ByteBuffer y;   // width * height bytes
    ByteBuffer uv;  // ceil(height / 2) rows of ceil(width / 2) Cb, Cr pairs
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct PlaneView {
    const std::uint8_t* first_byte;
    std::size_t line_size;
};

Outcome<std::vector<Yuv420Frame>> decode_selected_h264_packets_to_yuv420(PacketBatch packets,
                                                                         const FrameSelection& selection);

Outcome<Yuv420Frame> convert_frame_to_yuv420(const AVFrame& frame);

Outcome<ByteBuffer> copy_frame_plane(const AVFrame& frame, std::size_t plane, std::uint32_t row_width,
                                     std::uint32_t row_count);

Outcome<ByteBuffer> interleave_chroma_planes(const AVFrame& frame, std::uint32_t chroma_width,
                                             std::uint32_t chroma_height);

Outcome<PlaneView> frame_plane_ptr(const AVFrame& frame, std::size_t plane, std::size_t row_width);

// Half a dimension rounded up, without overflow even for 0xffffffff.
constexpr std::uint32_t chroma_size(std::uint32_t luma_size) noexcept {
    return luma_size / 2 + (luma_size % 2);
}

}  // namespace pytovrik
