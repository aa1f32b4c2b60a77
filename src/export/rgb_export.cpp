#include "export/rgb_export.hpp"

#include <climits>
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
    std::uint64_t rgba_line_size;   // what libswscale is told; see padded_rgba_line_size
    std::uint64_t rgba_frame_size;  // rgba_line_size * H: the buffer libswscale fills
    std::uint64_t rgb_row_size;
    std::uint64_t rgb_frame_size;
};

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
    // Cannot overflow: the padded line fits an int and H is below 2^32.
    const std::uint64_t line_size = padded_rgba_line_size(rgba_row_size);
    return RgbFrameSizes{line_size, line_size * h, rgb_row_size, rgb_frame_size};
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
        return std::unexpected(sizes.error());
    }
    const auto context = scaler_for(frame, source_format, width, height, scaler);
    if (!context) {
        return std::unexpected(context.error());
    }
    if (!sizes) {
        return std::unexpected(sizes.error());
    }
    ByteBuffer* const rgba = &scaler->rgba;
    if (rgba->size() != sizes->rgba_frame_size) {
        auto fresh = ByteBuffer::allocate(sizes->rgba_frame_size, "RGBA frame");
        if (!fresh) {
            return std::unexpected(std::move(fresh.error()));
        }
        *rgba = std::move(*fresh);
    }
    std::uint8_t* const destination[AV_NUM_DATA_POINTERS] = {rgba->data()};
    const int destination_strides[AV_NUM_DATA_POINTERS] = {static_cast<int>(sizes->rgba_line_size)};
    const int rows = sws_scale(*context, frame.data, frame.linesize, 0, frame.height, destination,
                               destination_strides);
    if (rows < 0) {
        return fail("failed to convert decoded frame to RGB: sws_scale returned " + std::to_string(rows));
    }
    if (static_cast<std::uint32_t>(rows) != height) {
        return fail("failed to convert decoded frame to RGB: sws_scale wrote " + std::to_string(rows) +
                    " rows, expected " + std::to_string(height));
    }
    auto rgb = ByteBuffer::allocate(sizes->rgb_frame_size, "RGB frame");
    if (!rgb) {
        return std::unexpected(std::move(rgb.error()));
    }
    if (sizes->rgba_line_size == std::uint64_t{width} * 4) {
        drop_alpha(rgba->data(), rgb->data(), std::size_t{width} * height);
    } else {
        for (std::size_t row = 0; row < height; ++row) {
            drop_alpha(rgba->data() + row * sizes->rgba_line_size, rgb->data() + row * sizes->rgb_row_size, width);
        }
    }
    return RgbFrame{std::move(*rgb), width, height};
}

Outcome<RgbFrame> FfmpegRgbConverter::convert_to_rgb(FfmpegDecodedFrame frame, std::uint32_t width,
                                                     std::uint32_t height) {
    // Held here, not in the parameter the caller destroys, so that it goes
    // before this returns and after the input frame made from it.
    const FfmpegDecodedFrame decoded = std::move(frame);
    const auto input = frame_for_rgb_conversion(decoded);
    if (!input) {
        return std::unexpected(input.error());
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
