// The index and its plans over tracks held in memory, made by the encoder:
// every frame the index offers is the frame a decoder shows when it decodes
// the whole stream from its start, and any subset of frames, in any order,
// decodes to exactly those frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>

#include "plan_driver.hpp"
#include "support/h264_streams.hpp"

namespace pytovrik::file::testing {
namespace {

using pytovrik::testing::EncodedPacket;
using pytovrik::testing::Packet;
using pytovrik::testing::StreamRecipe;

class MemoryTrack final : public Track {
public:
    Outcome<void> read_samples(std::span<const std::uint32_t> indices, const SampleConsumer& consume) override {
        for (const std::uint32_t index : indices) {
            if (auto consumed = consume(index, bytes[index]); !consumed) {
                return consumed;
            }
        }
        return {};
    }
    std::vector<Packet> bytes;
};

// Annex B samples as a container would hold them: with the encoder's pts
// and key flags, or with neither (a raw stream).
std::unique_ptr<Track> track_of(const std::vector<EncodedPacket>& packets, const std::vector<Packet>& parameter_sets,
                                bool timed) {
    auto track = std::make_unique<MemoryTrack>();
    track->info.time_base = {1, 25};
    track->info.frame_rate = {25, 1};
    track->descriptions.emplace_back().parameter_sets = parameter_sets;
    for (const EncodedPacket& packet : packets) {
        TrackSample sample;
        sample.size = static_cast<std::uint32_t>(packet.bytes.size());
        sample.pts = timed ? packet.pts : NO_PTS;
        sample.flags = timed && packet.key ? SAMPLE_KEY : 0;
        track->samples.push_back(sample);
        track->bytes.push_back(packet.bytes);
    }
    return track;
}

std::vector<Packet> bytes_of(const std::vector<EncodedPacket>& packets) {
    std::vector<Packet> bytes;
    for (const EncodedPacket& packet : packets) {
        bytes.push_back(packet.bytes);
    }
    return bytes;
}

struct Case {
    const char* name;
    StreamRecipe recipe;
    std::size_t cut = 0;  // packets dropped from the front, as a cut mid-stream
};

TEST(FramePlan, AnySubsetOfFramesDecodesToTheFramesOfAWholeDecode) {
    const Case cases[] = {
        {"closed groups with B-frames",
         {.width = 64, .height = 48, .frames = 30, .b_frames = 2, .gop = 8, .lossless = false,
          .x264_params = "b-pyramid=normal:scenecut=0"}},
        {"open groups",
         {.width = 64, .height = 48, .frames = 40, .b_frames = 3, .gop = 10, .lossless = false,
          .x264_params = "open-gop=1:b-pyramid=normal:scenecut=0"}},
        {"open groups, cut mid-stream",
         {.width = 64, .height = 48, .frames = 40, .b_frames = 3, .gop = 10, .lossless = false,
          .x264_params = "open-gop=1:b-pyramid=normal:scenecut=0"},
         13},
        {"intra refresh",
         {.width = 64, .height = 48, .frames = 40, .b_frames = 0, .gop = 10, .lossless = false,
          .x264_params = "intra-refresh=1"}},
        {"intra refresh, cut mid-stream",
         {.width = 64, .height = 48, .frames = 40, .b_frames = 0, .gop = 10, .lossless = false,
          .x264_params = "intra-refresh=1"},
         15},
        {"interlaced", {.width = 64, .height = 48, .frames = 12, .b_frames = 2, .gop = 6, .lossless = false,
                        .interlaced = true}},
    };
    std::mt19937 random(7);
    for (const Case& c : cases) {
        std::vector<EncodedPacket> packets;
        try {
            packets = pytovrik::testing::encode_h264_with_timestamps(c.recipe);
        } catch (const std::runtime_error& error) {
            GTEST_SKIP() << "this libx264 cannot encode " << c.name << ": " << error.what();
        }
        // The parameter sets, as a container's track header keeps them.
        std::vector<Packet> parameter_sets;
        for (const Packet& unit : pytovrik::testing::nal_units(packets.front().bytes)) {
            if ((unit[0] & 0x1F) == 7 || (unit[0] & 0x1F) == 8) {
                parameter_sets.push_back(unit);
            }
        }
        packets.erase(packets.begin(), packets.begin() + static_cast<std::ptrdiff_t>(c.cut));
        std::vector<Packet> stream = bytes_of(packets);
        const Packet header = pytovrik::testing::annexb(parameter_sets);
        stream.front().insert(stream.front().begin(), header.begin(), header.end());
        const auto whole = pytovrik::testing::decode_frames(stream, RuntimeFormatYuv420);
        ASSERT_TRUE(whole.has_value()) << c.name;
        for (const bool timed : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (timed ? ", with pts" : ", without pts"));
            auto index = VideoIndex::from_track(c.name, track_of(packets, parameter_sets, timed), library_functions());
            ASSERT_TRUE(index) << index.error().message;
            ASSERT_EQ((*index)->frame_count(), whole->size());
            std::vector<std::uint64_t> every((*index)->frame_count());
            std::iota(every.begin(), every.end(), 0U);
            std::vector<std::vector<std::uint64_t>> asks = {every, {every.back()}, {0}};
            for (int round = 0; round < 6; ++round) {
                std::vector<std::uint64_t> some(every);
                std::shuffle(some.begin(), some.end(), random);
                some.resize(1 + random() % 5);
                some.push_back(some.front());  // a repeat
                asks.push_back(some);
            }
            for (const auto& ask : asks) {
                const PlannedFrames planned = decode_through_plan(**index, ask);
                ASSERT_EQ(planned.failure, "");
                for (std::size_t k = 0; k < ask.size(); ++k) {
                    ASSERT_EQ(planned.frames[k], (*whole)[ask[k]]) << "frame " << ask[k];
                }
            }
        }
    }
}

}  // namespace
}  // namespace pytovrik::file::testing
