// Files as a player shows them: for every test file, the index's frame
// count, every frame and every presentation time equal ffmpeg's decode of
// the same file, and random subsets of frames equal the whole decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>

#include "ffmpeg_reference.hpp"
#include "libavformat_packets.hpp"
#include "mp4_file_builder.hpp"
#include "plan_driver.hpp"
#include "support/h264_streams.hpp"

namespace pytovrik::file::testing {
namespace {

std::string media(const std::string& name) { return std::string(PYTOVRIK_TEST_MEDIA_DIR) + "/" + name; }

struct FileCase {
    std::string name;
    // The container gives the pts ffmpeg reports; else (no pts, or times made
    // up when the file was muxed) times are not compared.
    bool timed = true;
    // Damaged pictures come out of FFmpeg's frame threads concealed in ways
    // that vary from run to run: such files compare on one thread.
    bool damaged = false;
};

class FilesAsPlayersShowThem : public ::testing::TestWithParam<FileCase> {};

// Every frame asked alone (a spread of them in a long file), and a shuffled
// subset with duplicates, must each be the same frame of the whole decode.
std::vector<std::vector<std::uint64_t>> frames_to_ask(std::uint64_t count, std::mt19937& random) {
    constexpr std::uint64_t MOST_ALONE = 24;
    std::vector<std::vector<std::uint64_t>> asks;
    const std::uint64_t step = std::max<std::uint64_t>(1, count / MOST_ALONE);
    for (std::uint64_t frame = random() % step; frame < count; frame += step) {
        asks.push_back({frame});
    }
    std::vector<std::uint64_t> every(count);
    std::iota(every.begin(), every.end(), 0U);
    for (int round = 0; round < 4 && count > 0; ++round) {
        std::vector<std::uint64_t> some(every);
        std::shuffle(some.begin(), some.end(), random);
        some.resize(std::min<std::size_t>(some.size(), 1 + random() % 6));
        asks.push_back(some);
    }
    if (count > 0) {
        std::vector<std::uint64_t> repeated;
        for (int k = 0; k < 8; ++k) {
            repeated.push_back(random() % count);
        }
        repeated.push_back(repeated.front());
        asks.push_back(repeated);
    }
    return asks;
}

TEST_P(FilesAsPlayersShowThem, FramesAndTimesEqualFfmpegsDecode) {
    const FileCase& c = GetParam();
    const std::string path = media(c.name);
    const pytovrik::testing::ScopedEnv threads("TOVRIK_VIDEO_FFMPEG_THREADS", c.damaged ? "1" : nullptr);
    const ReferenceDecode reference = decode_like_ffmpeg(path, c.damaged ? 1 : 0);
    auto index = VideoIndex::open(path, library_functions());
    ASSERT_TRUE(index) << index.error().message;
    ASSERT_EQ((*index)->frame_count(), reference.frames.size());
    if (c.timed) {
        for (std::uint64_t i = 0; i < reference.seconds.size(); ++i) {
            ASSERT_DOUBLE_EQ((*index)->frame_seconds(i), reference.seconds[i]) << "frame " << i;
        }
    }
    std::vector<std::uint64_t> every(reference.frames.size());
    std::iota(every.begin(), every.end(), 0U);
    std::mt19937 random(11);
    std::vector<std::vector<std::uint64_t>> asks = frames_to_ask(every.size(), random);
    asks.insert(asks.begin(), every);
    for (const auto& ask : asks) {
        const PlannedFrames planned = decode_through_plan(**index, ask);
        ASSERT_EQ(planned.failure, "");
        for (std::size_t k = 0; k < ask.size(); ++k) {
            ASSERT_TRUE(planned.frames[k] == reference.frames[ask[k]]) << "frame " << ask[k] << " of " << ask.size();
        }
    }
}

// Damage the index cannot see without decoding: a stretch of MPEG-TS lost,
// whose pictures FFmpeg drops as they reach its reorder buffer too late, and
// garbage inside MP4 samples the file's index still lists. Every frame the
// index offers is then either the very frame ffmpeg shows at that time, or a
// failure: never another frame.
class DamagedFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedFiles, AFrameIsTheRightOneOrFails) {
    const std::string path = media(GetParam());
    const pytovrik::testing::ScopedEnv threads("TOVRIK_VIDEO_FFMPEG_THREADS", "1");
    const ReferenceDecode reference = decode_like_ffmpeg(path, 1);
    auto index = VideoIndex::open(path, library_functions());
    ASSERT_TRUE(index) << index.error().message;
    std::size_t right = 0;
    for (std::uint64_t frame = 0; frame < (*index)->frame_count(); ++frame) {
        const PlannedFrames planned = decode_through_plan(**index, {frame});
        if (!planned.failure.empty()) {
            continue;
        }
        const double seconds = (*index)->frame_seconds(frame);
        const auto at = std::find_if(reference.seconds.begin(), reference.seconds.end(),
                                     [&](double time) { return std::abs(time - seconds) < 1e-9; });
        ASSERT_NE(at, reference.seconds.end()) << "frame " << frame;
        ASSERT_TRUE(planned.frames[0] == reference.frames[static_cast<std::size_t>(at - reference.seconds.begin())])
            << "frame " << frame;
        ++right;
    }
    EXPECT_GE(right, reference.frames.size() - 10);
}

// long.mp4's pictures from `first` on, in an MP4 without a sync sample
// table, as some muxers write them: every sample then claims to be a key
// frame, and only reading a group tells which are.
std::string without_sync_samples(const std::string& name, std::size_t first) {
    const DemuxedTrack long_gops = demux_with_libavformat(media("long.mp4"));
    MovieRecipe recipe;
    recipe.configurations = {long_gops.extradata};
    for (std::size_t i = first; i < long_gops.packets.size(); ++i) {
        const DemuxedPacket& packet = long_gops.packets[i];
        recipe.samples.push_back(packet.bytes);
        recipe.composition_offsets.push_back(static_cast<std::int32_t>(packet.pts - packet.dts));
    }
    return write_test_file(name, build_movie_file(recipe));
}

std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

// Key frames the stream does not bear out move a request's start back one
// at a time, and the start probe of a file that begins mid-group goes
// point by point: each step reads and decodes again what the last one did.
TEST(KeyFramesTheStreamDoesNotBearOut, CostReadsInProportionToTheFile) {
    const std::string whole = without_sync_samples("all_key.mp4", 0);
    const ReferenceDecode reference = decode_like_ffmpeg(whole);
    auto index = VideoIndex::open(whole, library_functions());
    ASSERT_TRUE(index) << index.error().message;
    const std::uint64_t before = (*index)->bytes_read();
    const std::vector<std::uint64_t> ends_of_groups = {24, 49, 99};
    const PlannedFrames planned = decode_through_plan(**index, ends_of_groups);
    ASSERT_EQ(planned.failure, "");
    for (std::size_t k = 0; k < ends_of_groups.size(); ++k) {
        EXPECT_TRUE(planned.frames[k] == reference.frames[ends_of_groups[k]]) << "frame " << ends_of_groups[k];
    }
    // A group is a quarter of the file; step by step, asking the end of each
    // read the file eleven times over.
    EXPECT_LE((*index)->bytes_read() - before, 4 * file_size(whole));

    const std::string mid_group = without_sync_samples("all_key_mid_group.mp4", 3);
    auto cut = VideoIndex::open(mid_group, library_functions());
    ASSERT_TRUE(cut) << cut.error().message;
    EXPECT_EQ((*cut)->frame_count(), decode_like_ffmpeg(mid_group).frames.size());
    EXPECT_LE((*cut)->bytes_read_at_open(), 2 * file_size(mid_group));
}

// Every sample of plain.mp4 made a chunk of its own, every chunk pointed
// at the start of the media data and every sample sized as all of it: the
// samples add up to many times the file.
TEST(HostileTables, SamplesSharingBytesFailAtOpen) {
    const DemuxedTrack plain = demux_with_libavformat(media("plain.mp4"));
    MovieRecipe recipe;
    recipe.configurations = {plain.extradata};
    for (const DemuxedPacket& packet : plain.packets) {
        recipe.samples.push_back(packet.bytes);
        recipe.chunk_sizes.push_back(1);
    }
    ByteVector file = build_movie_file(recipe);
    const std::size_t sizes = find_box(file, "stsz") + 20;
    const std::size_t offsets = find_box(file, "stco") + 16;
    const std::uint32_t media_bytes = get_be32(file, find_box(file, "mdat")) - 8;
    for (std::size_t i = 0; i < recipe.samples.size(); ++i) {
        put_be32(file, sizes + 4 * i, media_bytes);
        put_be32(file, offsets + 4 * i, get_be32(file, offsets));
    }
    const std::string path = write_test_file("shared_bytes.mp4", file);
    auto index = VideoIndex::open(path, library_functions());
    ASSERT_FALSE(index);
    EXPECT_NE(index.error().message.find("'" + path + "': its " + std::to_string(recipe.samples.size()) + " samples"),
              std::string::npos)
        << index.error().message;
}

// A PPS of SPS 0 behind a start code, its bits past what a decoder reads
// (`tail`, then `padding` bytes) making it new.
pytovrik::testing::Packet pps(std::uint32_t id, std::uint32_t tail, std::size_t padding = 0) {
    pytovrik::testing::NalWriter writer(0x68);
    writer.ue(id);
    writer.ue(0);
    writer.bits(0, 2);
    writer.bits(tail, 24);
    pytovrik::testing::Packet unit = writer.finish();
    unit.insert(unit.end() - 1, padding, 0x80);
    return unit;
}

// Raw streams whose every picture is an IDR picture behind a PPS of its
// own, so that every random access point has a header of its own: after a
// PPS padded to 64 KiB, which every header holds; after 256 PPS, which
// every header would refer to.
TEST(HostileTables, ParameterSetsChangingAtEveryPointCostWhatChanged) {
    using pytovrik::testing::Packet;
    const std::vector<Packet> units =
        pytovrik::testing::nal_units(pytovrik::testing::read_binary_file(media("raw_bframes.h264")));
    auto first_of_type = [&](int type) {
        return *std::find_if(units.begin(), units.end(), [&](const Packet& unit) { return (unit[0] & 0x1F) == type; });
    };
    auto stream_of = [&](std::uint32_t first_ids, std::size_t padding, std::uint32_t pictures) {
        const Packet padded = pps(first_ids, 0, padding);
        Packet stream = pytovrik::testing::annexb({first_of_type(7), first_of_type(8), first_of_type(5)});
        stream.insert(stream.end(), padded.begin(), padded.end());
        for (std::uint32_t id = 1; id < first_ids; ++id) {
            const Packet set = pps(id, 0);
            stream.insert(stream.end(), set.begin(), set.end());
        }
        for (std::uint32_t picture = 0; picture < pictures; ++picture) {
            const Packet set = pps(picture % first_ids, picture + 1);
            stream.insert(stream.end(), set.begin(), set.end());
            stream.insert(stream.end(), {0, 0, 0, 1, 0x65, 0x88, 0x84});
        }
        return stream;
    };

    const std::string padded = write_test_file("padded_pps.h264", stream_of(1, 65536, 300));
    auto index = VideoIndex::open(padded, library_functions());
    ASSERT_TRUE(index) << index.error().message;
    EXPECT_LE((*index)->index_bytes(), 2 * file_size(padded));

    const std::string every_id = write_test_file("every_pps_id.h264", stream_of(256, 0, 400));
    auto refused = VideoIndex::open(every_id, library_functions());
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("'" + every_id + "': its parameter sets change at more than"),
              std::string::npos)
        << refused.error().message;
}

// plain.mp4's samples, a chunk each, their sample descriptions alternating
// between two with eight more PPS padded to 60 KB: every sample comes with
// them, so even a request of a few samples holds megabytes.
TEST(HostileTables, DescriptionsAlternatingAtEverySampleMakeNoRequestOutOfProportion) {
    const DemuxedTrack plain = demux_with_libavformat(media("plain.mp4"));
    MovieRecipe recipe;
    const std::size_t sequence_set_bytes = std::size_t{plain.extradata[6]} << 8 | plain.extradata[7];
    const std::size_t picture_sets_at = 8 + sequence_set_bytes;
    const std::size_t picture_set_bytes =
        std::size_t{plain.extradata[picture_sets_at + 1]} << 8 | plain.extradata[picture_sets_at + 2];
    for (const std::uint32_t tail : {1U, 2U}) {
        ByteVector record = plain.extradata;
        std::vector<std::uint8_t> entries;
        for (std::uint32_t id = 1; id <= 8; ++id) {
            const auto padded = pps(id, tail, 60000);
            const std::size_t bytes = padded.size() - 4;
            entries.insert(entries.end(), {static_cast<std::uint8_t>(bytes >> 8), static_cast<std::uint8_t>(bytes)});
            entries.insert(entries.end(), padded.begin() + 4, padded.end());
        }
        record[picture_sets_at] = static_cast<std::uint8_t>(record[picture_sets_at] + 8);
        record.insert(record.begin() + static_cast<std::ptrdiff_t>(picture_sets_at + 3 + picture_set_bytes),
                      entries.begin(), entries.end());
        recipe.configurations.push_back(record);
    }
    recipe.sync_samples.emplace();
    for (std::size_t i = 0; i < plain.packets.size(); ++i) {
        recipe.samples.push_back(plain.packets[i].bytes);
        recipe.composition_offsets.push_back(static_cast<std::int32_t>(plain.packets[i].pts - plain.packets[i].dts));
        recipe.chunk_sizes.push_back(1);
        recipe.chunk_entries.push_back(static_cast<std::uint32_t>(1 + i % 2));
        if (plain.packets[i].key) {
            recipe.sync_samples->push_back(static_cast<std::uint32_t>(i + 1));
        }
    }
    const std::string path = write_test_file("alternating_descriptions.mp4", build_movie_file(recipe));
    auto index = VideoIndex::open(path, library_functions());
    ASSERT_TRUE(index) << index.error().message;
    const PlannedFrames planned = decode_through_plan(**index, {(*index)->frame_count() - 1});
    EXPECT_NE(planned.failure.find("out of proportion to the file"), std::string::npos) << planned.failure;
}

INSTANTIATE_TEST_SUITE_P(Media, DamagedFiles, ::testing::Values("ts_damaged.ts", "scan_damaged.mp4"));

// An MP4 file read from its own index learns a group's pictures when one of
// its frames is first asked for: that first request already leaves out what
// later ones leave out (no padding once its start is known to be an IDR
// picture), so a file opened for one request decodes no more than a warm one.
TEST(LazilyReadFiles, AFirstRequestSendsWhatLaterOnesSend) {
    auto index = VideoIndex::open(media("long.mp4"), library_functions());
    ASSERT_TRUE(index) << index.error().message;
    ASSERT_TRUE((*index)->lazily_analysed());
    std::vector<std::uint64_t> sent;
    for (int round = 0; round < 2; ++round) {
        auto plan = FramePlan::make(**index, std::vector<std::uint64_t>{30, 40});
        ASSERT_TRUE(plan) << plan.error().message;
        RuntimeDecodeRequest request{};
        ASSERT_TRUE((*plan)->prepare(0, request));
        sent.push_back(request.packet_count);
    }
    EXPECT_EQ(sent[0], sent[1]);
}

// An open GOP's key frame is an I picture whose leading pictures follow it in
// decode order: a request from it must run past them as well as past the
// reorder depth, or the decoder never shows the drained pictures and the job
// is decoded again from the group before. (So is the last group's, where the
// file ends too soon after its leading pictures.)
TEST(LazilyReadFiles, AnOpenGopKeyFrameDecodesOnTheFirstTry) {
    auto index = VideoIndex::open(media("open_gop_leading.mp4"), library_functions());
    ASSERT_TRUE(index) << index.error().message;
    std::vector<std::uint32_t> key_samples;
    for (const std::uint64_t frame : (*index)->key_frames()) {
        key_samples.push_back((*index)->sample_of_frame(frame));
    }
    key_samples.pop_back();
    std::size_t keys_asked = 0;
    for (std::uint64_t frame = 0; frame < (*index)->frame_count(); ++frame) {
        const std::uint32_t sample = (*index)->sample_of_frame(frame);
        if (sample == 0 || std::find(key_samples.begin(), key_samples.end(), sample) == key_samples.end()) {
            continue;
        }
        const PlannedFrames planned = decode_through_plan(**index, {frame});
        ASSERT_EQ(planned.failure, "") << "frame " << frame;
        EXPECT_EQ(planned.requests, 1U) << "frame " << frame;
        ++keys_asked;
    }
    EXPECT_GT(keys_asked, 0U);
}

// The library names a failed packet by its place in the request; whoever
// asked for frames is told which frame's picture it held.
TEST(LazilyReadFiles, AFailedDecodeNamesFramesNotPackets) {
    auto index = VideoIndex::open(media("plain.mp4"), library_functions());
    ASSERT_TRUE(index) << index.error().message;
    auto plan = FramePlan::make(**index, std::vector<std::uint64_t>{5});
    ASSERT_TRUE(plan) << plan.error().message;
    RuntimeDecodeRequest request{};
    ASSERT_TRUE((*plan)->prepare(0, request));
    std::vector<std::uint64_t> frame_of_slot(1);
    const auto verdict = (*plan)->finish(0, false, 0, frame_of_slot,
                                         "pytovrik_video: failed to decode H.264 packet 1: Invalid data");
    ASSERT_FALSE(verdict);
    const std::string& message = verdict.error().message;
    EXPECT_NE(message.find("failed to decode the H.264 picture of frame "), std::string::npos) << message;
    EXPECT_EQ(message.find("packet 1"), std::string::npos) << message;
}

// What a file took to open counts each byte read once: as many as the
// process's read calls returned meanwhile.
TEST(LazilyReadFiles, BytesReadAtOpenAreTheBytesTheProcessRead) {
    const auto read_so_far = [] {
        std::ifstream io("/proc/self/io");
        std::string key;
        std::uint64_t value = 0;
        while (io >> key >> value) {
            if (key == "rchar:") {
                return value;
            }
        }
        return std::uint64_t{0};
    };
    for (const char* name : {"long.mp4", "ts_bframes.ts"}) {
        const std::uint64_t before = read_so_far();
        auto index = VideoIndex::open(media(name), library_functions());
        const std::uint64_t read = read_so_far() - before;
        ASSERT_TRUE(index) << index.error().message;
        // /proc/self/io itself is read once in between.
        EXPECT_NEAR(static_cast<double>((*index)->bytes_read_at_open()), static_cast<double>(read), 4096.0) << name;
    }
}

std::string case_name(const ::testing::TestParamInfo<FileCase>& param) {
    std::string name = param.param.name;
    std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
    return name;
}

// Every conformance stream raw and in every container, and x264 streams made
// to be hard, as make_media.sh names them. Their times are the muxers' guesses
// for raw streams, not compared.
std::vector<FileCase> every_stream_in_every_container() {
    std::vector<FileCase> cases;
    std::ifstream manifest(std::string(PYTOVRIK_TEST_DATA_DIR) + "/conformance/manifest.tsv");
    std::string line;
    std::getline(manifest, line);
    while (std::getline(manifest, line)) {
        const std::string name = line.substr(0, line.find('\t'));
        for (const char* container : {".h264", ".mp4", ".mkv", ".ts"}) {
            cases.push_back(FileCase{"conf_" + name + container, false});
        }
    }
    for (const char* kind : {"scenecut", "scenecut_open", "refresh", "one_idr", "interlaced"}) {
        for (const char* container : {".mp4", ".mkv", ".ts"}) {
            cases.push_back(FileCase{std::string("hard_") + kind + container});
        }
        cases.push_back(FileCase{std::string("hard_") + kind + ".h264", false});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Streams, FilesAsPlayersShowThem, ::testing::ValuesIn(every_stream_in_every_container()),
                         case_name);

INSTANTIATE_TEST_SUITE_P(
    Media, FilesAsPlayersShowThem,
    ::testing::Values(FileCase{"plain.mp4"}, FileCase{"cut.mp4"}, FileCase{"negative_cts.mp4"},
                      FileCase{"negative_pts.mp4"}, FileCase{"late_video.mp4"}, FileCase{"open_gop.mp4"},
                      FileCase{"open_gop_leading.mp4"},
                      FileCase{"intra_refresh.mp4"}, FileCase{"fragmented.mp4"}, FileCase{"fragmented_moov_samples.mp4"},
                      FileCase{"fragmented_indexed.mp4"}, FileCase{"faststart.mp4"}, FileCase{"movie.mov"},
                      FileCase{"fields_cvfi1.mp4"}, FileCase{"fields_capama3.mp4", false},
                      FileCase{"truncated.mp4", true, true}, FileCase{"cut_user_data.mp4"},
                      FileCase{"scan_bframes.mp4"}, FileCase{"mkv_bframes.mkv"},
                      FileCase{"ts_bframes.ts"}, FileCase{"ts_cut.ts"}, FileCase{"flv_bframes.flv"},
                      FileCase{"avi_bframes.avi", false}, FileCase{"raw_bframes.h264", false},
                      FileCase{"ts_field_cvfi1.ts"}, FileCase{"mkv_field_cvfi1.mkv"},
                      FileCase{"ts_field_capama3.ts", false}, FileCase{"mkv_field_capama3.mkv", false},
                      FileCase{"ts_resolution_change.ts"}, FileCase{"mkv_resolution_change.mkv"},
                      FileCase{"flv_resolution_change.flv"}, FileCase{"mkv_sei_only.mkv"},
                      FileCase{"ts_truncated.ts", true, true}, FileCase{"mkv_truncated.mkv", true, true},
                      FileCase{"avi_truncated.avi", false, true}, FileCase{"scan_truncated.mp4", true, true},
                      FileCase{"mkv_damaged.mkv", true, true}, FileCase{"avi_damaged.avi", false, true},
                      FileCase{"history_wwwq_cut.mp4", true, true}),
    case_name);

}  // namespace
}  // namespace pytovrik::file::testing
