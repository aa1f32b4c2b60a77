// Cutting a stream into batches and putting the library's frames back at
// their positions. The streams are lossless and every frame's pixels encode
// its index, so a frame delivered at the wrong position is caught.
#include <gtest/gtest.h>

#include <fstream>

#include "batch_decoder.hpp"
#include "batch_reader.hpp"
#include "frame_source.hpp"
#include "support/h264_streams.hpp"

namespace pytovrik::cli {
namespace {

using pytovrik::testing::Packet;
using pytovrik::testing::StreamRecipe;

class PacketSource final : public AccessUnitSource {
public:
    explicit PacketSource(std::vector<Packet> packets) : packets_(std::move(packets)) {}
    Outcome<std::optional<AccessUnit>> next() override {
        if (next_ == packets_.size()) {
            return std::nullopt;
        }
        AccessUnit unit;
        unit.bytes = packets_[next_];
        unit.input_offset = next_++;
        return unit;
    }
    std::uint64_t bytes_read() const override { return 0; }
    std::uint64_t total_bytes() const override { return 0; }
    std::string description() const override { return "packets"; }
    FrameRate frame_rate() const override { return {}; }

private:
    std::vector<Packet> packets_;
    std::size_t next_ = 0;
};

std::vector<Batch> read_batches(std::vector<Packet> packets, BatchMode mode) {
    PacketSource source(std::move(packets));
    BatchReader reader(source, mode);
    std::vector<Batch> batches;
    for (;;) {
        auto batch = reader.next();
        EXPECT_TRUE(batch.has_value());
        if (!batch || !*batch) {
            return batches;
        }
        batches.push_back(std::move(**batch));
    }
}

struct Delivered {
    std::uint64_t position;
    std::vector<std::uint8_t> pixels;  // luma, or RGB
};

// Decodes batches the way the tool does; std::nullopt when a call fails.
std::optional<std::vector<Delivered>> decode_batches(const std::vector<Batch>& batches, BatchDecoder decoder,
                                                     std::uint64_t* total = nullptr) {
    std::vector<Delivered> delivered;
    std::uint64_t position = 0;
    for (const Batch& batch : batches) {
        auto outcome = decoder.decode(batch, position, [&](std::uint64_t at, const RuntimeFrame& frame) -> Outcome<void> {
            const RuntimeBytes& bytes = frame.format == RuntimeFormatRgb ? frame.rgb : frame.y;
            delivered.push_back({at, std::vector<std::uint8_t>(bytes.data, bytes.data + bytes.len)});
            return {};
        });
        if (!outcome) {
            return std::nullopt;
        }
        position += outcome->frames_decoded;
    }
    if (total != nullptr) {
        *total = position;
    }
    return delivered;
}

FrameSelection select(const char* text) { return FrameSelection::parse(text).value(); }

std::vector<Packet> without_parameter_sets_after_first_unit(const std::vector<Packet>& packets) {
    std::vector<Packet> stripped{packets.front()};
    for (std::size_t i = 1; i < packets.size(); ++i) {
        Packet unit;
        for (Bytes nal : split_nal_units(packets[i])) {
            if (nal_unit_type(nal) != nal_type_sps && nal_unit_type(nal) != nal_type_pps) {
                unit.insert(unit.end(), {0, 0, 0, 1});
                unit.insert(unit.end(), nal.begin(), nal.end());
            }
        }
        stripped.push_back(std::move(unit));
    }
    return stripped;
}

const StreamRecipe five_frame_groups{.width = 64, .height = 48, .frames = 17, .b_frames = 2, .gop = 5,
                                   .x264_params = "scenecut=0:open-gop=0"};

TEST(BatchReader, StartsEachGroupAtAnIdrAndCarriesTheParameterSetsAlong) {
    const auto packets = testing::encode_h264(five_frame_groups);
    const auto groups = read_batches(packets, BatchMode::group_of_pictures);
    ASSERT_EQ(groups.size(), 4u);
    std::size_t next_packet = 0;
    for (const Batch& batch : groups) {
        EXPECT_EQ(batch.input_offset, next_packet);
        EXPECT_TRUE(contains_idr_slice(batch.packets.front()));
        EXPECT_EQ(batch.expected_frames, batch.packets.size());
        // Later packets are the input's own bytes; the first one may only
        // have gained parameter sets in front.
        const Packet& own = packets[next_packet];
        EXPECT_TRUE(std::equal(own.rbegin(), own.rend(), batch.packets.front().rbegin()));
        for (std::size_t i = 1; i < batch.packets.size(); ++i) {
            EXPECT_EQ(batch.packets[i], packets[next_packet + i]);
        }
        if (batch.number > 1) {
            EXPECT_EQ(nal_unit_type(split_nal_units(batch.packets.front()).front()), nal_type_sps);
        }
        next_packet += batch.packets.size();
    }
    EXPECT_EQ(next_packet, packets.size());

    const auto whole = read_batches(packets, BatchMode::whole_input);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].packets, packets);
}

TEST(BatchDecoder, PutsEveryFrameAtItsPositionWhateverTheBatchingAndGuesses) {
    const auto packets = testing::encode_h264(five_frame_groups);
    const std::uint64_t frame_bytes = 64 * 48 * 3 / 2;
    for (const char* frames : {"", "0,4-6,11,16", "5", "16,40"}) {
        SCOPED_TRACE(frames);
        const FrameSelection selection = *frames == '\0' ? FrameSelection() : select(frames);
        std::vector<std::uint64_t> wanted;
        for (std::uint64_t i = 0; i < 17; ++i) {
            if (selection.contains(i)) {
                wanted.push_back(i);
            }
        }
        for (const BatchMode mode : {BatchMode::group_of_pictures, BatchMode::whole_input}) {
            auto batches = read_batches(packets, mode);
            // Slices of 2 frames per call, and guesses off in both directions
            // (as with lost pictures or field pairs), must change nothing.
            for (const std::uint64_t budget : {std::uint64_t{0}, 2 * frame_bytes}) {
                for (const int guess_error : {0, -2, +3}) {
                    for (Batch& batch : batches) {
                        batch.expected_frames = batch.packets.size() + static_cast<std::uint64_t>(guess_error);
                    }
                    std::uint64_t total = 0;
                    const auto delivered = decode_batches(
                        batches, BatchDecoder(RuntimeFormatYuv420, std::nullopt, selection, budget), &total);
                    ASSERT_TRUE(delivered.has_value());
                    EXPECT_EQ(total, 17u);
                    ASSERT_EQ(delivered->size(), wanted.size()) << "budget " << budget << " guess " << guess_error;
                    for (std::size_t i = 0; i < wanted.size(); ++i) {
                        EXPECT_EQ((*delivered)[i].position, wanted[i]);
                        EXPECT_EQ((*delivered)[i].pixels,
                                  testing::expected_luma(five_frame_groups, static_cast<int>(wanted[i])))
                            << "position " << wanted[i];
                    }
                }
            }
        }
    }
}

TEST(BatchDecoder, RgbSizeDefaultsToTheDecodedSizeAndFollowsAChange) {
    StreamRecipe small = five_frame_groups;
    small.frames = 5;
    StreamRecipe large = small;
    large.width = 96;
    large.height = 64;
    const auto packets = testing::concatenate(testing::encode_h264(small), testing::encode_h264(large));
    BatchDecoder decoder(RuntimeFormatRgb, std::nullopt, FrameSelection(), 0);
    const auto delivered = decode_batches(read_batches(packets, BatchMode::group_of_pictures), std::move(decoder));
    ASSERT_TRUE(delivered.has_value());
    ASSERT_EQ(delivered->size(), 10u);
    EXPECT_EQ((*delivered)[4].pixels.size(), 64u * 48 * 3);
    EXPECT_EQ((*delivered)[5].pixels.size(), 96u * 64 * 3);
}

// A full-range stream makes the library free its decoder after each call, so
// every batch meets a fresh one; with parameter sets only at the start, the
// batches after the first decode only thanks to the sets carried along.
TEST(BatchDecoder, BatchesDecodeOnAFreshDecoderWithParameterSetsSentOnlyOnce) {
    StreamRecipe recipe = five_frame_groups;
    recipe.full_range = true;
    const auto packets = without_parameter_sets_after_first_unit(testing::encode_h264(recipe));
    const auto whole = decode_batches(read_batches(packets, BatchMode::whole_input),
                                      BatchDecoder(RuntimeFormatRgb, FrameSize{32, 24}, FrameSelection(), 0));
    const auto groups = decode_batches(read_batches(packets, BatchMode::group_of_pictures),
                                       BatchDecoder(RuntimeFormatRgb, FrameSize{32, 24}, FrameSelection(), 0));
    ASSERT_TRUE(whole.has_value());
    ASSERT_TRUE(groups.has_value());
    ASSERT_EQ(groups->size(), 17u);
    for (std::size_t i = 0; i < 17; ++i) {
        EXPECT_EQ((*groups)[i].position, i);
        EXPECT_EQ((*groups)[i].pixels, (*whole)[i].pixels) << "position " << i;
    }
}

// A file's frames are asked of the file layer in slices within the memory
// budget; a slice that ends inside a group decodes the group's start again.
// Whatever the slices, every kept frame comes once, at its index.
TEST(FileFrames, SlicesWithinTheBudgetGiveEveryKeptFrameAtItsIndex) {
    const std::string path = ::testing::TempDir() + "five_frame_groups.h264";
    {
        std::ofstream file(path, std::ios::binary);
        for (const Packet& packet : testing::encode_h264(five_frame_groups)) {
            file.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
        }
    }
    auto source = open_file_frames(path);
    ASSERT_TRUE(source) << source.error().message;
    const std::uint64_t frame_bytes = 64 * 48 * 3 / 2;
    Progress progress(false);
    for (const char* frames : {"", "0,4-6,11,16,40"}) {
        const FrameSelection selection = *frames == '\0' ? FrameSelection() : select(frames);
        for (const std::uint64_t budget : {std::uint64_t{0}, frame_bytes, 2 * frame_bytes, 3 * frame_bytes}) {
            SCOPED_TRACE(std::string(frames) + " budget " + std::to_string(budget));
            std::vector<std::uint64_t> positions;
            const FrameConsumer check = [&](std::uint64_t position, const RuntimeFrame& frame) -> Outcome<void> {
                positions.push_back(position);
                EXPECT_EQ(std::vector<std::uint8_t>(frame.y.data, frame.y.data + frame.y.len),
                          testing::expected_luma(five_frame_groups, static_cast<int>(position)));
                return {};
            };
            const DecodeSettings settings{RuntimeFormatYuv420, std::nullopt, selection, BatchMode::group_of_pictures,
                                          budget};
            const auto totals = (*source)->decode(settings, check, progress);
            ASSERT_TRUE(totals) << totals.error().message;
            std::vector<std::uint64_t> wanted;
            for (std::uint64_t i = 0; i < 17; ++i) {
                if (selection.contains(i)) {
                    wanted.push_back(i);
                }
            }
            EXPECT_EQ(positions, wanted);
        }
    }
}

}  // namespace
}  // namespace pytovrik::cli
