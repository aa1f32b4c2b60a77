#include <gtest/gtest.h>


#include "decode/decoder_pool.hpp"
#include "decode/stream_key.hpp"
#include "support/abi_helpers.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

constexpr int NAL_SPS = 7;
constexpr int NAL_PPS = 8;

// Rebuilds the first packet keeping only the NAL units `keep` accepts, in the
// order `reorder` gives.
template <class Keep>
std::vector<Packet> rewrite_first_packet(std::vector<Packet> packets, Keep keep, bool reverse = false) {
    std::vector<Packet> kept;
    for (Packet& unit : nal_units(packets[0])) {
        if (keep(unit[0] & 0x1f)) {
            kept.push_back(std::move(unit));
        }
    }
    if (reverse) {
        std::reverse(kept.begin(), kept.end());
    }
    packets[0] = annexb(kept);
    return packets;
}

const StreamRecipe RECIPE{.width = 64, .height = 48, .frames = 6, .b_frames = 1};

TEST(ParameterSetHistory, BatchesThatCarryTheirParameterSetsAreRecognised) {
    const auto packets = encode_h264(RECIPE);
    EXPECT_TRUE(stream_key_of(to_batch(packets)).defines_its_parameter_sets);
    EXPECT_TRUE(stream_key_of(to_batch({})).defines_its_parameter_sets);
    // Slices without any parameter set, and a PPS sent before its SPS.
    const auto without_sets = rewrite_first_packet(packets, [](int type) { return type != NAL_SPS && type != NAL_PPS; });
    EXPECT_FALSE(stream_key_of(to_batch(without_sets)).defines_its_parameter_sets);
    const auto pps_first = rewrite_first_packet(packets, [](int type) { return type == NAL_SPS || type == NAL_PPS; }, true);
    EXPECT_FALSE(stream_key_of(to_batch(pps_first)).defines_its_parameter_sets);
    // The later packets alone lean on the first one's parameter sets.
    EXPECT_FALSE(stream_key_of(to_batch({packets.begin() + 1, packets.end()})).defines_its_parameter_sets);
}

TEST(ParameterSetHistory, BatchWithoutParameterSetsDecodesAlikeOnWarmAndFreshThreads) {
    const auto packets = encode_h264(RECIPE);
    const auto without_sets = rewrite_first_packet(packets, [](int type) { return type != NAL_SPS && type != NAL_PPS; });
    std::optional<std::vector<FrameCopy>> fresh;
    std::optional<std::vector<FrameCopy>> warm;
    on_fresh_thread([&] { fresh = decode_frames(without_sets, RuntimeFormatYuv420); });
    on_fresh_thread([&] {
        ASSERT_TRUE(decode_frames(packets, RuntimeFormatYuv420));
        warm = decode_frames(without_sets, RuntimeFormatYuv420);
    });
    EXPECT_FALSE(fresh.has_value());
    EXPECT_EQ(fresh, warm);
}

TEST(ParameterSetHistory, OnlyBatchesLeaningOnEarlierSetsBypassThePooledDecoder) {
    const auto packets = encode_h264(RECIPE);
    on_fresh_thread([&] {
        ASSERT_TRUE(decode_frames(packets, RuntimeFormatYuv420));
        const auto opened = opened_h264_decoder_count();
        ASSERT_TRUE(decode_frames(packets, RuntimeFormatYuv420));
        EXPECT_EQ(opened_h264_decoder_count(), opened) << "a self-contained batch reuses the pooled decoder";
        // The tail of the stream needs the head's parameter sets: fresh decoder
        // (and, rejected on frame threads, one more of one thread).
        const std::vector<Packet> tail(packets.begin() + 1, packets.end());
        (void)decode_frames(tail, RuntimeFormatYuv420);
        const auto after_tail = opened_h264_decoder_count();
        EXPECT_GE(after_tail, opened + 1);
        EXPECT_LE(after_tail, opened + 2);
        // The pooled decoder was left in place for the next ordinary request.
        ASSERT_TRUE(decode_frames(packets, RuntimeFormatYuv420));
        EXPECT_EQ(opened_h264_decoder_count(), after_tail);
    });
}

}  // namespace
}  // namespace pytovrik::testing
