#include "scan/scanned_track.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "libavformat_packets.hpp"
#include "scan/sample_descriptions.hpp"
#include "scan/sample_position.hpp"

namespace pytovrik::file {
namespace {

using testing::demux_with_libavformat;
using testing::DemuxedTrack;

std::string media(const std::string& name) {
    return std::string(PYTOVRIK_TEST_MEDIA_DIR) + "/" + name;
}

// A host's reader over a file opened by path: the source a remote store is.
std::int64_t read_through(void* context, std::uint64_t offset, std::uint8_t* buffer, std::uint64_t size) {
    auto got = static_cast<const FileBytes*>(context)->read(offset, std::span(buffer, size));
    return got ? static_cast<std::int64_t>(*got) : -1;
}

Outcome<std::unique_ptr<Track>> scan(const std::string& path, std::vector<ByteVector>* observed = nullptr,
                                     bool through_reader = false) {
    auto file = FileBytes::open(path);
    if (!file) {
        return std::unexpected(file.error());
    }
    if (through_reader) {
        static std::vector<std::shared_ptr<FileBytes>> read_through_files;  // as long as the tracks
        read_through_files.push_back(*file);
        file = FileBytes::over_callback({file->get(), &read_through}, (*file)->size(), path);
    }
    auto observe = [observed](const Track&, std::uint32_t index, std::span<const std::uint8_t> bytes) -> Outcome<void> {
        if (observed != nullptr) {
            EXPECT_EQ(index, observed->size());
            observed->emplace_back(bytes.begin(), bytes.end());
        }
        return {};
    };
    return open_scanned_track(*file, observe);
}

// Reads `indices` back and compares each sample's bytes with the packet's.
void expect_bytes_read_back(Track& track, const DemuxedTrack& reference, std::vector<std::uint32_t> indices) {
    std::size_t next = 0;
    auto compare = [&](std::uint32_t index, std::span<const std::uint8_t> bytes) -> Outcome<void> {
        EXPECT_LT(next, indices.size());
        EXPECT_EQ(index, indices[next]);
        ++next;
        EXPECT_TRUE(ByteVector(bytes.begin(), bytes.end()) == reference.packets[index].bytes) << "sample " << index;
        return {};
    };
    auto read = track.read_samples(indices, compare);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(next, indices.size());
}

std::vector<std::uint32_t> every(std::size_t count, std::uint32_t first = 0, std::uint32_t step = 1) {
    std::vector<std::uint32_t> indices;
    for (std::uint32_t i = first; i < count; i += step) {
        indices.push_back(i);
    }
    return indices;
}

class ScannedTrackOf : public ::testing::TestWithParam<const char*> {};

// Every sample is libavformat's packet, field by field; its bytes reach the
// observer while scanning, and come back from read_samples, whole and in
// sparse requests that reposition a demuxer.
TEST_P(ScannedTrackOf, IsLibavformatsPacketListAndGivesItsBytesBack) {
    const std::string path = media(GetParam());
    const DemuxedTrack reference = demux_with_libavformat(path);
    std::vector<ByteVector> observed;
    auto track = scan(path, &observed);
    ASSERT_TRUE(track) << track.error().message;
    const Track& scanned = **track;

    EXPECT_EQ(scanned.info.container, reference.container);
    EXPECT_EQ(scanned.info.time_base.num, reference.time_base.num);
    EXPECT_EQ(scanned.info.time_base.den, reference.time_base.den);
    if (reference.frame_rate.num > 0) {
        EXPECT_EQ(scanned.info.frame_rate.num, reference.frame_rate.num);
        EXPECT_EQ(scanned.info.frame_rate.den, reference.frame_rate.den);
    }
    EXPECT_GT(scanned.info.bytes_read, 0U);
    ASSERT_FALSE(reference.packets.empty());
    ASSERT_EQ(scanned.samples.size(), reference.packets.size());
    ASSERT_EQ(observed.size(), reference.packets.size());
    std::uint16_t description = 0;
    for (std::size_t i = 0; i < reference.packets.size(); ++i) {
        const TrackSample& sample = scanned.samples[i];
        const auto& packet = reference.packets[i];
        SCOPED_TRACE("sample " + std::to_string(i));
        EXPECT_EQ(sample.size, packet.size);
        EXPECT_EQ(sample.pts, packet.pts);
        EXPECT_EQ((sample.flags & SAMPLE_KEY) != 0, packet.key);
        EXPECT_EQ((sample.flags & SAMPLE_DISCARD) != 0, packet.discard);
        EXPECT_EQ((sample.flags & SAMPLE_TRUNCATED) != 0, packet.corrupt);
        EXPECT_TRUE(observed[i] == packet.bytes);
        // A description changes only with new extradata.
        if (!packet.new_extradata) {
            EXPECT_EQ(sample.description, description);
        }
        description = sample.description;
        ASSERT_LT(sample.description, scanned.descriptions.size());
    }
    expect_bytes_read_back(**track, reference, every(reference.packets.size()));
    expect_bytes_read_back(**track, reference, every(reference.packets.size(), 3, 7));
    expect_bytes_read_back(**track, reference, {static_cast<std::uint32_t>(reference.packets.size() - 1)});
}

INSTANTIATE_TEST_SUITE_P(Media, ScannedTrackOf,
                         ::testing::Values("ts_bframes.ts", "mkv_bframes.mkv", "avi_bframes.avi", "flv_bframes.flv",
                                           "raw_bframes.h264", "scan_bframes.mp4", "ts_cut.ts", "ts_field_cvfi1.ts",
                                           "mkv_field_cvfi1.mkv", "ts_field_capama3.ts", "mkv_field_capama3.mkv",
                                           "ts_resolution_change.ts", "mkv_resolution_change.mkv",
                                           "flv_resolution_change.flv", "ts_truncated.ts", "mkv_truncated.mkv",
                                           "avi_truncated.avi", "scan_truncated.mp4", "ts_damaged.ts",
                                           "mkv_damaged.mkv", "avi_damaged.avi", "scan_damaged.mp4",
                                           "mkv_sei_only.mkv"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string name = param.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
                             }
                             return name;
                         });

// Matroska blocks with header stripping or zlib compression come back by
// demuxing again too, through each demuxer's own seek, between samples read
// with pread: here two samples in three of each container are made to.
TEST(ScannedTrack, ReadsBackByDemuxingAgainInEveryContainer) {
    for (const char* name : {"mkv_bframes.mkv", "avi_bframes.avi", "flv_bframes.flv", "raw_bframes.h264",
                             "scan_bframes.mp4", "mkv_sei_only.mkv"}) {
        SCOPED_TRACE(name);
        const DemuxedTrack reference = demux_with_libavformat(media(name));
        auto track = scan(media(name));
        ASSERT_TRUE(track) << track.error().message;
        ASSERT_EQ((*track)->samples.size(), reference.packets.size());
        for (std::size_t i = 0; i < reference.packets.size(); ++i) {
            if (i % 3 != 0) {
                (*track)->samples[i].position = demuxed_position(reference.packets[i].position);
            }
        }
        const std::size_t count = reference.packets.size();
        expect_bytes_read_back(**track, reference, every(count, 5, 11));
        expect_bytes_read_back(**track, reference, every(count, 40));
        expect_bytes_read_back(**track, reference, every(count));
    }
}

TEST(ScannedTrack, ReadsBackFromSeveralThreadsAtOnceFromAPathOrAHostsReader) {
    for (const auto& [name, through_reader] : std::vector<std::pair<const char*, bool>>{
             {"ts_bframes.ts", false}, {"mkv_bframes.mkv", false}, {"ts_bframes.ts", true}, {"ts_cut.ts", true}}) {
        SCOPED_TRACE(name + std::string(through_reader ? " through a reader" : ""));
        const std::string path = media(name);
        const DemuxedTrack reference = demux_with_libavformat(path);
        auto track = scan(path, nullptr, through_reader);
        ASSERT_TRUE(track) << track.error().message;
        const auto count = static_cast<std::uint32_t>(reference.packets.size());
        const std::uint32_t groups = (count + 11) / 12;
        std::vector<std::thread> threads;
        for (std::uint32_t t = 0; t < 4; ++t) {
            // Groups of 12 samples, each thread from a different place on.
            threads.emplace_back([&, t] {
                for (std::uint32_t g = 0; g < groups; ++g) {
                    const std::uint32_t first = (g + t * 3) % groups * 12;
                    std::vector<std::uint32_t> group;
                    for (std::uint32_t i = first; i < first + 12 && i < count; ++i) {
                        group.push_back(i);
                    }
                    expect_bytes_read_back(**track, reference, group);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
}

// What the container states beside the samples: Matroska's avcC record,
// MPEG-TS's in-band sets as extradata, FLV's second sequence header.
TEST(ScannedTrack, DescribesTheParameterSetsTheContainerKeepsAndEachChange) {
    auto mkv = scan(media("mkv_resolution_change.mkv"));
    ASSERT_TRUE(mkv) << mkv.error().message;
    ASSERT_EQ((*mkv)->descriptions.size(), 1U);
    EXPECT_EQ((*mkv)->descriptions[0].length_size, 4);
    EXPECT_EQ((*mkv)->descriptions[0].width, 160U);

    auto ts = scan(media("ts_resolution_change.ts"));
    ASSERT_TRUE(ts) << ts.error().message;
    ASSERT_EQ((*ts)->descriptions.size(), 1U);
    EXPECT_EQ((*ts)->descriptions[0].length_size, 0);
    EXPECT_EQ((*ts)->descriptions[0].parameter_sets.size(), 2U);

    auto flv = scan(media("flv_resolution_change.flv"));
    ASSERT_TRUE(flv) << flv.error().message;
    ASSERT_EQ((*flv)->descriptions.size(), 2U);
    EXPECT_NE((*flv)->descriptions[0].parameter_sets, (*flv)->descriptions[1].parameter_sets);
    EXPECT_EQ((*flv)->samples.front().description, 0);
    EXPECT_EQ((*flv)->samples.back().description, 1);

    // Malformed avcC records: counts and sizes past the end, too short.
    for (const ByteVector& record : {ByteVector{1, 0x64, 0, 0x1f, 0xff, 0xe1, 0, 9, 0x67},
                                     ByteVector{1, 0x64, 0, 0x1f, 0xff, 0xe0, 1, 0, 5}, ByteVector{1, 2, 3}}) {
        EXPECT_FALSE(describe_extradata(record));
    }
}

// A damaged stretch longer than MPEG-TS resynchronisation makes the demuxer
// say EAGAIN: the command line reads on and so does the scan.
TEST(ScannedTrack, ReadsOnPastADamagedStretchAsTheCommandLineDoes) {
    const std::string path = media("ts_damaged.ts");
    const DemuxedTrack reference = demux_with_libavformat(path);
    auto file = FileBytes::open(path);
    ASSERT_TRUE(file);
    const auto damage_end = static_cast<std::int64_t>((*file)->size() / 5 + 204800);
    EXPECT_GT(reference.packets.back().position, damage_end);
    auto track = scan(path);
    ASSERT_TRUE(track) << track.error().message;
    EXPECT_EQ((*track)->samples.size(), reference.packets.size());
}

TEST(ScannedTrack, FailsNamingTheFile) {
    const std::string text = ::testing::TempDir() + "scanned_track_not_media.txt";
    {
        std::FILE* out = std::fopen(text.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fputs("not a video file at all, just some words\n", out);
        std::fclose(out);
    }
    for (const std::string& path : {text, media("ts_audio_only.ts"), media("missing.ts")}) {
        auto track = scan(path);
        ASSERT_FALSE(track) << path;
        EXPECT_NE(track.error().message.find("'" + path + "'"), std::string::npos) << track.error().message;
    }
    EXPECT_NE(scan(media("ts_audio_only.ts")).error().message.find("has no H.264 video track"), std::string::npos);
    EXPECT_NE(scan(media("hevc.mp4")).error().message.find("its video track is hevc; only H.264 is decoded"),
              std::string::npos);
    std::remove(text.c_str());

    // The observer's failure ends the scan with its message.
    auto file = FileBytes::open(media("mkv_bframes.mkv"));
    ASSERT_TRUE(file);
    auto refused = open_scanned_track(*file, [](const Track&, std::uint32_t index, std::span<const std::uint8_t>) -> Outcome<void> {
        return index == 5 ? fail("sample 5 is refused") : Outcome<void>{};
    });
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "sample 5 is refused");

    auto track = scan(media("ts_bframes.ts"));
    ASSERT_TRUE(track);
    const std::vector<std::uint32_t> out_of_range = {0, static_cast<std::uint32_t>((*track)->samples.size())};
    const std::vector<std::uint32_t> descending = {4, 2};
    auto ignore = [](std::uint32_t, std::span<const std::uint8_t>) -> Outcome<void> { return {}; };
    for (const auto& indices : {out_of_range, descending}) {
        auto read = (*track)->read_samples(indices, ignore);
        ASSERT_FALSE(read);
        EXPECT_NE(read.error().message.find("ts_bframes.ts'"), std::string::npos) << read.error().message;
    }
}

}  // namespace
}  // namespace pytovrik::file
