#include "mp4/mp4_track.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "libavformat_packets.hpp"
#include "mp4_file_builder.hpp"

namespace pytovrik::file {
namespace {

using testing::BoxWriter;
using testing::DemuxedTrack;
using testing::MovieSpec;

std::string media(const std::string& name) {
    return std::string(PYTOVRIK_TEST_MEDIA_DIR) + "/" + name;
}

struct Opened {
    std::unique_ptr<Track> track;  // null when the reader falls back
    std::string fallback_reason;
};

Opened open_file(const std::string& path) {
    auto bytes = FileBytes::open(path);
    EXPECT_TRUE(bytes) << bytes.error().message;
    Opened opened;
    auto track = open_mp4_track(*bytes, &opened.fallback_reason);
    EXPECT_TRUE(track) << track.error().message;
    if (track) {
        opened.track = std::move(*track);
    }
    return opened;
}

[[maybe_unused]] std::string failure_of(const std::string& path) {
    auto bytes = FileBytes::open(path);
    EXPECT_TRUE(bytes) << bytes.error().message;
    auto track = open_mp4_track(*bytes);
    EXPECT_FALSE(track) << path << " opened";
    return track ? std::string() : track.error().message;
}

// The avcC a description stands for, written anew: its bytes must begin the
// extradata libavformat hands out (which may add profile extensions).
ByteVector configuration_of(const SampleDescription& description) {
    BoxWriter record;
    std::vector<const ByteVector*> sequence_sets;
    std::vector<const ByteVector*> picture_sets;
    for (const ByteVector& set : description.parameter_sets) {
        ((set[0] & 0x1F) == 7 ? sequence_sets : picture_sets).push_back(&set);
    }
    const ByteVector& sps = *sequence_sets.at(0);
    record.u8(1).u8(sps[1]).u8(sps[2]).u8(sps[3]);
    record.u8(static_cast<std::uint8_t>(0xFC | (description.length_size - 1)));
    record.u8(static_cast<std::uint8_t>(0xE0 | sequence_sets.size()));
    for (const ByteVector* set : sequence_sets) {
        record.u16(static_cast<std::uint16_t>(set->size())).bytes(*set);
    }
    record.u8(static_cast<std::uint8_t>(picture_sets.size()));
    for (const ByteVector* set : picture_sets) {
        record.u16(static_cast<std::uint16_t>(set->size())).bytes(*set);
    }
    return record.data();
}

// Every field of the track held to libavformat's packets, and the bytes
// read_samples hands out held to the packets' bytes.
void expect_same_as_libavformat(const std::string& path, Track& track) {
    const DemuxedTrack reference = testing::demux_with_libavformat(path);
    EXPECT_EQ(track.info.container, reference.container);
    EXPECT_EQ(track.info.time_base.num, reference.time_base.num);
    EXPECT_EQ(track.info.time_base.den, reference.time_base.den);
    EXPECT_EQ(track.info.frame_rate.num, reference.frame_rate.num);
    EXPECT_EQ(track.info.frame_rate.den, reference.frame_rate.den);
    ASSERT_FALSE(track.descriptions.empty());
    const ByteVector rebuilt = configuration_of(track.descriptions[0]);
    ASSERT_GE(reference.extradata.size(), rebuilt.size());
    EXPECT_TRUE(std::equal(rebuilt.begin(), rebuilt.end(), reference.extradata.begin()));
    ASSERT_EQ(track.samples.size(), reference.packets.size());
    std::vector<std::uint32_t> all;
    for (std::size_t i = 0; i < track.samples.size(); ++i) {
        const TrackSample& sample = track.samples[i];
        const testing::DemuxedPacket& packet = reference.packets[i];
        SCOPED_TRACE("sample " + std::to_string(i));
        EXPECT_EQ(static_cast<std::int64_t>(sample.position), packet.position);
        EXPECT_EQ(sample.size, packet.size);
        EXPECT_EQ(sample.pts, packet.pts);
        EXPECT_EQ((sample.flags & SAMPLE_KEY) != 0, packet.key);
        EXPECT_EQ((sample.flags & SAMPLE_DISCARD) != 0, packet.discard);
        EXPECT_EQ((sample.flags & SAMPLE_TRUNCATED) != 0, packet.corrupt);
        const std::uint16_t previous = i == 0 ? 0 : track.samples[i - 1].description;
        EXPECT_EQ(sample.description != previous, packet.new_extradata);
        all.push_back(static_cast<std::uint32_t>(i));
    }
    auto read = track.read_samples(all, [&](std::uint32_t index, std::span<const std::uint8_t> bytes) -> Outcome<void> {
        const ByteVector& expected = reference.packets[index].bytes;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end())) << "sample " << index;
        return {};
    });
    EXPECT_TRUE(read) << read.error().message;
}

class Mp4Media : public ::testing::TestWithParam<std::string> {};

TEST_P(Mp4Media, SamplesAreLibavformatsPackets) {
    const std::string path = media(GetParam());
    Opened opened = open_file(path);
    ASSERT_NE(opened.track, nullptr) << "fell back: " << opened.fallback_reason;
    expect_same_as_libavformat(path, *opened.track);
}

INSTANTIATE_TEST_SUITE_P(
    FileLayer, Mp4Media,
    ::testing::Values("plain.mp4", "cut.mp4", "negative_cts.mp4", "negative_pts.mp4", "late_video.mp4",
                      "open_gop.mp4", "intra_refresh.mp4", "fragmented.mp4", "fragmented_moov_samples.mp4",
                      "fragmented_indexed.mp4", "faststart.mp4", "movie.mov", "fields_cvfi1.mp4",
                      "fields_capama3.mp4", "truncated.mp4"),
    [](const ::testing::TestParamInfo<std::string>& param) {
        std::string name = param.param;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
        }
        return name;
    });

}  // namespace
}  // namespace pytovrik::file
