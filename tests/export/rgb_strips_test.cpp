// RGB frames go through RGBA a strip of rows at a time. Strips of any height
// must give the bytes one pass over the whole frame gives, write every byte
// of the output and nothing past it: for every pixel format the decoder
// gives, widths 1 to 130, odd and even heights, both ranges, every matrix,
// at the decoded size (FFmpeg's unscaled converters, some of which skip a
// row's last pixels or write past it) and scaled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "decode/ffmpeg_startup.hpp"
#include "export/rgb_export.hpp"

namespace pytovrik::testing {
namespace {

// Everything the H.264 decoder gives: three chroma formats and planar RGB at
// every bit depth, and the full-range variants of 8-bit YUV.
const std::vector<AVPixelFormat> DECODER_FORMATS = {
    AV_PIX_FMT_YUV420P,   AV_PIX_FMT_YUVJ420P,  AV_PIX_FMT_YUV422P,   AV_PIX_FMT_YUVJ422P,  AV_PIX_FMT_YUV444P,
    AV_PIX_FMT_YUVJ444P,  AV_PIX_FMT_GBRP,      AV_PIX_FMT_YUV420P9,  AV_PIX_FMT_YUV422P9,  AV_PIX_FMT_YUV444P9,
    AV_PIX_FMT_GBRP9,     AV_PIX_FMT_YUV420P10, AV_PIX_FMT_YUV422P10, AV_PIX_FMT_YUV444P10, AV_PIX_FMT_GBRP10,
    AV_PIX_FMT_YUV420P12, AV_PIX_FMT_YUV422P12, AV_PIX_FMT_YUV444P12, AV_PIX_FMT_GBRP12,    AV_PIX_FMT_YUV420P14,
    AV_PIX_FMT_YUV422P14, AV_PIX_FMT_YUV444P14, AV_PIX_FMT_GBRP14,
};

struct Colour {
    AVColorSpace matrix;
    AVColorRange range;
};

// A frame of pseudo-random samples within the format's bit depth, padding
// included, owning its buffers as decoded frames do.
UniqueAVFrame random_frame(AVPixelFormat format, int width, int height, Colour colour, std::uint32_t seed) {
    UniqueAVFrame frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->colorspace = colour.matrix;
    frame->color_range = colour.range;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const int depth = descriptor->comp[0].depth;
    for (int plane = 0; plane < 4 && frame->data[plane] != nullptr; ++plane) {
        const int rows = plane == 1 || plane == 2 ? AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h) : height;
        for (int y = 0; y < rows; ++y) {
            std::uint8_t* row = frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane];
            for (int x = 0; x < frame->linesize[plane]; x += depth > 8 ? 2 : 1) {
                seed = seed * 1664525U + 1013904223U;
                const auto sample = static_cast<std::uint16_t>((seed >> 8) & ((1U << depth) - 1));
                row[x] = static_cast<std::uint8_t>(sample);
                if (depth > 8) {
                    row[x + 1] = static_cast<std::uint8_t>(sample >> 8);
                }
            }
        }
    }
    return frame;
}

// Converts `frame` to width x height once as a whole and then in strips of
// 1, 2 and 3 times libswscale's alignment, each into a buffer filled with a
// marker and followed by guard bytes, and reports the first difference.
std::string strip_difference(const AVFrame& frame, std::uint32_t width, std::uint32_t height) {
    std::optional<CachedScaler> scaler;
    // A frame this small is one strip: the pass over the whole frame.
    auto whole = convert_frame_to_rgb(frame, width, height, scaler);
    if (!whole) {
        return whole.error().message;
    }
    const std::size_t size = whole->rgb.size();
    const unsigned alignment = sws_receive_slice_alignment(scaler->context.get());
    constexpr std::size_t GUARD = 64;
    for (const std::uint32_t strip_rows : {alignment, 2 * alignment, 3 * alignment}) {
        if (strip_rows >= height) {
            break;
        }
        // An unwritten byte keeps one of the two markers.
        for (const std::uint8_t marker : {std::uint8_t{0xA5}, std::uint8_t{0x5A}}) {
            std::vector<std::uint8_t> rgb(size + GUARD, marker);
            const auto written = write_rgb_rows(frame, *scaler->context, width, height, strip_rows, scaler->rgba,
                                                rgb.data());
            const std::string what = "strips of " + std::to_string(strip_rows) + ": ";
            if (!written) {
                return what + written.error().message;
            }
            for (std::size_t i = 0; i < rgb.size(); ++i) {
                const std::uint8_t expected = i < size ? whole->rgb.data()[i] : marker;
                if (rgb[i] != expected) {
                    return what + "byte " + std::to_string(i) + " of " + std::to_string(size) + " is " +
                           std::to_string(rgb[i]) + ", expected " + std::to_string(expected);
                }
            }
        }
    }
    return "";
}

class RgbStrips : public ::testing::Test {
protected:
    void SetUp() override {
        ensure_ffmpeg_initialized();
        av_log_set_level(AV_LOG_ERROR);  // not a warning per YUVJ context
    }

    // Checks every format at sizes `widths` x `heights`, each converted at
    // its own size and scaled down and up, in every colour of `colours`.
    static void expect_whole_frame_bytes(const std::vector<int>& widths, const std::vector<int>& heights,
                                         const std::vector<Colour>& colours) {
        int failures = 0;
        std::uint32_t seed = 1;
        for (const AVPixelFormat format : DECODER_FORMATS) {
            for (const Colour colour : colours) {
                for (const int width : widths) {
                    for (const int height : heights) {
                        const UniqueAVFrame frame = random_frame(format, width, height, colour, ++seed);
                        const auto w = static_cast<std::uint32_t>(width);
                        const auto h = static_cast<std::uint32_t>(height);
                        for (const auto& [out_width, out_height] :
                             {std::pair{w, h}, std::pair{std::max(w / 3, 1U), std::max(h / 2, 1U)},
                              std::pair{2 * w + 1, 2 * h + 1}}) {
                            const std::string difference = strip_difference(*frame, out_width, out_height);
                            if (!difference.empty() && ++failures <= 5) {
                                ADD_FAILURE() << av_get_pix_fmt_name(format) << ", "
                                              << av_color_space_name(colour.matrix) << ", "
                                              << av_color_range_name(colour.range) << " range, " << width << "x" << height
                                              << " to " << out_width << "x" << out_height << ": " << difference;
                            }
                        }
                    }
                }
            }
        }
        EXPECT_EQ(failures, 0);
    }
};

TEST_F(RgbStrips, EveryWidthAndHeightGivesTheWholeFrameBytes) {
    std::vector<int> widths;
    for (int width = 1; width <= 130; ++width) {
        widths.push_back(width);
    }
    expect_whole_frame_bytes(widths, {1, 2, 17}, {{AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED}});
}

TEST_F(RgbStrips, EveryRangeAndMatrixGivesTheWholeFrameBytes) {
    std::vector<Colour> colours;
    for (const AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
        for (int matrix = 0; matrix < AVCOL_SPC_NB; ++matrix) {
            colours.push_back({static_cast<AVColorSpace>(matrix), range});
        }
    }
    // Widths on both sides of FFmpeg's groups of 16 pixels, and two where its
    // unscaled converters were seen to skip pixels.
    expect_whole_frame_bytes({1, 15, 16, 70, 326}, {2, 17}, colours);
}

}  // namespace
}  // namespace pytovrik::testing
