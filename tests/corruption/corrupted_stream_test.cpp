// Broken input of every kind a host may pass on: each request must either
// succeed with frames that match the request or fail without touching the
// response, and never crash, hang, or leave a decoder behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "corruption/response_contract.hpp"
#include "decode/decoder_pool.hpp"
#include "pytovrik_video.h"
#include "support/h264_streams.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace pytovrik::testing {
namespace {

using Variant = std::pair<std::string, std::vector<Packet>>;

constexpr std::uint32_t RGB_WIDTH = 24;
constexpr std::uint32_t RGB_HEIGHT = 18;

// Every variant in both output formats; returns how many succeeded.
int expect_contract_for_all(const std::vector<Variant>& variants) {
    int succeeded = 0;
    for (const auto& [name, packets] : variants) {
        succeeded += expect_response_contract(packets, RuntimeFormatYuv420, 0, 0, name).succeeded ? 1 : 0;
        succeeded += expect_response_contract(packets, RuntimeFormatRgb, RGB_WIDTH, RGB_HEIGHT, name).succeeded ? 1 : 0;
    }
    return succeeded;
}

std::vector<std::uint8_t> flatten(const std::vector<Packet>& packets) {
    std::vector<std::uint8_t> bytes;
    for (const Packet& packet : packets) {
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    return bytes;
}

// The packets up to byte `cut` of their concatenation; the packet the cut
// falls into is kept partially.
std::vector<Packet> truncated(const std::vector<Packet>& packets, std::size_t cut) {
    std::vector<Packet> kept;
    for (const Packet& packet : packets) {
        if (cut == 0) {
            break;
        }
        const std::size_t take = std::min(cut, packet.size());
        kept.emplace_back(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(take));
        cut -= take;
    }
    return kept;
}

std::vector<Packet> bit_flipped(std::vector<Packet> packets, int flips, std::uint32_t seed) {
    std::mt19937 random(seed);
    const std::size_t total = flatten(packets).size();
    for (int i = 0; i < flips; ++i) {
        std::size_t bit = random() % (total * 8);
        for (Packet& packet : packets) {
            if (bit < packet.size() * 8) {
                packet[bit / 8] = static_cast<std::uint8_t>(packet[bit / 8] ^ (1U << (bit % 8)));
                break;
            }
            bit -= packet.size() * 8;
        }
    }
    return packets;
}

// Variants that break a valid batch in the ways a lossy transport or a buggy
// demuxer would.
std::vector<Variant> damaged_variants(const std::vector<Packet>& packets) {
    std::vector<Variant> variants;
    const std::size_t total = flatten(packets).size();
    for (const std::size_t cut : {std::size_t{1}, total / 7, total / 3, total / 2, total - 1}) {
        variants.emplace_back("truncated at byte " + std::to_string(cut), truncated(packets, cut));
    }
    for (const int flips : {1, 8, 64}) {
        variants.emplace_back(std::to_string(flips) + " bits flipped", bit_flipped(packets, flips, 1000U + static_cast<std::uint32_t>(flips)));
    }
    const std::size_t middle = packets.size() / 2;
    auto without_first = packets;
    without_first.erase(without_first.begin());
    variants.emplace_back("first packet dropped", without_first);
    auto without_middle = packets;
    without_middle.erase(without_middle.begin() + static_cast<std::ptrdiff_t>(middle));
    variants.emplace_back("middle packet dropped", without_middle);
    std::vector<Packet> every_third_dropped;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (i % 3 != 1) {
            every_third_dropped.push_back(packets[i]);
        }
    }
    variants.emplace_back("every third packet dropped", every_third_dropped);
    auto middle_duplicated = packets;
    middle_duplicated.insert(middle_duplicated.begin() + static_cast<std::ptrdiff_t>(middle), packets[middle]);
    variants.emplace_back("middle packet duplicated", middle_duplicated);
    std::vector<Packet> all_duplicated;
    for (const Packet& packet : packets) {
        all_duplicated.push_back(packet);
        all_duplicated.push_back(packet);
    }
    variants.emplace_back("every packet duplicated", all_duplicated);
    auto pairs_swapped = packets;
    for (std::size_t i = 1; i + 1 < pairs_swapped.size(); i += 2) {
        std::swap(pairs_swapped[i], pairs_swapped[i + 1]);
    }
    variants.emplace_back("neighbours swapped", pairs_swapped);
    variants.emplace_back("reversed", std::vector<Packet>(packets.rbegin(), packets.rend()));
    auto shuffled = packets;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    variants.emplace_back("shuffled", shuffled);
    return variants;
}

// A baseline SPS (id 0, like the generated streams) for a picture of the
// given size in macroblocks.
Packet sps_announcing(std::uint64_t width_in_mbs, std::uint64_t height_in_mbs) {
    NalWriter sps(0x67);
    sps.bits(66, 8);  // profile_idc: baseline
    sps.bits(0, 8);   // constraint flags
    sps.bits(51, 8);  // level_idc
    sps.ue(0);        // seq_parameter_set_id
    sps.ue(0);        // log2_max_frame_num_minus4
    sps.ue(2);        // pic_order_cnt_type
    sps.ue(1);        // max_num_ref_frames
    sps.bits(0, 1);   // gaps_in_frame_num_value_allowed_flag
    sps.ue(width_in_mbs - 1);
    sps.ue(height_in_mbs - 1);
    sps.bits(1, 1);  // frame_mbs_only_flag
    sps.bits(1, 1);  // direct_8x8_inference_flag
    sps.bits(0, 1);  // frame_cropping_flag
    sps.bits(0, 1);  // vui_parameters_present_flag
    return sps.finish();
}

// The first packet of a generated stream with its SPS (the first NAL unit)
// replaced.
std::vector<Packet> with_sps_replaced(std::vector<Packet> packets, const Packet& sps) {
    Packet& first = packets.front();
    std::size_t next = 4;
    while (next + 3 < first.size() && !(first[next] == 0 && first[next + 1] == 0 && first[next + 2] == 1)) {
        ++next;
    }
    if (next > 0 && first[next - 1] == 0) {
        --next;  // a four-byte start code
    }
    Packet replaced = sps;
    replaced.insert(replaced.end(), first.begin() + static_cast<std::ptrdiff_t>(next), first.end());
    first = replaced;
    return packets;
}

std::vector<Packet> random_packets(std::uint32_t seed, std::size_t size, std::size_t packet_count,
                                   bool behind_start_codes) {
    std::mt19937 random(seed);
    std::vector<Packet> packets;
    for (std::size_t p = 0; p < packet_count; ++p) {
        Packet packet;
        if (behind_start_codes) {
            packet = {0, 0, 0, 1};
        }
        for (std::size_t i = 0; i < size / packet_count; ++i) {
            packet.push_back(static_cast<std::uint8_t>(random()));
        }
        packets.push_back(packet);
    }
    return packets;
}

class CorruptedStreams : public ::testing::Test {
protected:
    // The decoder reports every damaged unit; the cases only check outcomes.
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }
    void SetUp() override { live_before_ = live_h264_decoder_count(); }
    // All cases run on this thread, which parks at most one decoder.
    void TearDown() override { EXPECT_LE(live_h264_decoder_count(), live_before_ + 1); }

private:
    std::int64_t live_before_ = 0;
};

TEST_F(CorruptedStreams, GeneratedStreamDamagedInTransport) {
    const auto packets = encode_h264(StreamRecipe{.width = 64, .height = 48, .frames = 12, .gop = 4});
    const auto variants = damaged_variants(packets);
    // Most damage is concealed, so a run where nothing decodes means the
    // cases did not reach the decoder at all.
    EXPECT_GT(expect_contract_for_all(variants), 0);
    // The undamaged stream decodes fully, on the same thread right after.
    EXPECT_EQ(expect_response_contract(packets, RuntimeFormatYuv420, 0, 0, "intact").frame_count, 12U);
}

TEST_F(CorruptedStreams, ConformanceStreamsDamagedInTransport) {
    const char* const streams[] = {"BA1_FT_C.264",       "CVFC1_Sony_C.jsv", "CVPCMNL1_SVA_C.264",
                                   "LS_SVA_D.264",       "MPS_MW_A.264",     "MR1_BT_A.h264",
                                   "MR2_TANDBERG_E.264", "SVA_Base_B.264"};
    for (const char* name : streams) {
        SCOPED_TRACE(name);
        // The opening access units keep the case short; damage to them
        // reaches the same decoder paths as damage anywhere else.
        auto bytes = read_binary_file(std::string(PYTOVRIK_TEST_DATA_DIR) + "/conformance/streams/" + name);
        bytes.resize(std::min<std::size_t>(bytes.size(), 48 * 1024));
        auto packets = split_access_units(bytes);
        packets.resize(std::min<std::size_t>(packets.size(), 12));
        std::vector<Variant> variants = damaged_variants(packets);
        variants.emplace_back("intact", packets);
        EXPECT_GT(expect_contract_for_all(variants), 0);
    }
}

TEST_F(CorruptedStreams, RandomBytes) {
    for (const std::uint32_t seed : {1U, 2U, 3U}) {
        for (const std::size_t size : {std::size_t{16}, std::size_t{700}, std::size_t{20000}}) {
            const std::string name = "seed " + std::to_string(seed) + ", " + std::to_string(size) + " bytes";
            expect_contract_for_all({{name + " in one packet", random_packets(seed, size, 1, false)},
                                     {name + " in ten packets", random_packets(seed, size, 10, false)},
                                     {name + " behind start codes", random_packets(seed, size, 10, true)}});
        }
    }
}

TEST_F(CorruptedStreams, ParameterSetsAnnouncingHugeOrImpossibleSizes) {
    const auto packets = encode_h264(StreamRecipe{.width = 32, .height = 32, .frames = 2, .b_frames = 0});
    // 4096 x 2304 is within the decoder's limits: the slices of a 32 x 32
    // picture then decode into a 9 Mpixel picture, mostly concealed. Larger
    // sizes are refused by the decoder's own checks, up to sizes whose
    // macroblock counts overflow 32 bits.
    expect_contract_for_all({
        {"4096 x 2304", with_sps_replaced(packets, sps_announcing(256, 144))},
        {"16384 x 16384", with_sps_replaced(packets, sps_announcing(1024, 1024))},
        {"65536 x 16", with_sps_replaced(packets, sps_announcing(4096, 1))},
        {"2^36 x 2^36", with_sps_replaced(packets, sps_announcing(std::uint64_t{1} << 32, std::uint64_t{1} << 32))},
        {"huge SPS alone", {sps_announcing(512, 512)}},
    });
}

TEST_F(CorruptedStreams, EmptyAndNearlyEmptyPackets) {
    const auto packets = encode_h264(StreamRecipe{.width = 32, .height = 32, .frames = 4});
    expect_contract_for_all({
        {"no packets", {}},
        {"one empty packet", {Packet{}}},
        {"start code only", {Packet{0, 0, 1}}},
        {"NAL header only", {Packet{0, 0, 0, 1, 0x65}}},
        {"empty packet in the middle", concatenate(truncated(packets, 100000), std::vector<Packet>{{}, packets[0]})},
        {"empty packet at the end", concatenate(packets, std::vector<Packet>{{}})},
    });
}

}  // namespace
}  // namespace pytovrik::testing
