// Requests that succeed, through the exported functions: what comes back,
// in which order, and who owns it.
#include <gtest/gtest.h>

#include <cstdint>

#include "boundary/abi_layout_checks.h"  // the header compiles as C++ with the C layout
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

void expect_lossless_frames(const std::vector<FrameCopy>& frames, const StreamRecipe& recipe,
                            const std::vector<int>& indices) {
    ASSERT_EQ(frames.size(), indices.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameCopy& frame = frames[i];
        EXPECT_EQ(frame.format, 1U);
        EXPECT_EQ(frame.width, static_cast<std::uint32_t>(recipe.width));
        EXPECT_EQ(frame.height, static_cast<std::uint32_t>(recipe.height));
        EXPECT_EQ(frame.y, expected_luma(recipe, indices[i])) << "frame " << i;
        EXPECT_EQ(frame.uv, expected_interleaved_chroma(recipe, indices[i])) << "frame " << i;
        EXPECT_TRUE(frame.rgb.empty());
    }
}

TEST(AbiVersion, IsOne) { EXPECT_EQ(pytovrik_video_abi_version(), 1); }

TEST(AbiDecode, LosslessPlanesComeBackByteExactAtEverySize) {
    // Sizes below and between macroblock multiples are cropped in the SPS;
    // H.264 cannot code an odd 4:2:0 size, the synthetic-frame tests cover those.
    for (const auto& [width, height] : {std::pair{48, 32}, {34, 18}, {18, 34}, {2, 2}, {66, 2}}) {
        const StreamRecipe recipe{.width = width, .height = height, .frames = 5};
        const auto frames = decode_frames(encode_h264(recipe), RuntimeFormatYuv420);
        ASSERT_TRUE(frames) << width << "x" << height;
        expect_lossless_frames(*frames, recipe, indices_up_to(5));
    }
}

TEST(AbiDecode, SelectionIsASetOfOutputPositions) {
    const StreamRecipe recipe{.frames = 9};
    const auto packets = encode_h264(recipe);
    const struct {
        std::vector<std::uint64_t> positions;
        std::vector<int> expected;
    } cases[] = {
        {{}, indices_up_to(9)},
        {{5, 2, 2}, {2, 5}},
        {{8, 0}, {0, 8}},
        {{8, 9, 1000, UINT64_MAX}, {8}},
        {{1, 1, 1, 1}, {1}},
    };
    for (const auto& c : cases) {
        const auto frames = decode_frames(packets, RuntimeFormatYuv420, c.positions);
        ASSERT_TRUE(frames);
        expect_lossless_frames(*frames, recipe, c.expected);
    }
}

TEST(AbiDecode, SelectionThatReachesNoFrameSucceedsWithAnEmptyArray) {
    const auto packets = encode_h264({.frames = 3});
    for (auto positions : {std::vector<std::uint64_t>{3, 7}, std::vector<std::uint64_t>{UINT64_MAX}}) {
        RequestBuilder builder(packets, RuntimeFormatYuv420);
        builder.positions(positions);
        ScopedResponse scoped;
        ASSERT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response), 0);
        EXPECT_NE(scoped.response.frames, nullptr);
        EXPECT_EQ(scoped.response.frame_count, 0U);
        pytovrik_video_free_response_v1(&scoped.response);
        EXPECT_EQ(scoped.response.frames, nullptr);
        EXPECT_EQ(scoped.response.frame_count, 0U);
    }
    // No packet at all (null array, count 0): the same.
    RuntimeDecodeRequest request{};
    request.output_format = RuntimeFormatYuv420;
    ScopedResponse scoped;
    ASSERT_EQ(pytovrik_video_decode_h264_v1(&request, &scoped.response), 0);
    EXPECT_NE(scoped.response.frames, nullptr);
    EXPECT_EQ(scoped.response.frame_count, 0U);
}

TEST(AbiDecode, BFramesComeOutInDisplayOrder) {
    // Fixed B-frame pattern: decode order I0 P4 B1 B2 B3 P8 B5 ...
    const StreamRecipe recipe{.frames = 12, .b_frames = 3, .lossless = false, .x264_params = "b-adapt=0"};
    const auto packets = encode_h264(recipe);
    const auto all = decode_frames(packets, RuntimeFormatYuv420);
    ASSERT_TRUE(all);
    EXPECT_EQ(pattern_indices(*all, recipe), indices_up_to(12));
    // The first two packets in decode order hold frames 0 and 4.
    const auto first_two = decode_frames({packets[0], packets[1]}, RuntimeFormatYuv420);
    ASSERT_TRUE(first_two);
    EXPECT_EQ(pattern_indices(*first_two, recipe), (std::vector<int>{0, 4}));
    // Positions count output order, not decode order.
    const auto selected = decode_frames(packets, RuntimeFormatYuv420, {5, 2, 2});
    ASSERT_TRUE(selected);
    EXPECT_EQ(pattern_indices(*selected, recipe), (std::vector<int>{2, 5}));
    EXPECT_EQ((*selected)[0], (*all)[2]);
    EXPECT_EQ((*selected)[1], (*all)[5]);
}

TEST(AbiDecode, OnlyTheLowestFormatBitRoutesAndYuvIgnoresTheOutputSize) {
    const auto packets = encode_h264({.frames = 4});
    const auto reference = decode_frames(packets, 1);
    ASSERT_TRUE(reference);
    for (const std::uint32_t format : {3U, 0xffffffffU, 0x80000001U}) {
        for (const auto& [width, height] : {std::pair{0U, 0U}, {1U, 1U}, {0xffffffffU, 7U}}) {
            EXPECT_EQ(decode_frames(packets, format, {}, width, height), reference)
                << format << " " << width << "x" << height;
        }
    }
}

TEST(AbiDecode, BuffersBelongToTheResponseAndAreExactlySized) {
    const StreamRecipe recipe{.width = 34, .height = 18, .frames = 2};
    const auto packets = encode_h264(recipe);
    RequestBuilder builder(packets, RuntimeFormatYuv420);
    ScopedResponse scoped;
    ASSERT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response), 0);
    ASSERT_EQ(scoped.response.frame_count, 2U);
    for (std::uint64_t i = 0; i < 2; ++i) {
        const RuntimeFrame& frame = scoped.response.frames[i];
        EXPECT_EQ(frame.rgb.data, nullptr);
        EXPECT_EQ(frame.rgb.len, 0U);
        ASSERT_NE(frame.y.data, nullptr);
        ASSERT_NE(frame.uv.data, nullptr);
        EXPECT_EQ(frame.y.len, 34U * 18U);
        EXPECT_EQ(frame.uv.len, 34U * 9U);
    }
    // Freeing twice is harmless; the second call finds a prepared response.
    pytovrik_video_free_response_v1(&scoped.response);
    pytovrik_video_free_response_v1(&scoped.response);
    EXPECT_EQ(scoped.response.frames, nullptr);
    EXPECT_EQ(scoped.response.frame_count, 0U);
}

TEST(AbiFree, AcceptsNullAndResponsesWithoutFrames) {
    pytovrik_video_free_response_v1(nullptr);
    RuntimeDecodeResponse response{nullptr, 5};
    pytovrik_video_free_response_v1(&response);
    EXPECT_EQ(response.frames, nullptr);
    EXPECT_EQ(response.frame_count, 0U);
}

}  // namespace
}  // namespace pytovrik::testing
