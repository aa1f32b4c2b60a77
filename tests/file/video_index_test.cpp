// Files as a player shows them: for every test file, the index's frame
// count, every frame and every presentation time equal ffmpeg's decode of
// the same file, and random subsets of frames equal the whole decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numeric>
#include <random>

#include "ffmpeg_reference.hpp"
#include "plan_driver.hpp"

namespace pytovrik::file::testing {
namespace {

std::string media(const std::string& name) { return std::string(PYTOVRIK_TEST_MEDIA_DIR) + "/" + name; }

struct FileCase {
    const char* name;
    // The container gives the pts ffmpeg reports; else (no pts, or times made
    // up when the file was muxed) times are not compared.
    bool timed = true;
    // Damaged pictures come out of FFmpeg's frame threads concealed in ways
    // that vary from run to run: such files compare on one thread.
    bool damaged = false;
};

class FilesAsPlayersShowThem : public ::testing::TestWithParam<FileCase> {};

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
    std::vector<std::vector<std::uint64_t>> asks = {every};
    std::mt19937 random(11);
    for (int round = 0; round < 4 && !every.empty(); ++round) {
        std::vector<std::uint64_t> some(every);
        std::shuffle(some.begin(), some.end(), random);
        some.resize(std::min<std::size_t>(some.size(), 1 + random() % 6));
        asks.push_back(some);
    }
    for (const auto& ask : asks) {
        const PlannedFrames planned = decode_through_plan(**index, ask);
        ASSERT_EQ(planned.failure, "");
        for (std::size_t k = 0; k < ask.size(); ++k) {
            ASSERT_TRUE(planned.frames[k] == reference.frames[ask[k]]) << "frame " << ask[k];
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
    for (const RandomAccessPoint& point : (*index)->random_access_points()) {
        key_samples.push_back(point.sample);
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
                      FileCase{"mkv_damaged.mkv", true, true}, FileCase{"avi_damaged.avi", false, true}),
    [](const ::testing::TestParamInfo<FileCase>& param) {
        std::string name = param.param.name;
        std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
        return name;
    });

}  // namespace
}  // namespace pytovrik::file::testing
