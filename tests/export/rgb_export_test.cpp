// RGB output: pictures of known colours must come back as those colours at
// any requested size, one scaling context must serve a request while the
// decoded size stays, and every failure must leave nothing behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "decode/decoder_pool.hpp"
#include "decode/ffmpeg_startup.hpp"
#include "export/rgb_export.hpp"
#include "support/abi_helpers.hpp"
#include "support/internal_helpers.hpp"
#include "support/h264_streams.hpp"

namespace pytovrik::testing {
namespace {

const std::string SCALER_REFUSED = "failed to create video scaler: Invalid data found when processing input";

// The driver's failure message, or "" on success.
std::string rgb_failure(const std::vector<Packet>& packets, std::uint32_t width, std::uint32_t height,
                        std::vector<std::uint64_t> positions = {}) {
    auto frames = decode_selected_h264_packets_to_rgb(width, height, to_batch(packets),
                                                      FrameSelection(std::move(positions)));
    return frames ? "" : frames.error().message;
}

struct Rgb {
    int r;
    int g;
    int b;
};

int clamp_to_byte(double value) { return std::clamp(static_cast<int>(std::lround(value)), 0, 255); }

// Studio-swing BT.601, libswscale's default for a 4:2:0 source without
// colour properties.
Rgb limited_range_rgb(YCbCr c) {
    const double y = 1.164383 * (c.y - 16);
    return {clamp_to_byte(y + 1.596027 * (c.cr - 128)),
            clamp_to_byte(y - 0.391762 * (c.cb - 128) - 0.812968 * (c.cr - 128)),
            clamp_to_byte(y + 2.017232 * (c.cb - 128))};
}

Rgb full_range_rgb(YCbCr c) {
    return {clamp_to_byte(c.y + 1.402 * (c.cr - 128)),
            clamp_to_byte(c.y - 0.344136 * (c.cb - 128) - 0.714136 * (c.cr - 128)),
            clamp_to_byte(c.y + 1.772 * (c.cb - 128))};
}

// libswscale's fixed-point conversion and fast bilinear filter stay this
// close to the exact formula on flat areas.
constexpr int TOLERANCE = 3;

// Checks the pixels of `rgb` (width x height) whose columns `columns` keeps.
template <class Keep>
void expect_colour(const std::vector<std::uint8_t>& rgb, std::uint32_t width, std::uint32_t height, Rgb expected,
                   Keep columns, const std::string& what) {
    ASSERT_EQ(rgb.size(), std::size_t{width} * height * 3) << what;
    int wrong = 0;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            if (!columns(x)) {
                continue;
            }
            const std::uint8_t* pixel = &rgb[(std::size_t{y} * width + x) * 3];
            if (std::abs(pixel[0] - expected.r) > TOLERANCE || std::abs(pixel[1] - expected.g) > TOLERANCE ||
                std::abs(pixel[2] - expected.b) > TOLERANCE) {
                if (++wrong <= 3) {
                    ADD_FAILURE() << what << ": pixel (" << x << ", " << y << ") is " << int{pixel[0]} << " "
                                  << int{pixel[1]} << " " << int{pixel[2]} << ", expected " << expected.r << " "
                                  << expected.g << " " << expected.b;
                }
            }
        }
    }
    EXPECT_EQ(wrong, 0) << what;
}

void expect_flat(const std::vector<std::uint8_t>& rgb, std::uint32_t width, std::uint32_t height, Rgb expected,
                 const std::string& what) {
    expect_colour(rgb, width, height, expected, [](std::uint32_t) { return true; }, what);
}

constexpr YCbCr GREY{128, 128, 128};
constexpr YCbCr BLACK{16, 128, 128};
constexpr YCbCr WHITE{235, 128, 128};
constexpr YCbCr ORANGE{120, 100, 180};
constexpr YCbCr BLUE{60, 170, 110};
const std::vector<YCbCr> FLAT_COLOURS{GREY, BLACK, WHITE, ORANGE, BLUE};

// Frame i is FLAT_COLOURS[i] all over. 70 columns: at the decoded size the
// last 70 % 8 columns of a row take a path of their own in libswscale.
StreamRecipe flat_stream(int width = 70, int height = 50) {
    return StreamRecipe{.width = width, .height = height, .frames = static_cast<int>(FLAT_COLOURS.size()),
                      .b_frames = 0, .sample = [](int plane, int index, int, int) {
                          const YCbCr c = FLAT_COLOURS[static_cast<std::size_t>(index)];
                          return plane == 0 ? c.y : plane == 1 ? c.cb : c.cr;
                      }};
}

struct OutputSize {
    std::uint32_t width;
    std::uint32_t height;
};
// Decoded, half and odd sizes of the 70x50 streams.
const std::vector<OutputSize> OUTPUT_SIZES{{70, 50}, {35, 25}, {33, 17}};

TEST(RgbContent, FlatColoursAtEverySizeThroughTheAbi) {
    const auto packets = encode_h264(flat_stream());
    for (const std::uint32_t format : {0U, 2U}) {
        for (const OutputSize size : OUTPUT_SIZES) {
            const std::string what =
                "format " + std::to_string(format) + " " + std::to_string(size.width) + "x" + std::to_string(size.height);
            RequestBuilder builder(packets, format);
            builder.size(size.width, size.height);
            ScopedResponse scoped;
            ASSERT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response), 0) << what;
            ASSERT_EQ(scoped.response.frame_count, FLAT_COLOURS.size()) << what;
            for (std::size_t i = 0; i < FLAT_COLOURS.size(); ++i) {
                const RuntimeFrame& frame = scoped.response.frames[i];
                EXPECT_EQ(frame.format, 0U);
                EXPECT_EQ(frame.width, size.width);
                EXPECT_EQ(frame.height, size.height);
                EXPECT_TRUE(frame.y.data == nullptr && frame.y.len == 0) << what;
                EXPECT_TRUE(frame.uv.data == nullptr && frame.uv.len == 0) << what;
                ASSERT_NE(frame.rgb.data, nullptr);
                expect_flat({frame.rgb.data, frame.rgb.data + frame.rgb.len}, size.width, size.height,
                            limited_range_rgb(FLAT_COLOURS[i]), what + " frame " + std::to_string(i));
            }
        }
    }
}

TEST(RgbContent, LeftRightSplitKeepsBothHalvesWhereTheyAre) {
    constexpr int SOURCE_WIDTH = 70;
    constexpr int SPLIT = 36;
    const auto packets = encode_h264(StreamRecipe{.width = SOURCE_WIDTH, .height = 50, .frames = 2, .b_frames = 0,
                                                .sample = split_picture(ORANGE, BLUE, SPLIT)});
    for (const OutputSize size : OUTPUT_SIZES) {
        const std::string what = std::to_string(size.width) + "x" + std::to_string(size.height);
        // Where an output column's centre falls in the source; the filters
        // blend within a few source columns of the edge.
        const auto source_x = [&](std::uint32_t x) { return (x + 0.5) * SOURCE_WIDTH / size.width; };
        const auto frames = decode_frames(packets, 0, {}, size.width, size.height);
        ASSERT_TRUE(frames.has_value()) << what;
        ASSERT_EQ(frames->size(), 2U) << what;
        for (const FrameCopy& frame : *frames) {
            expect_colour(frame.rgb, size.width, size.height, limited_range_rgb(ORANGE),
                          [&](std::uint32_t x) { return source_x(x) < SPLIT - 4; }, what + " left");
            expect_colour(frame.rgb, size.width, size.height, limited_range_rgb(BLUE),
                          [&](std::uint32_t x) { return source_x(x) > SPLIT + 4; }, what + " right");
        }
    }
}

// Full range is a property only the YUV output refuses; here it must convert,
// and as full range (200 would read as 214 in studio swing), at every bit
// depth and chroma format.
TEST(RgbContent, FullRangeInputConvertsAsFullRange) {
    constexpr YCbCr LIGHT{200, 128, 128};
    for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10, AV_PIX_FMT_YUV422P}) {
        auto recipe = StreamRecipe{.width = 64, .height = 48, .frames = 2, .b_frames = 0, .pixel_format = format,
                                   .full_range = true, .sample = split_picture(LIGHT, LIGHT, 64)};
        const auto frames = decode_frames(encode_h264(recipe), 0, {}, 32, 24);
        ASSERT_TRUE(frames.has_value());
        ASSERT_EQ(frames->size(), 2U);
        for (const FrameCopy& frame : *frames) {
            expect_flat(frame.rgb, 32, 24, full_range_rgb(LIGHT), std::string("full range ") + av_get_pix_fmt_name(format));
        }
    }
}

// Decodes `packets` on the calling thread's decoder and converts every frame
// through one scaler slot, recording which context served each frame.
struct ScalerTrace {
    std::vector<const SwsContext*> contexts;
    std::vector<RgbFrame> frames;
};

ScalerTrace convert_all(const std::vector<Packet>& packets, std::uint32_t width, std::uint32_t height,
                        std::optional<CachedScaler>& scaler) {
    ScalerTrace trace;
    auto sequence = decode_h264_packets(to_batch(packets));
    EXPECT_TRUE(sequence.has_value());
    for (;;) {
        auto item = sequence->next();
        EXPECT_TRUE(item.has_value());
        if (!item || !item->has_value()) {
            break;
        }
        auto frame = convert_frame_to_rgb((*item)->frame(), width, height, scaler);
        EXPECT_TRUE(frame.has_value()) << frame.error().message;
        if (!frame) {
            break;
        }
        trace.contexts.push_back(scaler->context.get());
        trace.frames.push_back(std::move(*frame));
    }
    return trace;
}

void expect_scaler_values(const CachedScaler& scaler, std::uint32_t source_width, std::uint32_t source_height,
                          std::uint32_t width, std::uint32_t height) {
    EXPECT_EQ(scaler.source_width, source_width);
    EXPECT_EQ(scaler.source_height, source_height);
    EXPECT_EQ(scaler.source_format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(scaler.destination_width, width);
    EXPECT_EQ(scaler.destination_height, height);
    EXPECT_EQ(scaler.destination_format, AV_PIX_FMT_RGBA);
}

TEST(RgbScaler, OneContextServesFramesOfOneSizeAndEachRequestStartsWithout) {
    EXPECT_FALSE(FfmpegRgbConverter{}.scaler.has_value());
    std::optional<CachedScaler> scaler;
    const auto trace = convert_all(encode_h264(flat_stream(64, 48)), 40, 30, scaler);
    ASSERT_EQ(trace.contexts.size(), FLAT_COLOURS.size());
    EXPECT_EQ(std::count(trace.contexts.begin(), trace.contexts.end(), trace.contexts.front()),
              static_cast<std::ptrdiff_t>(trace.contexts.size()));
    expect_scaler_values(*scaler, 64, 48, 40, 30);
}

TEST(RgbScaler, DecodedSizeChangeBuildsANewContextAndOutputStaysRight) {
    // Two streams of different sizes back to back: the second starts with a
    // keyframe and its own parameter sets.
    StreamRecipe wide = flat_stream(64, 48);
    wide.frames = 2;
    StreamRecipe small = flat_stream(40, 30);
    small.frames = 3;
    small.first_index = 2;
    const auto packets = concatenate(encode_h264(wide), encode_h264(small));

    std::optional<CachedScaler> scaler;
    const auto trace = convert_all(packets, 33, 17, scaler);
    ASSERT_EQ(trace.contexts.size(), 5U);
    EXPECT_EQ(trace.contexts[0], trace.contexts[1]);
    // The new context exists before the old one is freed, so they differ.
    EXPECT_NE(trace.contexts[1], trace.contexts[2]);
    EXPECT_EQ(trace.contexts[2], trace.contexts[4]);
    expect_scaler_values(*scaler, 40, 30, 33, 17);
    for (std::size_t i = 0; i < trace.frames.size(); ++i) {
        const RgbFrame& frame = trace.frames[i];
        expect_flat({frame.rgb.data(), frame.rgb.data() + frame.rgb.size()}, 33, 17,
                    limited_range_rgb(FLAT_COLOURS[i]), "frame " + std::to_string(i));
    }

    const auto frames = decode_frames(packets, 0, {}, 33, 17);
    ASSERT_TRUE(frames.has_value());
    ASSERT_EQ(frames->size(), 5U);
    for (std::size_t i = 0; i < frames->size(); ++i) {
        EXPECT_EQ((*frames)[i].rgb, std::vector<std::uint8_t>(trace.frames[i].rgb.data(),
                                                              trace.frames[i].rgb.data() + trace.frames[i].rgb.size()))
            << "frame " << i;
    }
}

// A frame made by hand, owning nothing.
AVFrame synthetic_frame(int format, int width, int height) {
    AVFrame frame{};
    frame.format = format;
    frame.width = width;
    frame.height = height;
    return frame;
}

// In the library a decode has always started FFmpeg, and filled its error
// texts, before a frame is converted; tests that convert frames of their own
// first do the same.
class RgbFailures : public ::testing::Test {
protected:
    void SetUp() override { ensure_ffmpeg_initialized(); }
};

TEST_F(RgbFailures, SizesLibswscaleRefusesFailAtTheFirstSelectedFrameOnly) {
    const auto packets = encode_h264(StreamRecipe{.frames = 3, .b_frames = 0});
    const std::uint32_t huge = 1U << 31;
    for (const OutputSize size : std::vector<OutputSize>{{0, 48}, {64, 0}, {0, 0}, {huge, 48}, {64, huge},
                                                         {UINT32_MAX, UINT32_MAX}, {536870912, 0}}) {
        const std::string what = std::to_string(size.width) + "x" + std::to_string(size.height);
        EXPECT_EQ(rgb_failure(packets, size.width, size.height), SCALER_REFUSED) << what;
        EXPECT_FALSE(decode_frames(packets, 0, {}, size.width, size.height).has_value()) << what;
        // Nothing selected, nothing converted: the size is never looked at.
        EXPECT_EQ(rgb_failure(packets, size.width, size.height, {7}), "") << what;
        const auto none = decode_frames(packets, 0, {7}, size.width, size.height);
        ASSERT_TRUE(none.has_value()) << what;
        EXPECT_TRUE(none->empty()) << what;
    }
}

TEST_F(RgbFailures, WidthBeyondLineSizeLimitFailsWithoutBuildingFilters) {
    const auto packets = encode_h264(StreamRecipe{.frames = 2, .b_frames = 0});
    for (const std::uint32_t width : {536870912U, 1U << 30, std::uint32_t{INT_MAX}}) {
        EXPECT_EQ(rgb_failure(packets, width, 48), "RGBA row size exceeds FFmpeg line size limits") << width;
        EXPECT_FALSE(decode_frames(packets, 0, {}, width, 48).has_value()) << width;
    }
    // libswscale allocates about 2 GB before refusing 2^29 columns.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 1L << 20) << "peak resident KiB";
}

TEST_F(RgbFailures, UnreadableSourceFormatFailsAsARefusedScalerAndKeepsTheCachedOne) {
    std::optional<CachedScaler> scaler;
    const AVFrame none = synthetic_frame(AV_PIX_FMT_NONE, 64, 48);
    auto frame = convert_frame_to_rgb(none, 32, 24, scaler);
    ASSERT_FALSE(frame.has_value());
    EXPECT_EQ(frame.error().message, SCALER_REFUSED);
    EXPECT_FALSE(scaler.has_value());
    for (const int format : {static_cast<int>(AV_PIX_FMT_NB), 100000, static_cast<int>(AV_PIX_FMT_VAAPI)}) {
        EXPECT_EQ(convert_frame_to_rgb(synthetic_frame(format, 64, 48), 32, 24, scaler).error().message,
                  SCALER_REFUSED)
            << format;
    }

    const auto trace = convert_all(encode_h264(StreamRecipe{.frames = 1, .b_frames = 0}), 32, 24, scaler);
    ASSERT_EQ(trace.contexts.size(), 1U);
    EXPECT_EQ(convert_frame_to_rgb(none, 32, 24, scaler).error().message, SCALER_REFUSED);
    ASSERT_TRUE(scaler.has_value());
    EXPECT_EQ(scaler->context.get(), trace.contexts[0]);
    expect_scaler_values(*scaler, 64, 48, 32, 24);
}

TEST_F(RgbFailures, SwsScaleRefusingTheSourcePlanesFailsTheFrame) {
    std::optional<CachedScaler> scaler;
    const AVFrame planeless = synthetic_frame(AV_PIX_FMT_YUV420P, 64, 48);
    const auto frame = convert_frame_to_rgb(planeless, 32, 24, scaler);
    ASSERT_FALSE(frame.has_value());
    EXPECT_EQ(frame.error().message,
              "failed to convert decoded frame to RGB: sws_scale returned " + std::to_string(AVERROR(EINVAL)));
}

// Caps the address space for one scope, so that a buffer of tens of gigabytes
// cannot be had whatever the machine's memory and overcommit policy.
class ScopedAddressSpaceLimit {
public:
    explicit ScopedAddressSpaceLimit(rlim_t headroom) {
        getrlimit(RLIMIT_AS, &previous_);
        std::ifstream statm("/proc/self/statm");
        rlim_t pages = 0;
        statm >> pages;
        const rlimit limit{pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom, previous_.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    }
    ScopedAddressSpaceLimit(const ScopedAddressSpaceLimit&) = delete;
    ScopedAddressSpaceLimit& operator=(const ScopedAddressSpaceLimit&) = delete;
    ~ScopedAddressSpaceLimit() { setrlimit(RLIMIT_AS, &previous_); }

private:
    rlimit previous_{};
};

TEST_F(RgbFailures, OutputTooLargeToAllocateFailsAndReleasesEverything) {
    const auto packets = encode_h264(StreamRecipe{.frames = 3, .b_frames = 0});
    ASSERT_TRUE(decode_frames(packets, 0, {}, 16, 16).has_value());  // parks a decoder
    const std::uint64_t opened = opened_h264_decoder_count();
    const std::int64_t live = live_h264_decoder_count();
    {
        ScopedAddressSpaceLimit limit(rlim_t{4} << 30);
        // libswscale's context for it is small, and so is a strip of RGBA;
        // the RGB frame is 30 GB.
        EXPECT_EQ(rgb_failure(packets, 100000, 100000), "failed to allocate RGB frame of 30000000000 bytes");
        EXPECT_FALSE(decode_frames(packets, 0, {}, 100000, 100000).has_value());
    }
    EXPECT_EQ(live_h264_decoder_count(), live);
    ASSERT_TRUE(decode_frames(packets, 0, {}, 16, 16).has_value());
    EXPECT_EQ(opened_h264_decoder_count(), opened) << "the pooled decoder was lost";
}

TEST_F(RgbFailures, FailureOnTheThirdFrameDiscardsTheFirstTwoAndReleasesEverything) {
    // libswscale stretches 512 rows to 2^18 but refuses to stretch 16 that
    // far, so the third frame, the first of the short stream, fails.
    const auto packets = concatenate(encode_h264(StreamRecipe{.width = 64, .height = 512, .frames = 2, .b_frames = 0}),
                                     encode_h264(StreamRecipe{.width = 64, .height = 16, .frames = 2, .b_frames = 0}));
    constexpr std::uint32_t TALL = 1U << 18;
    const auto first_two = decode_frames(packets, 0, {0, 1}, 4, TALL);
    ASSERT_TRUE(first_two.has_value());
    ASSERT_EQ(first_two->size(), 2U);
    const std::uint64_t opened = opened_h264_decoder_count();
    const std::int64_t live = live_h264_decoder_count();

    EXPECT_EQ(rgb_failure(packets, 4, TALL), SCALER_REFUSED);
    EXPECT_EQ(rgb_failure(packets, 4, TALL, {0, 1, 2}), SCALER_REFUSED);
    RequestBuilder builder(packets, 0);
    builder.size(4, TALL);
    ScopedResponse scoped;
    EXPECT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response), -1);
    EXPECT_EQ(scoped.response.frames, nullptr);
    EXPECT_EQ(scoped.response.frame_count, 0U);

    // A batch of two streams decodes on a decoder of its own, freed after it.
    EXPECT_EQ(live_h264_decoder_count(), live);
    EXPECT_EQ(opened_h264_decoder_count(), opened + 3);
    ASSERT_TRUE(decode_frames(packets, 0, {0, 1}, 4, TALL).has_value());
}

}  // namespace
}  // namespace pytovrik::testing
