#include <gtest/gtest.h>

#include "export/input_frame.hpp"
#include "export/rgb_export.hpp"
#include "export/yuv420_export.hpp"
#include "support/abi_helpers.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

const StreamRecipe LIMITED{.width = 64, .height = 48, .frames = 4, .b_frames = 0};
const StreamRecipe FULL{.width = 64, .height = 48, .frames = 4, .b_frames = 0, .full_range = true, .first_index = 7};

TEST(RangeSwitch, FullRangeFramesAreReadAsFullRangeWhateverTheirLabel) {
    UniqueAVFrame frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    EXPECT_EQ(sample_pixel_format(*frame), AV_PIX_FMT_YUV420P);
    frame->color_range = AVCOL_RANGE_MPEG;
    EXPECT_EQ(sample_pixel_format(*frame), AV_PIX_FMT_YUV420P);
    frame->color_range = AVCOL_RANGE_JPEG;
    EXPECT_EQ(sample_pixel_format(*frame), AV_PIX_FMT_YUVJ420P);
    frame->format = AV_PIX_FMT_YUV422P;
    EXPECT_EQ(sample_pixel_format(*frame), AV_PIX_FMT_YUVJ422P);
    frame->format = AV_PIX_FMT_NV12;
    EXPECT_EQ(sample_pixel_format(*frame), AV_PIX_FMT_NV12);
}

// A stream that turns to full range in mid-batch: FFmpeg keeps labelling the
// full-range pictures YUV420P, so only their colour range tells them apart.
TEST(RangeSwitch, MidBatchSwitchToFullRangeIsNeitherExportedAsLimitedNorConvertedAsLimited) {
    const auto limited = encode_h264(LIMITED);
    const auto full = encode_h264(FULL);
    const auto switching = concatenate(limited, full);
    on_fresh_thread([&] {
        const auto yuv = decode_selected_h264_packets_to_yuv420(to_batch(switching), FrameSelection({5}));
        ASSERT_FALSE(yuv.has_value());
        EXPECT_EQ(yuv.error().message, "yuv420 video output expects FFmpeg to decode yuv420p frames, got YUVJ420P");
    });
    // The limited-range part alone still exports.
    EXPECT_TRUE(decode_frames(switching, RuntimeFormatYuv420, {0, 3}));

    std::optional<std::vector<FrameCopy>> mixed;
    std::optional<std::vector<FrameCopy>> alone;
    on_fresh_thread([&] { mixed = decode_frames(switching, RuntimeFormatRgb, {}, 64, 48); });
    on_fresh_thread([&] { alone = decode_frames(full, RuntimeFormatRgb, {}, 64, 48); });
    ASSERT_TRUE(mixed && alone);
    ASSERT_EQ(mixed->size(), 8U);
    ASSERT_EQ(alone->size(), 4U);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((*mixed)[4 + i].rgb, (*alone)[i].rgb) << "full-range frame " << i;
    }
}

// Counts no allocation can hold fail the request before anything is read.
TEST(HostSizedReservations, AbsurdCountsFailWithoutTouchingTheResponse) {
    const std::uint64_t position = 0;
    const RuntimePacket packet{nullptr, 0};
    RuntimeDecodeRequest request{};
    request.output_format = RuntimeFormatYuv420;
    request.selected_positions = &position;
    request.selected_position_count = std::uint64_t{1} << 61;
    RuntimeFrame sentinel{};
    RuntimeDecodeResponse response{&sentinel, 77};
    EXPECT_EQ(pytovrik_video_decode_h264_v1(&request, &response), -1);
    request.selected_position_count = 1;
    request.packets = &packet;
    request.packet_count = std::uint64_t{1} << 60;
    EXPECT_EQ(pytovrik_video_decode_h264_v1(&request, &response), -1);
    EXPECT_EQ(response.frames, &sentinel);
    EXPECT_EQ(response.frame_count, 77U);
}

}  // namespace
}  // namespace pytovrik::testing
