// RGB export: each selected frame scaled to the requested size and converted
// to RGBA by libswscale, a strip of rows at a time, each strip packed to RGB
// while it is in the cache.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/ffmpeg_owners.hpp"
#include "common/outcome.hpp"
#include "decode/decoded_frames.hpp"
#include "export/source_colour.hpp"

namespace pytovrik {

struct RgbFrame {
    ByteBuffer rgb;  // width * height * 3 bytes, R G B, rows packed
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// A scaling context with the values it was created for.
struct CachedScaler {
    UniqueSwsContext context;
    std::uint32_t source_width = 0;
    std::uint32_t source_height = 0;
    int source_format = AV_PIX_FMT_NONE;
    SourceColour source_colour;
    std::uint32_t destination_width = 0;
    std::uint32_t destination_height = 0;
    int destination_format = AV_PIX_FMT_NONE;
    // The strip of RGBA rows libswscale writes, reused by every frame of the
    // request: a fresh buffer per frame would pay its page faults each time.
    ByteBuffer rgba;
};

// Keeps one scaling context for a whole request and rebuilds it only when the
// decoded format, size, colour matrix or range changes.
class FfmpegRgbConverter {
public:
    // Converts and releases the decoded frame, whatever the outcome.
    Outcome<RgbFrame> convert_to_rgb(FfmpegDecodedFrame frame, std::uint32_t width, std::uint32_t height);

    std::optional<CachedScaler> scaler;
};

Outcome<std::vector<RgbFrame>> decode_selected_h264_packets_to_rgb(std::uint32_t width, std::uint32_t height,
                                                                   PacketBatch packets,
                                                                   const FrameSelection& selection);

Outcome<RgbFrame> convert_frame_to_rgb(const AVFrame& frame, std::uint32_t width, std::uint32_t height,
                                       std::optional<CachedScaler>& scaler);

// Writes every byte of `rgb` (width * height * 3, rows packed) from `frame`
// through `context`, made for this frame and size with RGBA output: strips of
// `strip_rows` rows (a multiple of sws_receive_slice_alignment, or the whole
// height) go through `rgba`, which is resized to one strip when it is not.
// The frame must own its buffers when it goes in more than one strip.
Outcome<void> write_rgb_rows(const AVFrame& frame, SwsContext& context, std::uint32_t width, std::uint32_t height,
                             std::uint32_t strip_rows, ByteBuffer& rgba, std::uint8_t* rgb);

}  // namespace pytovrik
