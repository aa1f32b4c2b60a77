#include "mp4/mp4_track.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/ffmpeg_owners.hpp"
#include "display_matrix.hpp"
#include "libavformat_packets.hpp"
#include "plane_turn.hpp"
#include "frame_plan.hpp"
#include "mp4_file_builder.hpp"
#include "video_index.hpp"

extern "C" {
#include <libavutil/display.h>
}

namespace pytovrik::file {
namespace {

using testing::BoxWriter;
using testing::DemuxedTrack;
using testing::MovieRecipe;

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

std::string failure_of(const std::string& path) {
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

// The key flags of libavformat's index, by sample position: the
// container's sync flags as libavformat reads them. Its packets' key flags
// come from its H.264 parser instead, which reads the NAL units.
std::map<std::int64_t, bool> index_key_flags(const std::string& path) {
    AVFormatContext* opened = nullptr;
    EXPECT_EQ(avformat_open_input(&opened, path.c_str(), nullptr, nullptr), 0);
    UniqueAVFormatContext format(opened);
    // Fragments under a complete segment index enter the index as they are
    // read.
    UniqueAVPacket packet(av_packet_alloc());
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        av_packet_unref(packet.get());
    }
    std::map<std::int64_t, bool> keys;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_id != AV_CODEC_ID_H264) {
            continue;
        }
        for (int k = 0; k < avformat_index_get_entries_count(stream); ++k) {
            const AVIndexEntry* entry = avformat_index_get_entry(stream, k);
            keys.emplace(entry->pos, (entry->flags & AVINDEX_KEYFRAME) != 0);
        }
        break;
    }
    return keys;
}

// Every field of the track held to libavformat's packets, and the bytes
// read_samples hands out held to the packets' bytes. `parser_keys`: the
// container's sync flags agree with what libavformat's parser finds.
void expect_same_as_libavformat(const std::string& path, Track& track, bool parser_keys = true) {
    const DemuxedTrack reference = testing::demux_with_libavformat(path);
    const std::map<std::int64_t, bool> index_keys = index_key_flags(path);
    EXPECT_EQ(track.info.container, reference.container);
    EXPECT_EQ(track.info.time_base.num, reference.time_base.num);
    EXPECT_EQ(track.info.time_base.den, reference.time_base.den);
    EXPECT_EQ(track.info.frame_rate.num, reference.frame_rate.num);
    EXPECT_EQ(track.info.frame_rate.den, reference.frame_rate.den);
    EXPECT_EQ(track.info.display_matrix, reference.display_matrix);
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
        const bool key = (sample.flags & SAMPLE_KEY) != 0;
        ASSERT_TRUE(index_keys.contains(packet.position));
        EXPECT_EQ(key, index_keys.at(packet.position));
        if (parser_keys) {
            EXPECT_EQ(key, packet.key);
        }
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

INSTANTIATE_TEST_SUITE_P(FileLayer, Mp4Media,
                         ::testing::Values("plain.mp4", "cut.mp4", "negative_cts.mp4", "negative_pts.mp4",
                                           "late_video.mp4", "open_gop.mp4", "intra_refresh.mp4", "fragmented.mp4",
                                           "fragmented_moov_samples.mp4", "fragmented_indexed.mp4", "faststart.mp4",
                                           "movie.mov", "fields_cvfi1.mp4", "fields_capama3.mp4", "truncated.mp4",
                                           "cut_user_data.mp4", "rotation_90.mp4", "rotation_180.mp4",
                                           "rotation_270.mp4"),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                             std::string name = param.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
                             }
                             return name;
                         });

// The turn a player applies, from matrices as libavutil makes them
// (av_display_rotation_set turns clockwise; a flip after the turn is a
// mirror before the opposite turn); other angles go to the nearest quarter.
TEST(DisplayMatrix, TurnsAsFfmpegAutorotates) {
    struct Row {
        double clockwise;
        bool flip;
        std::uint32_t rotation;
        bool mirrored;
    };
    for (const Row& row : {Row{0, false, 0, false}, Row{90, false, 90, false}, Row{-90, false, 270, false},
                           Row{180, false, 180, false}, Row{-90, true, 90, true}, Row{0, true, 0, true},
                           Row{40, false, 0, false}, Row{-135.5, false, 180, false}}) {
        std::array<std::int32_t, 9> matrix{};
        av_display_rotation_set(matrix.data(), row.clockwise);
        if (row.flip) {
            av_display_matrix_flip(matrix.data(), 1, 0);
        }
        const Orientation orientation = orientation_of(matrix);
        EXPECT_EQ(orientation.rotation, row.rotation) << row.clockwise;
        EXPECT_EQ(orientation.mirrored, row.mirrored) << row.clockwise;
    }
    EXPECT_EQ(orientation_of({}).rotation, 0U);  // no scale: shown as stored
}

// Pixels moved as ffmpeg's transpose and flip filters move them, the mirror
// before the turn; elements of several bytes move whole.
TEST(DisplayMatrix, TurnedPlanesMoveEveryPixelOnce) {
    const std::vector<std::uint8_t> stored{0, 1, 2, 3, 4, 5};  // 3 wide, 2 high
    struct Row {
        std::uint32_t rotation;
        bool mirrored;
        std::vector<std::uint8_t> shown;
    };
    for (const Row& row : {Row{0, false, {0, 1, 2, 3, 4, 5}}, Row{90, false, {3, 0, 4, 1, 5, 2}},
                           Row{180, false, {5, 4, 3, 2, 1, 0}}, Row{270, false, {2, 5, 1, 4, 0, 3}},
                           Row{0, true, {2, 1, 0, 5, 4, 3}}, Row{90, true, {5, 2, 4, 1, 3, 0}}}) {
        std::vector<std::uint8_t> shown(stored.size());
        turn_plane(stored.data(), shown.data(), 3, 2, 1, row.rotation, row.mirrored);
        EXPECT_EQ(shown, row.shown) << row.rotation << (row.mirrored ? " mirrored" : "");
        // The same moves with three-byte pixels.
        std::vector<std::uint8_t> rgb;
        for (const std::uint8_t value : stored) {
            rgb.insert(rgb.end(), {value, static_cast<std::uint8_t>(value + 10), static_cast<std::uint8_t>(value + 20)});
        }
        std::vector<std::uint8_t> turned(rgb.size());
        turn_plane(rgb.data(), turned.data(), 3, 2, 3, row.rotation, row.mirrored);
        for (std::size_t i = 0; i < row.shown.size(); ++i) {
            EXPECT_EQ(turned[i * 3 + 2], row.shown[i] + 20);
        }
    }
}

// Media the script made, as material for files built here.
const DemuxedTrack& source(const std::string& name) {
    static std::map<std::string, DemuxedTrack> sources;
    auto found = sources.find(name);
    if (found == sources.end()) {
        found = sources.emplace(name, testing::demux_with_libavformat(media(name))).first;
    }
    return found->second;
}

MovieRecipe recipe_of(const DemuxedTrack& track) {
    MovieRecipe recipe;
    recipe.configurations = {track.extradata};
    recipe.sync_samples.emplace();
    for (std::size_t i = 0; i < track.packets.size(); ++i) {
        recipe.samples.push_back(track.packets[i].bytes);
        if (track.packets[i].key) {
            recipe.sync_samples->push_back(static_cast<std::uint32_t>(i + 1));
        }
    }
    return recipe;
}

TEST(BuiltMp4, SamplesAreLibavformatsPackets) {
    // Two sample descriptions: the second chunk's samples come from another
    // encode, with other parameter sets.
    MovieRecipe two = recipe_of(source("plain.mp4"));
    const MovieRecipe second = recipe_of(source("open_gop.mp4"));
    two.chunk_sizes = {static_cast<std::uint32_t>(two.samples.size()),
                       static_cast<std::uint32_t>(second.samples.size())};
    two.chunk_entries = {1, 2};
    two.configurations.push_back(second.configurations[0]);
    for (const std::uint32_t key : *second.sync_samples) {
        two.sync_samples->push_back(key + two.chunk_sizes[0]);
    }
    two.samples.insert(two.samples.end(), second.samples.begin(), second.samples.end());
    // An empty sample, which libavformat's parser drops, and no sync sample
    // table: every sample is a key frame.
    MovieRecipe empty_sample = recipe_of(source("plain.mp4"));
    empty_sample.samples.insert(empty_sample.samples.begin() + 5, ByteVector{});
    empty_sample.sync_samples.reset();
    // An empty sync sample table: only the first sample is a key frame.
    MovieRecipe no_keys = recipe_of(source("plain.mp4"));
    no_keys.sync_samples->clear();
    // Compact sample size tables: each sample cut to what the fields hold.
    auto compact = [&](std::uint8_t bits) {
        MovieRecipe recipe = recipe_of(source("plain.mp4"));
        recipe.compact_size_bits = bits;
        for (ByteVector& sample : recipe.samples) {
            sample.resize(std::min<std::size_t>(sample.size(), (std::size_t{1} << bits) - 1));
        }
        return recipe;
    };
    for (const auto& [name, recipe] :
         {std::pair{"two_descriptions.mp4", two}, std::pair{"empty_sample.mp4", empty_sample},
          std::pair{"no_sync_samples.mp4", no_keys}, std::pair{"stz2_16.mp4", compact(16)},
          std::pair{"stz2_8.mp4", compact(8)}, std::pair{"stz2_4.mp4", compact(4)}}) {
        SCOPED_TRACE(name);
        const std::string path = testing::write_test_file(name, testing::build_movie_file(recipe));
        Opened opened = open_file(path);
        ASSERT_NE(opened.track, nullptr) << "fell back: " << opened.fallback_reason;
        // libavformat's parser finds the key frames only in whole samples.
        const bool whole_samples = recipe.compact_size_bits == 0 || recipe.compact_size_bits == 16;
        expect_same_as_libavformat(path, *opened.track,
                                   recipe.sync_samples && !recipe.sync_samples->empty() && whole_samples);
    }
    Opened opened = open_file(::testing::TempDir() + "two_descriptions.mp4");
    ASSERT_EQ(opened.track->descriptions.size(), 2U);
    const ByteVector rebuilt = configuration_of(opened.track->descriptions[1]);
    EXPECT_TRUE(std::equal(rebuilt.begin(), rebuilt.end(), second.configurations[0].begin()));
}

TEST(BuiltMp4, EditsAndFilesNotReproducedFallBack) {
    MovieRecipe two_edits = recipe_of(source("plain.mp4"));
    two_edits.edits = {{400, 0}, {400, 5120}};
    MovieRecipe fast_edit = recipe_of(source("plain.mp4"));
    fast_edit.edits = {{400, 0}};
    fast_edit.edit_rate = 0x00020000;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {testing::write_test_file("two_edits.mp4", testing::build_movie_file(two_edits)), "edit"},
        {testing::write_test_file("fast_edit.mp4", testing::build_movie_file(fast_edit)), "rate"},
        {std::string(PYTOVRIK_TEST_DATA_DIR) + "/conformance/streams/CVFI1_SVA_C.264", "ISO base media"},
    };
    for (const auto& [path, reason] : cases) {
        Opened opened = open_file(path);
        EXPECT_EQ(opened.track, nullptr) << path;
        EXPECT_NE(opened.fallback_reason.find(reason), std::string::npos) << opened.fallback_reason;
    }
}

TEST(BuiltMp4, HostileFilesFailNamingTheFile) {
    const ByteVector valid = testing::build_movie_file(recipe_of(source("plain.mp4")));
    auto patched = [&](auto&& patch) {
        ByteVector file = valid;
        patch(file);
        return file;
    };
    ByteVector fragmented;
    {
        std::ifstream in(media("fragmented.mp4"), std::ios::binary);
        fragmented.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::vector<std::pair<std::string, ByteVector>> cases = {
        {"huge_sample_count",
         patched([](ByteVector& f) { testing::put_be32(f, testing::find_box(f, "stsz") + 16, 0x7FFFFFF0); })},
        {"huge_constant_size_count", patched([](ByteVector& f) {
             testing::put_be32(f, testing::find_box(f, "stsz") + 12, 1);
             testing::put_be32(f, testing::find_box(f, "stsz") + 16, 0x7FFFFFF0);
         })},
        {"huge_chunk_count",
         patched([](ByteVector& f) { testing::put_be32(f, testing::find_box(f, "stco") + 12, 0x7FFFFFF0); })},
        {"chunk_past_the_end", patched([](ByteVector& f) {
             testing::put_be32(f, testing::find_box(f, "stco") + 16, static_cast<std::uint32_t>(f.size() + 1000));
         })},
        {"chunk_not_in_table",
         patched([](ByteVector& f) { testing::put_be32(f, testing::find_box(f, "stsc") + 16, 5); })},
        {"box_larger_than_parent", patched([](ByteVector& f) {
             const std::size_t moov = testing::find_box(f, "moov");
             testing::put_be32(f, testing::find_box(f, "trak"), testing::get_be32(f, moov) + 100);
         })},
        {"movie_box_cut_short", patched([](ByteVector& f) { f.resize(testing::find_box(f, "stsz") + 10); })},
        {"parameter_set_past_its_record", patched([](ByteVector& f) {
             testing::put_be32(f, testing::find_box(f, "avcC") + 14,
                               0xFFFF0000U | (testing::get_be32(f, testing::find_box(f, "avcC") + 14) & 0xFFFFU));
         })},
        {"huge_fragment_run",
         [&] {
             ByteVector f = fragmented;
             testing::put_be32(f, testing::find_box(f, "trun") + 12, 0x7FFFFFF0);
             return f;
         }()},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        const std::string path = testing::write_test_file(name + ".mp4", bytes);
        const std::string message = failure_of(path);
        EXPECT_NE(message.find("'" + path + "': "), std::string::npos) << message;
    }
}

TEST(BuiltMp4, ReadingSamplesTheFileNoLongerHoldsFailsNamingThem) {
    std::ifstream in(media("plain.mp4"), std::ios::binary);
    const ByteVector bytes(std::istreambuf_iterator<char>(in), {});
    const std::string path = testing::write_test_file("shrinking.mp4", bytes);
    Opened opened = open_file(path);
    ASSERT_NE(opened.track, nullptr);
    const std::vector<std::uint32_t> out_of_order = {3, 2};
    auto refused = opened.track->read_samples(
        out_of_order, [](std::uint32_t, std::span<const std::uint8_t>) -> Outcome<void> { return {}; });
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("sample 2"), std::string::npos) << refused.error().message;
    const auto last = static_cast<std::uint32_t>(opened.track->samples.size() - 1);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(opened.track->samples[last].position)), 0);
    const std::vector<std::uint32_t> tail = {last - 1, last};
    auto read = opened.track->read_samples(
        tail, [](std::uint32_t, std::span<const std::uint8_t>) -> Outcome<void> { return {}; });
    ASSERT_FALSE(read);
    EXPECT_NE(read.error().message.find("'" + path + "': sample " + std::to_string(last)), std::string::npos)
        << read.error().message;
}

// Times that move a picture farther than any reorder depth (a badly muxed
// or hostile file): the index still lists every frame, in time order.
TEST(BuiltMp4, FramesFollowTimesThatMoveAPictureFar) {
    MovieRecipe recipe = recipe_of(source("long.mp4"));
    // Every picture shown 80 frames after it is decoded, but one shown at once.
    recipe.composition_offsets.assign(recipe.samples.size(), 80 * static_cast<std::int32_t>(recipe.sample_duration));
    recipe.composition_offsets[90] = 0;
    auto index = VideoIndex::open(testing::write_test_file("far_moved.mp4", testing::build_movie_file(recipe)), {});
    ASSERT_TRUE(index) << index.error().message;
    const Track& track = (*index)->track();
    ASSERT_EQ((*index)->frame_count(), track.samples.size());
    std::vector<bool> listed(track.samples.size(), false);
    for (std::uint64_t frame = 0; frame < (*index)->frame_count(); ++frame) {
        const std::uint32_t sample = (*index)->sample_of_frame(frame);
        ASSERT_FALSE(listed[sample]) << "frame " << frame;
        listed[sample] = true;
        if (frame > 0) {
            ASSERT_TRUE((*index)->shown_before((*index)->sample_of_frame(frame - 1), sample)) << "frame " << frame;
        }
    }
}

// Times that put every picture after a key frame before it (a hostile
// file): a request from that key frame still ends a few pictures past it
// rather than at the end of the file, however many seem to lead it.
TEST(BuiltMp4, ARequestPadsPastBoundedlyManyLeadingPictures) {
    MovieRecipe recipe = recipe_of(source("open_gop_leading.mp4"));
    ASSERT_GE(recipe.sync_samples->size(), 2U);
    const std::uint32_t key = (*recipe.sync_samples)[1] - 1;
    recipe.composition_offsets.assign(recipe.samples.size(), 0);
    for (std::uint32_t sample = 0; sample <= key; ++sample) {
        recipe.composition_offsets[sample] = 100 * static_cast<std::int32_t>(recipe.sample_duration);
    }
    auto index = VideoIndex::open(testing::write_test_file("all_leading.mp4", testing::build_movie_file(recipe)), {});
    ASSERT_TRUE(index) << index.error().message;
    std::uint64_t frame = 0;
    while (frame < (*index)->frame_count() && (*index)->sample_of_frame(frame) != key) {
        ++frame;
    }
    ASSERT_LT(frame, (*index)->frame_count());
    auto plan = FramePlan::make(**index, std::vector<std::uint64_t>{frame});
    ASSERT_TRUE(plan) << plan.error().message;
    RuntimeDecodeRequest request{};
    ASSERT_TRUE((*plan)->prepare(0, request));
    EXPECT_LT(request.packet_count, recipe.samples.size() - key - 1);
}

}  // namespace
}  // namespace pytovrik::file
