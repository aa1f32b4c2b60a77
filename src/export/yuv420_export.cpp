#include "export/yuv420_export.hpp"

#include <cstring>
#include <string>

#include "export/chroma_interleave.hpp"
#include "export/input_frame.hpp"
#include "export/pixel_format_names.hpp"
#include "export/selected_frames.hpp"

namespace pytovrik {

// Sizes are computed in std::size_t from 32-bit values; with a 64-bit size
// type a 32-bit width or height always converts.
static_assert(sizeof(std::size_t) >= sizeof(std::uint64_t));

Outcome<PlaneView> frame_plane_ptr(const AVFrame& frame, std::size_t plane, std::size_t row_width) {
    if (plane >= AV_NUM_DATA_POINTERS) {
        return fail("decoded frame plane " + std::to_string(plane) + " does not exist");
    }
    if (frame.data[plane] == nullptr) {
        return fail("decoded frame plane " + std::to_string(plane) + " is null");
    }
    const int line_size = frame.linesize[plane];
    if (line_size < 0) {
        return fail("decoded frame plane " + std::to_string(plane) + " has negative linesize");
    }
    if (static_cast<std::size_t>(line_size) < row_width) {
        return fail("decoded frame plane " + std::to_string(plane) + " linesize " + std::to_string(line_size) +
                    " is smaller than row width " + std::to_string(row_width));
    }
    return PlaneView{frame.data[plane], static_cast<std::size_t>(line_size)};
}

Outcome<ByteBuffer> copy_frame_plane(const AVFrame& frame, std::size_t plane, std::uint32_t row_width,
                                     std::uint32_t row_count) {
    const std::size_t width = row_width;
    const std::size_t rows = row_count;
    std::size_t plane_size = 0;
    if (__builtin_mul_overflow(width, rows, &plane_size)) {
        return fail("plane size overflow");
    }
    const auto source = frame_plane_ptr(frame, plane, width);
    if (!source) {
        return propagate(source);
    }
    auto output = ByteBuffer::allocate(plane_size, "luma plane");
    if (!output) {
        return output;
    }
    if (source->line_size == width) {
        if (plane_size != 0) {
            std::memcpy(output->data(), source->first_byte, plane_size);
        }
        return output;
    }
    for (std::size_t row = 0; row < rows; ++row) {
        std::memcpy(output->data() + row * width, source->first_byte + row * source->line_size, width);
    }
    return output;
}

Outcome<ByteBuffer> interleave_chroma_planes(const AVFrame& frame, std::uint32_t chroma_width,
                                             std::uint32_t chroma_height) {
    const std::size_t width = chroma_width;
    const std::size_t rows = chroma_height;
    std::size_t row_size = 0;
    if (__builtin_mul_overflow(width, std::size_t{2}, &row_size)) {
        return fail("interleaved UV row size overflow");
    }
    std::size_t output_size = 0;
    if (__builtin_mul_overflow(row_size, rows, &output_size)) {
        return fail("interleaved UV size overflow");
    }
    const auto cb = frame_plane_ptr(frame, 1, width);
    if (!cb) {
        return propagate(cb);
    }
    const auto cr = frame_plane_ptr(frame, 2, width);
    if (!cr) {
        return propagate(cr);
    }
    auto output = ByteBuffer::allocate(output_size, "interleaved chroma plane");
    if (!output) {
        return output;
    }
    InterleaveChromaFunction* const interleave_row = fastest_interleave_chroma_row();
    for (std::size_t row = 0; row < rows; ++row) {
        interleave_row(cb->first_byte + row * cb->line_size, cr->first_byte + row * cr->line_size,
                       output->data() + row * row_size, width);
    }
    return output;
}

Outcome<Yuv420Frame> convert_frame_to_yuv420(const AVFrame& frame) {
    if (const AVPixelFormat format = sample_pixel_format(frame); format != AV_PIX_FMT_YUV420P) {
        return fail("yuv420 video output expects FFmpeg to decode yuv420p frames, got " +
                    pixel_format_name(format));
    }
    // The decoder never reports a negative size; read as unsigned it would
    // ask for gigabytes, so such a frame is refused before any allocation.
    if (frame.width < 0 || frame.height < 0) {
        return fail("decoded frame has negative size " + std::to_string(frame.width) + "x" +
                    std::to_string(frame.height));
    }
    const auto width = static_cast<std::uint32_t>(frame.width);
    const auto height = static_cast<std::uint32_t>(frame.height);
    auto y = copy_frame_plane(frame, 0, width, height);
    if (!y) {
        return propagate(y);
    }
    auto uv = interleave_chroma_planes(frame, chroma_size(width), chroma_size(height));
    if (!uv) {
        return propagate(uv);
    }
    return Yuv420Frame{std::move(*y), std::move(*uv), width, height};
}

Outcome<std::vector<Yuv420Frame>> decode_selected_h264_packets_to_yuv420(PacketBatch packets,
                                                                         const FrameSelection& selection) {
    return export_selected_frames<Yuv420Frame>(
        std::move(packets), selection, [](FfmpegDecodedFrame decoded) -> Outcome<Yuv420Frame> {
            // The input frame goes first, then the decoded frame it may borrow.
            const auto input = frame_for_rgb_conversion(decoded);
            if (!input) {
                return propagate(input);
            }
            return convert_frame_to_yuv420(input->as_ref());
        });
}

}  // namespace pytovrik
