#include <gtest/gtest.h>

#include "support/abi_helpers.hpp"

namespace pytovrik::testing {
namespace {

TEST(AbiRoundTrip, LosslessStreamComesBackExactlyInOutputOrder) {
    const StreamSpec spec{.width = 48, .height = 32, .frames = 9, .b_frames = 2};
    const auto packets = encode_h264(spec);
    const auto frames = decode_frames(packets, RuntimeFormatYuv420);
    ASSERT_TRUE(frames);
    ASSERT_EQ(frames->size(), 9U);
    for (int i = 0; i < 9; ++i) {
        const FrameCopy& frame = (*frames)[static_cast<std::size_t>(i)];
        EXPECT_EQ(frame.format, 1U);
        EXPECT_EQ(frame.width, 48U);
        EXPECT_EQ(frame.height, 32U);
        EXPECT_EQ(frame.y, expected_luma(spec, i)) << "frame " << i;
        EXPECT_EQ(frame.uv, expected_interleaved_chroma(spec, i)) << "frame " << i;
        EXPECT_TRUE(frame.rgb.empty());
    }
}

}  // namespace
}  // namespace pytovrik::testing
