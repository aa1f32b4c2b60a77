// Requests that fail: status -1, the response exactly as the host left it,
// and (on the internal operation, since messages stay inside) the message
// of the first failing check.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "boundary/runtime_request.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

// Values no successful or failed call may write into the response.
const RuntimeDecodeResponse SENTINEL{reinterpret_cast<RuntimeFrame*>(std::uintptr_t{0x5e17e1f0}), 0xdeadbeefU};

void expect_rejected(const RuntimeDecodeRequest* request, const std::string& message) {
    RuntimeDecodeResponse response = SENTINEL;
    const auto outcome = decode_h264_runtime_request(request, &response);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message, message);
    EXPECT_EQ(response.frames, SENTINEL.frames);
    EXPECT_EQ(response.frame_count, SENTINEL.frame_count);
    EXPECT_EQ(pytovrik_video_decode_h264_v1(request, &response), -1);
    EXPECT_EQ(response.frames, SENTINEL.frames);
    EXPECT_EQ(response.frame_count, SENTINEL.frame_count);
}

class AbiFailure : public ::testing::Test {
protected:
    static void SetUpTestSuite() { packets_ = new std::vector<Packet>(encode_h264({.frames = 5, .gop = 1})); }
    static void TearDownTestSuite() { delete packets_; }
    static const std::vector<Packet>& packets() { return *packets_; }

private:
    static std::vector<Packet>* packets_;
};
std::vector<Packet>* AbiFailure::packets_ = nullptr;

TEST_F(AbiFailure, NullPointersAreRejectedBeforeAnythingIsRead) {
    RequestBuilder builder(packets(), RuntimeFormatYuv420);
    expect_rejected(nullptr, "FFmpeg runtime received null ABI pointer");
    EXPECT_FALSE(decode_h264_runtime_request(&builder.request(), nullptr));
    EXPECT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), nullptr), -1);
    EXPECT_EQ(pytovrik_video_decode_h264_v1(nullptr, nullptr), -1);
}

TEST_F(AbiFailure, NullArraysWithCountsAreRejectedInRequestOrder) {
    RuntimeDecodeRequest request{};
    request.output_format = RuntimeFormatYuv420;
    request.selected_position_count = 2;
    request.packet_count = 2;
    expect_rejected(&request, "FFmpeg runtime request has null selected positions with non-zero length");
    request.selected_position_count = 0;
    expect_rejected(&request, "FFmpeg runtime request has null packets with non-zero length");
    // The routing bit does not matter for the boundary checks.
    request.output_format = RuntimeFormatRgb;
    expect_rejected(&request, "FFmpeg runtime request has null packets with non-zero length");
}

TEST_F(AbiFailure, NullPacketDataWithALengthFailsWhereverItStands) {
    for (const std::size_t place : {0U, 2U, 4U}) {
        std::vector<RuntimePacket> records;
        for (const Packet& packet : packets()) {
            records.push_back(RuntimePacket{packet.data(), packet.size()});
        }
        records[place] = RuntimePacket{nullptr, 7};
        RuntimeDecodeRequest request{};
        request.output_format = RuntimeFormatYuv420;
        request.packets = records.data();
        request.packet_count = records.size();
        expect_rejected(&request, "FFmpeg runtime request has null packet data with non-zero length");
    }
}

TEST_F(AbiFailure, EmptyPacketsPassTheBoundaryAndEndTheStream) {
    // data null or not, length 0: an empty packet reaches the decoder as its
    // end-of-stream signal, so a later send fails, not the copy.
    const std::uint8_t byte = 0;
    for (const std::uint8_t* data : {static_cast<const std::uint8_t*>(nullptr), &byte}) {
        std::vector<RuntimePacket> records;
        for (const Packet& packet : packets()) {
            records.push_back(RuntimePacket{packet.data(), packet.size()});
        }
        records.push_back(RuntimePacket{data, 0});
        RuntimeDecodeRequest request{};
        request.output_format = RuntimeFormatYuv420;
        request.packets = records.data();
        request.packet_count = records.size();
        expect_rejected(&request, "failed to flush H.264 decoder: End of file");
        records.insert(records.begin() + 2, RuntimePacket{data, 0});
        request.packets = records.data();
        request.packet_count = records.size();
        expect_rejected(&request, "failed to decode H.264 packet 3: End of file");
    }
}

TEST_F(AbiFailure, DriverFailuresLeaveTheResponseUntouched) {
    // The third frame switches to 4:2:2: two exported frames are discarded.
    const auto mixed = concatenate({packets()[0], packets()[1]}, encode_h264({.frames = 2, .pixel_format = AV_PIX_FMT_YUV422P}));
    RequestBuilder builder(mixed, RuntimeFormatYuv420);
    expect_rejected(&builder.request(), "yuv420 video output expects FFmpeg to decode yuv420p frames, got YUV422P");
    // Unselected frames are never checked.
    const auto kept = decode_frames(mixed, RuntimeFormatYuv420, {1, 0});
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 2U);
}

TEST_F(AbiFailure, ARejectedPacketFailsTheRequest) {
    auto corrupt = packets();
    corrupt[0] = Packet(64, 0xff);  // no start code at all
    RequestBuilder builder(corrupt, RuntimeFormatYuv420);
    RuntimeDecodeResponse response = SENTINEL;
    EXPECT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &response), -1);
    EXPECT_EQ(response.frames, SENTINEL.frames);
    EXPECT_EQ(response.frame_count, SENTINEL.frame_count);
}

}  // namespace
}  // namespace pytovrik::testing
