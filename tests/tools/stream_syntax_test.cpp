// The parts of the decoder tool that read bytes and text: NAL units,
// parameter sets, and the --frames list.
#include <gtest/gtest.h>

#include "frame_selection.hpp"
#include "nal_units.hpp"

namespace pytovrik::cli {
namespace {

using ByteVector = std::vector<std::uint8_t>;

ByteVector annexb(std::initializer_list<ByteVector> nal_units) {
    ByteVector out;
    for (const auto& nal : nal_units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// Exp-Golomb: 0 -> 1, 1 -> 010, 2 -> 011. Profile 100, flags 0, level 30.
const ByteVector sps0{0x67, 100, 0, 30, 0b1000'0000, 0xAA};  // sps id 0
const ByteVector sps0_changed{0x67, 100, 0, 30, 0b1000'0000, 0xBB};
const ByteVector sps1{0x67, 100, 0, 30, 0b0100'0000, 0xAA};  // sps id 1
const ByteVector pps0_on_sps0{0x68, 0b1100'0000};            // pps 0, sps 0
const ByteVector pps1_on_sps1{0x68, 0b0100'1000};            // pps 1, sps 1
const ByteVector pps2_on_sps0{0x68, 0b0111'0000};            // pps 2, sps 0
const ByteVector pps3_on_sps9{0x68, 0b0010'0000, 0b1010'0000};  // pps 3, sps 9: never defined

TEST(NalUnits, SplitsOnThreeAndFourByteStartCodesAndDropsTrailingZeros) {
    const ByteVector stream{0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 0, 1, 0x65, 0, 0, 3, 1};
    const auto units = split_nal_units(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(ByteVector(units[0].begin(), units[0].end()), (ByteVector{0x09, 0xF0}));
    EXPECT_EQ(ByteVector(units[1].begin(), units[1].end()), (ByteVector{0x67, 1, 2}));
    EXPECT_EQ(ByteVector(units[2].begin(), units[2].end()), (ByteVector{0x65, 0, 0, 3, 1}));
    EXPECT_TRUE(contains_idr_slice(stream));
    EXPECT_FALSE(contains_idr_slice(annexb({sps0, pps0_on_sps0, {0x41, 0x9a}})));
}

TEST(NalUnits, ReadsExpGolombCodesOfUpToThirtyOneLeadingZeros) {
    // 31 zeros, a one and 31 ones: 2^32 - 2, the largest code read. Then a
    // lone zero bit runs past the payload.
    const ByteVector largest{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE};
    h264::PayloadBits bits(largest);
    EXPECT_EQ(bits.read_ue(), UINT32_MAX - 1);
    EXPECT_EQ(bits.read_ue(), std::nullopt);
    const ByteVector too_long{0, 0, 0, 0, 0x80};
    EXPECT_EQ(h264::PayloadBits(too_long).read_ue(), std::nullopt);
    // The escape byte is gone before bits are read: 00 00 03 80 reads as
    // 00 00 80, so the code after two bytes is a lone one bit, 0.
    const ByteVector escaped{0, 0, 3, 0x80};
    h264::PayloadBits escaped_bits(escaped);
    escaped_bits.skip_bits(16);
    EXPECT_EQ(escaped_bits.read_ue(), 0u);
}

TEST(ParameterSetMemory, ReplaysTheLatestSetOfEachIdSequenceSetsFirst) {
    ParameterSetMemory memory;
    EXPECT_TRUE(memory.replay().empty());
    memory.remember(annexb({pps1_on_sps1}));  // its sequence set is unknown yet: the decoder drops it too
    memory.remember(annexb({sps1, sps0, pps2_on_sps0, {0x65, 0x88}}));
    memory.remember(annexb({pps0_on_sps0, pps1_on_sps1, pps3_on_sps9, {0x41, 0x9a}}));
    EXPECT_EQ(memory.replay(), annexb({sps0, sps1, pps0_on_sps0, pps1_on_sps1, pps2_on_sps0}));
    const ByteVector expected_fingerprint = annexb({sps0, sps1});
    EXPECT_EQ(memory.sequence_fingerprint(), std::string(expected_fingerprint.begin(), expected_fingerprint.end()));

    // Repeating a set unchanged keeps the picture sets built on it...
    memory.remember(annexb({sps0}));
    EXPECT_EQ(memory.replay(), annexb({sps0, sps1, pps0_on_sps0, pps1_on_sps1, pps2_on_sps0}));
    // ...changing it drops them, as the decoder does.
    memory.remember(annexb({sps0_changed}));
    EXPECT_EQ(memory.replay(), annexb({sps0_changed, sps1, pps1_on_sps1}));
}

TEST(ParameterSetMemory, ReadsIdsPastEmulationPreventionBytes) {
    // pps id 0 then sps id 0 after a 00 00 03 escape in the payload: the
    // escape must not shift the bits read.
    ParameterSetMemory memory;
    const ByteVector sps_escaped{0x67, 0, 0, 3, 0, 0b1000'0000};  // profile 0, flags 0, level 0, id 0
    memory.remember(annexb({sps_escaped, pps0_on_sps0}));
    EXPECT_EQ(memory.replay(), annexb({sps_escaped, pps0_on_sps0}));
}

TEST(FrameSelection, ParsesMergesAndTranslatesToBatchPositions) {
    auto selection = FrameSelection::parse("20,0,5,10-20,6,3-3");
    ASSERT_TRUE(selection.has_value()) << selection.error().message;
    EXPECT_FALSE(selection->keeps_every_frame());
    EXPECT_EQ(selection->last(), 20u);
    for (std::uint64_t position : {0u, 3u, 5u, 6u, 10u, 15u, 20u}) {
        EXPECT_TRUE(selection->contains(position)) << position;
    }
    for (std::uint64_t position : {1u, 4u, 7u, 9u, 21u}) {
        EXPECT_FALSE(selection->contains(position)) << position;
    }
    EXPECT_EQ(selection->positions_within(0, 7), (std::vector<std::uint64_t>{0, 3, 5, 6}));
    EXPECT_EQ(selection->positions_within(6, 6), (std::vector<std::uint64_t>{0, 4, 5}));
    EXPECT_EQ(selection->positions_within(18, 100), (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_TRUE(selection->positions_within(21, 100).empty());
    EXPECT_TRUE(selection->positions_within(0, 0).empty());

    auto huge = FrameSelection::parse("18446744073709551614-18446744073709551615,0");
    ASSERT_TRUE(huge.has_value());
    EXPECT_EQ(huge->positions_within(UINT64_MAX - 1, 5), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_TRUE(FrameSelection().keeps_every_frame());
}

TEST(FrameSelection, RejectsWhatIsNotAListOfPositionsAndRanges) {
    for (const char* text : {"", "a", "1,", ",1", "1,,2", "-1", "5-", "1-2-3", "3-1", "1.5", " 1", "0x10",
                             "18446744073709551616"}) {
        EXPECT_FALSE(FrameSelection::parse(text).has_value()) << "'" << text << "'";
    }
}

}  // namespace
}  // namespace pytovrik::cli
