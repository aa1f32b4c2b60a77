#include "corruption/response_contract.hpp"

#include <gtest/gtest.h>

#include "support/abi_helpers.hpp"

namespace pytovrik::testing {

namespace {

std::uint64_t ceil_half(std::uint64_t value) { return value / 2 + value % 2; }

bool absent(const RuntimeBytes& bytes) { return bytes.data == nullptr && bytes.len == 0; }

// Reading every byte lets the sanitizers catch a length that overstates the
// allocation.
unsigned read_all(const RuntimeBytes& bytes) {
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < bytes.len; ++i) {
        sum += bytes.data[i];
    }
    return sum;
}

void expect_consistent_frame(const RuntimeFrame& frame, std::uint32_t output_format, std::uint32_t width,
                             std::uint32_t height) {
    if ((output_format & 1U) != 0) {
        EXPECT_EQ(frame.format, 1U);
        EXPECT_GT(frame.width, 0U);
        EXPECT_GT(frame.height, 0U);
        EXPECT_TRUE(absent(frame.rgb));
        ASSERT_NE(frame.y.data, nullptr);
        ASSERT_NE(frame.uv.data, nullptr);
        ASSERT_EQ(frame.y.len, std::uint64_t{frame.width} * frame.height);
        ASSERT_EQ(frame.uv.len, 2 * ceil_half(frame.width) * ceil_half(frame.height));
        volatile unsigned sink = read_all(frame.y) + read_all(frame.uv);
        (void)sink;
    } else {
        EXPECT_EQ(frame.format, 0U);
        EXPECT_EQ(frame.width, width);
        EXPECT_EQ(frame.height, height);
        EXPECT_TRUE(absent(frame.y));
        EXPECT_TRUE(absent(frame.uv));
        ASSERT_NE(frame.rgb.data, nullptr);
        ASSERT_EQ(frame.rgb.len, std::uint64_t{frame.width} * frame.height * 3);
        volatile unsigned sink = read_all(frame.rgb);
        (void)sink;
    }
}

}  // namespace

ContractOutcome expect_response_contract(const std::vector<Packet>& packets, std::uint32_t output_format,
                                         std::uint32_t width, std::uint32_t height, const std::string& what) {
    SCOPED_TRACE(what + ((output_format & 1U) != 0 ? " as YUV" : " as RGB"));
    RequestBuilder builder(packets, output_format);
    builder.size(width, height);
    // Values the library never produces, so any write on failure shows.
    RuntimeFrame sentinel{};
    RuntimeDecodeResponse response{&sentinel, 77};
    const std::int32_t status = pytovrik_video_decode_h264_v1(&builder.request(), &response);
    if (status != 0) {
        EXPECT_EQ(status, -1);
        EXPECT_EQ(response.frames, &sentinel);
        EXPECT_EQ(response.frame_count, 77U);
        return {};
    }
    EXPECT_NE(response.frames, nullptr);
    EXPECT_NE(response.frames, &sentinel);
    const ContractOutcome outcome{true, response.frame_count};
    for (std::uint64_t i = 0; i < response.frame_count; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        expect_consistent_frame(response.frames[i], output_format, width, height);
    }
    pytovrik_video_free_response_v1(&response);
    EXPECT_EQ(response.frames, nullptr);
    EXPECT_EQ(response.frame_count, 0U);
    return outcome;
}

}  // namespace pytovrik::testing
