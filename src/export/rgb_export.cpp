#include "export/rgb_export.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include "decode/ffmpeg_startup.hpp"
#include "export/alpha_drop.hpp"
#include "export/input_frame.hpp"
#include "export/selected_frames.hpp"

namespace pytovrik {

namespace {

bool scaler_fits(const CachedScaler& scaler, const AVFrame& frame, AVPixelFormat source_format,
                 const SourceColour& colour, std::uint32_t width, std::uint32_t height) {
    return scaler.source_format == source_format && scaler.source_colour == colour &&
           scaler.source_width == static_cast<std::uint32_t>(frame.width) &&
           scaler.source_height == static_cast<std::uint32_t>(frame.height) &&
           scaler.destination_format == AV_PIX_FMT_RGBA && scaler.destination_width == width &&
           scaler.destination_height == height;
}

Failure scaler_creation_failure() {
    return Failure{"failed to create video scaler: " + ffmpeg_error_text(AVERROR_INVALIDDATA)};
}

// Finds or builds the context for this frame, read as `source_format`; a
// failed build keeps the old one.
Outcome<SwsContext*> scaler_for(const AVFrame& frame, AVPixelFormat source_format, std::uint32_t width,
                                std::uint32_t height, std::optional<CachedScaler>& scaler) {
    const SourceColour colour = source_colour(frame, source_format);
    if (scaler && scaler_fits(*scaler, frame, source_format, colour, width, height)) {
        return scaler->context.get();
    }
    // libswscale aborts the process on a source format it cannot read (NONE
    // included) instead of returning NULL, so such a frame fails as a NULL
    // return would, without asking it.
    if (sws_isSupportedInput(source_format) == 0) {
        return std::unexpected(scaler_creation_failure());
    }
    // Sizes reach FFmpeg as int: values of 2^31 or more arrive negative and
    // libswscale refuses them.
    UniqueSwsContext context(sws_getContext(frame.width, frame.height, source_format,
                                            static_cast<int>(width), static_cast<int>(height), AV_PIX_FMT_RGBA,
                                            SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!context || !apply_source_colour(*context, colour)) {
        return std::unexpected(scaler_creation_failure());
    }
    // The requested size, and so the RGBA buffer's, is the same for the
    // whole request: the buffer outlives the context it was filled by.
    ByteBuffer rgba = scaler ? std::move(scaler->rgba) : ByteBuffer();
    scaler.reset();
    scaler.emplace(CachedScaler{std::move(context), static_cast<std::uint32_t>(frame.width),
                                static_cast<std::uint32_t>(frame.height), source_format, colour, width, height,
                                AV_PIX_FMT_RGBA, std::move(rgba)});
    return scaler->context.get();
}

// The byte counts of one frame, from the requested size alone.
struct RgbFrameSizes {
    std::uint64_t rgba_line_size;  // what libswscale is told; see padded_rgba_line_size
    std::uint64_t rgb_frame_size;
};

// libswscale's packed 24-bit output is not what its RGBA output gives with
// alpha dropped: scaled 4:2:0, 4:2:2 and 4:4:0 sources come out different
// (FFmpeg 5.1, every pixel format the decoder gives, widths 1 to 130, both
// ranges, every matrix), and at the decoded size its x86 converters leave a
// row's last width % 8 pixels unwritten and write up to 24 bytes past the
// row's end when rows are packed. So frames go through RGBA, but a strip of
// rows at a time, each packed to RGB while it is still in the core's cache
// rather than a whole frame's RGBA (8 MiB at 1080p) written out and read
// back. A quarter of a 1 MiB L2 leaves room for the source rows a strip reads
// and the RGB it becomes.
constexpr std::uint64_t RGBA_STRIP_BYTES = std::uint64_t{256} << 10;

// The release function of an FFmpeg buffer that views memory owned elsewhere.
void leave_to_owner(void*, std::uint8_t*) noexcept {}

// Rows per strip: a multiple of what libswscale accepts as a slice of its
// output (2 where its converters pair rows), or the whole frame.
std::uint32_t rows_per_strip(std::uint64_t line_size, std::uint32_t height, unsigned alignment) {
    const std::uint64_t unit = std::max(alignment, 1U);
    const std::uint64_t rows = std::max(RGBA_STRIP_BYTES / line_size / unit, std::uint64_t{1}) * unit;
    return rows >= height ? height : static_cast<std::uint32_t>(rows);
}

// FFmpeg 5.1's x86 YUV-to-RGB converters, which libswscale picks when the
// size does not change, write whole groups of 8 pixels and skip a row's last
// width % 8 pixels when the line size leaves no room for one more group; those
// pixels would reach the host as uninitialised heap bytes. Rows padded to 64
// bytes (16 pixels) always leave room, and the padding never reaches the host.
constexpr std::uint64_t RGBA_LINE_ALIGNMENT = 64;

std::uint64_t padded_rgba_line_size(std::uint64_t row_size) {
    const std::uint64_t padded = (row_size + RGBA_LINE_ALIGNMENT - 1) / RGBA_LINE_ALIGNMENT * RGBA_LINE_ALIGNMENT;
    // Only widths libswscale refuses anyway come this close to the limit.
    return padded <= static_cast<std::uint64_t>(INT_MAX) ? padded : row_size;
}

// The checks run in a fixed order and the first failure names the message.
Outcome<RgbFrameSizes> rgb_frame_sizes(std::uint32_t width, std::uint32_t height) {
    const std::uint64_t w = width;
    const std::uint64_t h = height;
    std::uint64_t rgba_row_size = 0;
    std::uint64_t rgba_frame_size = 0;
    std::uint64_t rgb_row_size = 0;
    std::uint64_t rgb_frame_size = 0;
    if (__builtin_mul_overflow(w, 4U, &rgba_row_size)) {
        return fail("RGBA row size overflow");
    }
    if (__builtin_mul_overflow(rgba_row_size, h, &rgba_frame_size)) {
        return fail("RGBA frame size overflow");
    }
    if (__builtin_mul_overflow(w, 3U, &rgb_row_size)) {
        return fail("RGB row size overflow");
    }
    if (__builtin_mul_overflow(rgb_row_size, h, &rgb_frame_size)) {
        return fail("RGB frame size overflow");
    }
    if (rgba_row_size > static_cast<std::uint64_t>(INT_MAX)) {
        return fail("RGBA row size exceeds FFmpeg line size limits");
    }
    return RgbFrameSizes{padded_rgba_line_size(rgba_row_size), rgb_frame_size};
}

// Whether libswscale would start building filters for these sizes rather
// than refuse them at once (it refuses a format it cannot read, and any size
// below 1, which is where values of 2^31 or more land).
bool scaler_would_build_filters(const AVFrame& frame, AVPixelFormat source_format, std::uint32_t width,
                                std::uint32_t height) {
    return sws_isSupportedInput(source_format) != 0 && frame.width > 0 &&
           frame.height > 0 && static_cast<int>(width) > 0 && static_cast<int>(height) > 0;
}

}  // namespace

Outcome<RgbFrame> convert_frame_to_rgb(const AVFrame& frame, std::uint32_t width, std::uint32_t height,
                                       std::optional<CachedScaler>& scaler) {
    const AVPixelFormat source_format = sample_pixel_format(frame);
    const auto sizes = rgb_frame_sizes(width, height);
    // For a width whose RGBA rows no int line size can describe, libswscale
    // allocates gigabytes of filters (2 GB and seconds of work for 2^29
    // pixels) before it gives up, so the size failure comes first there. Sizes
    // it refuses outright still go to it, to fail as a refused scaler.
    if (!sizes && scaler_would_build_filters(frame, source_format, width, height)) {
        return propagate(sizes);
    }
    const auto context = scaler_for(frame, source_format, width, height, scaler);
    if (!context) {
        return propagate(context);
    }
    if (!sizes) {
        return propagate(sizes);
    }
    auto rgb = ByteBuffer::allocate(sizes->rgb_frame_size, "RGB frame");
    if (!rgb) {
        return propagate(rgb);
    }
    // A frame that owns no buffers (only tests make one) would be copied
    // whole for every strip, so it goes in one.
    const std::uint32_t strip_rows =
        frame.buf[0] == nullptr ? height
                                : rows_per_strip(sizes->rgba_line_size, height, sws_receive_slice_alignment(*context));
    if (auto written = write_rgb_rows(frame, **context, width, height, strip_rows, scaler->rgba, rgb->data());
        !written) {
        return propagate(written);
    }
    return RgbFrame{std::move(*rgb), width, height};
}

Outcome<void> write_rgb_rows(const AVFrame& frame, SwsContext& context, std::uint32_t width, std::uint32_t height,
                             std::uint32_t strip_rows, ByteBuffer& rgba, std::uint8_t* rgb) {
    // The line size was checked against INT_MAX when the sizes were made.
    const std::uint64_t line_size = padded_rgba_line_size(std::uint64_t{width} * 4);
    const std::uint64_t rgb_row_size = std::uint64_t{width} * 3;
    if (rgba.size() != line_size * strip_rows) {
        auto fresh = ByteBuffer::allocate(line_size * strip_rows, strip_rows == height ? "RGBA frame" : "RGBA strip");
        if (!fresh) {
            return propagate(fresh);
        }
        rgba = std::move(*fresh);
    }
    const int destination_strides[AV_NUM_DATA_POINTERS] = {static_cast<int>(line_size)};
    const auto pack = [&](std::uint32_t first_row, std::uint32_t rows) {
        std::uint8_t* const out = rgb + first_row * rgb_row_size;
        if (line_size == std::uint64_t{width} * 4) {
            drop_alpha(rgba.data(), out, std::size_t{width} * rows);
            return;
        }
        for (std::size_t row = 0; row < rows; ++row) {
            drop_alpha(rgba.data() + row * line_size, out + row * rgb_row_size, width);
        }
    };
    if (strip_rows == height) {
        std::uint8_t* const destination[AV_NUM_DATA_POINTERS] = {rgba.data()};
        const int rows = sws_scale(&context, frame.data, frame.linesize, 0, frame.height, destination,
                                   destination_strides);
        if (rows < 0) {
            return fail("failed to convert decoded frame to RGB: sws_scale returned " + std::to_string(rows));
        }
        if (static_cast<std::uint32_t>(rows) != height) {
            return fail("failed to convert decoded frame to RGB: sws_scale wrote " + std::to_string(rows) +
                        " rows, expected " + std::to_string(height));
        }
        pack(0, height);
        return {};
    }
    // libswscale writes output rows [first, first + n) at data[0] plus first
    // line sizes, from a destination frame fixed for one frame_start; so each
    // strip gets a frame of its own whose rows start that far before the
    // strip's buffer. Only libswscale's sum points into it.
    UniqueAVFrame destination(av_frame_alloc());
    if (destination) {
        destination->buf[0] = av_buffer_create(rgba.data(), rgba.size(), &leave_to_owner, nullptr, 0);
    }
    if (!destination || destination->buf[0] == nullptr) {
        return fail("failed to allocate FFmpeg frame for RGBA strips");
    }
    destination->format = AV_PIX_FMT_RGBA;
    destination->width = static_cast<int>(width);
    destination->height = static_cast<int>(height);
    destination->linesize[0] = static_cast<int>(line_size);
    for (std::uint32_t first_row = 0; first_row < height; first_row += strip_rows) {
        const std::uint32_t rows = std::min(strip_rows, height - first_row);
        destination->data[0] =
            reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(rgba.data()) - first_row * line_size);
        int code = sws_frame_start(&context, destination.get(), &frame);
        if (code >= 0) {
            code = sws_send_slice(&context, 0, static_cast<unsigned>(frame.height));
        }
        if (code >= 0) {
            code = sws_receive_slice(&context, first_row, rows);
        }
        sws_frame_end(&context);
        if (code < 0) {
            return fail("failed to convert decoded frame to RGB: " + ffmpeg_error_text(code));
        }
        pack(first_row, rows);
    }
    return {};
}

Outcome<RgbFrame> FfmpegRgbConverter::convert_to_rgb(FfmpegDecodedFrame frame, std::uint32_t width,
                                                     std::uint32_t height) {
    // Held here, not in the parameter the caller destroys, so that it goes
    // before this returns and after the input frame made from it.
    const FfmpegDecodedFrame decoded = std::move(frame);
    const auto input = frame_for_rgb_conversion(decoded);
    if (!input) {
        return propagate(input);
    }
    return convert_frame_to_rgb(input->as_ref(), width, height, scaler);
}

Outcome<std::vector<RgbFrame>> decode_selected_h264_packets_to_rgb(std::uint32_t width, std::uint32_t height,
                                                                   PacketBatch packets,
                                                                   const FrameSelection& selection) {
    // Outlives the walk: the sequence goes first, then the frames already
    // converted, then the converter with its scaling context.
    FfmpegRgbConverter converter;
    return export_selected_frames<RgbFrame>(std::move(packets), selection, [&](FfmpegDecodedFrame decoded) {
        return converter.convert_to_rgb(std::move(decoded), width, height);
    });
}

}  // namespace pytovrik
