// The RGB output of conformance streams against libswscale driven directly,
// on frames this test decodes itself: the library must add nothing and lose
// nothing on the way, so the bytes must be identical (tolerance 0).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/abi_helpers.hpp"
#include "support/h264_streams.hpp"

#include "common/ffmpeg_owners.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace pytovrik::testing {
namespace {


// FFmpeg 5.1's unscaled YUV-to-RGB converters leave a row's last width % 8
// pixels unwritten when the line ends right after them; this much room makes
// them write every pixel.
constexpr int LINE_SLACK = 64;

// The matrix and range a stream signals, as the test tells libswscale.
struct ColourDetails {
    AVColorSpace matrix;
    bool full_range;
};

// The destination side and picture adjustments at libswscale's defaults
// (RGB is full range whatever the range flag; brightness 0, contrast and
// saturation 1.0 in 16.16).
void tell_colour_details(SwsContext& scaler, ColourDetails details) {
    const int matrix = details.matrix == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : details.matrix;
    ASSERT_EQ(sws_setColorspaceDetails(&scaler, sws_getCoefficients(matrix), details.full_range ? 1 : 0,
                                       sws_getCoefficients(SWS_CS_DEFAULT), 0, 0, 1 << 16, 1 << 16),
              0);
}

// Without details, libswscale's defaults for the frame's format.
std::vector<std::uint8_t> reference_rgb(const AVFrame& frame, int width, int height,
                                        std::optional<ColourDetails> details) {
    UniqueSwsContext scaler(
        sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), width, height,
                       AV_PIX_FMT_RGBA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    EXPECT_NE(scaler, nullptr);
    if (details) {
        tell_colour_details(*scaler, *details);
    }
    const int line_size = width * 4 + LINE_SLACK;
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(line_size) * static_cast<std::size_t>(height));
    std::uint8_t* const planes[4] = {rgba.data()};
    const int strides[4] = {line_size};
    EXPECT_EQ(sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides), height);
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* pixel = &rgba[static_cast<std::size_t>(y * line_size + x * 4)];
            rgb.insert(rgb.end(), pixel, pixel + 3);
        }
    }
    return rgb;
}

// Every frame of the stream decoded single-threaded, converted by the test.
std::vector<std::vector<std::uint8_t>> reference_frames(const std::vector<Packet>& packets, int width, int height,
                                                        std::optional<ColourDetails> details = {}) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    UniqueAVCodecContext decoder(avcodec_alloc_context3(codec));
    decoder->thread_count = 1;
    EXPECT_EQ(avcodec_open2(decoder.get(), codec, nullptr), 0);
    UniqueAVPacket packet(av_packet_alloc());
    UniqueAVFrame frame(av_frame_alloc());
    std::vector<std::vector<std::uint8_t>> frames;
    const auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            frames.push_back(reference_rgb(*frame, width, height, details));
            av_frame_unref(frame.get());
        }
    };
    for (const Packet& unit : packets) {
        EXPECT_EQ(av_new_packet(packet.get(), static_cast<int>(unit.size())), 0);
        std::copy(unit.begin(), unit.end(), packet->data);
        EXPECT_EQ(avcodec_send_packet(decoder.get(), packet.get()), 0);
        av_packet_unref(packet.get());
        drain();
    }
    EXPECT_EQ(avcodec_send_packet(decoder.get(), nullptr), 0);
    drain();
    return frames;
}

struct Case {
    std::string name;
    std::string file;
    int source_width;
    int source_height;
    std::size_t frames;
};

void PrintTo(const Case& stream, std::ostream* out) { *out << stream.name; }

class RgbConformance : public ::testing::TestWithParam<Case> {};

TEST_P(RgbConformance, MatchesLibswscaleAtSourceSizeAndScaled) {
    const Case& stream = GetParam();
    const auto packets =
        split_access_units(read_binary_file(std::string(PYTOVRIK_TEST_DATA_DIR) + "/conformance/" + stream.file));
    struct Size {
        int width;
        int height;
    };
    for (const Size size : {Size{stream.source_width, stream.source_height}, Size{160, 120}, Size{33, 17}}) {
        const std::string what = std::to_string(size.width) + "x" + std::to_string(size.height);
        const auto expected = reference_frames(packets, size.width, size.height);
        ASSERT_EQ(expected.size(), stream.frames) << what;
        const auto frames = decode_frames(packets, 0, {}, static_cast<std::uint32_t>(size.width),
                                          static_cast<std::uint32_t>(size.height));
        ASSERT_TRUE(frames.has_value()) << what;
        ASSERT_EQ(frames->size(), expected.size()) << what;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ((*frames)[i].rgb, expected[i]) << what << ", frame " << i;
        }
    }
}

// 326 columns: not a multiple of 8, where libswscale's unscaled path needs
// room at the end of each row.
INSTANTIATE_TEST_SUITE_P(Streams, RgbConformance,
                         ::testing::Values(Case{"sva_base_b", "streams/SVA_Base_B.264", 176, 144, 17},
                                           Case{"cvfc1_sony_c", "streams/CVFC1_Sony_C.jsv", 326, 168, 50}),
                         [](const ::testing::TestParamInfo<Case>& stream) { return stream.param.name; });

// Each source format in one batch of streams that signal every matrix at
// both ranges, so that matrix and range also change within a request.
TEST(RgbSignalledColour, MatchesLibswscaleToldTheSameMatrixAndRange) {
    const std::vector<AVColorSpace> matrices{AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT709,     AVCOL_SPC_BT470BG,
                                             AVCOL_SPC_SMPTE170M,   AVCOL_SPC_SMPTE240M, AVCOL_SPC_FCC,
                                             AVCOL_SPC_BT2020_NCL};
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10, AV_PIX_FMT_YUV422P}) {
        std::vector<std::vector<Packet>> streams;
        std::vector<std::optional<ColourDetails>> details;
        for (const AVColorSpace matrix : matrices) {
            for (const bool full_range : {false, true}) {
                streams.push_back(encode_h264({.width = 70, .height = 50, .frames = 2, .b_frames = 0,
                                               .pixel_format = format, .full_range = full_range,
                                               .colour_matrix = matrix}));
                details.push_back(matrix == AVCOL_SPC_UNSPECIFIED && !full_range
                                      ? std::nullopt
                                      : std::optional(ColourDetails{matrix, full_range}));
            }
        }
        std::vector<Packet> batch;
        for (const auto& stream : streams) {
            batch = concatenate(std::move(batch), stream);
        }
        for (const auto& [width, height] : {std::pair{70, 50}, std::pair{33, 17}}) {
            const std::string what = std::string(av_get_pix_fmt_name(format)) + " " + std::to_string(width) + "x" +
                                     std::to_string(height);
            const auto frames = decode_frames(batch, 0, {}, static_cast<std::uint32_t>(width),
                                              static_cast<std::uint32_t>(height));
            ASSERT_TRUE(frames.has_value()) << what;
            ASSERT_EQ(frames->size(), 2 * streams.size()) << what;
            for (std::size_t s = 0; s < streams.size(); ++s) {
                const auto expected = reference_frames(streams[s], width, height, details[s]);
                ASSERT_EQ(expected.size(), 2U) << what;
                for (std::size_t i = 0; i < 2; ++i) {
                    EXPECT_EQ((*frames)[2 * s + i].rgb, expected[i])
                        << what << ", matrix " << av_color_space_name(matrices[s / 2]) << (s % 2 ? " full" : " limited")
                        << " range, frame " << i;
                }
            }
            // The same samples: a matrix or range that were not applied
            // would leave the pictures equal.
            EXPECT_NE((*frames)[0].rgb, (*frames)[2].rgb) << what << ": full range";
            EXPECT_NE((*frames)[0].rgb, (*frames)[4].rgb) << what << ": BT.709";
        }
    }
}

}  // namespace
}  // namespace pytovrik::testing
