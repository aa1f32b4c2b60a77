// The program as a user runs it: exit status, messages, files written.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

std::string read_text(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = fs::temp_directory_path() /
                   ("pytovrik_cli_" + std::to_string(::getpid()) + "_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
    }
    void TearDown() override { fs::remove_all(scratch_); }

    Outcome run(const std::vector<std::string>& arguments) const {
        std::string command = quoted(PYTOVRIK_CLI);
        // Appended piece by piece: a literal put in front of a temporary
        // string makes g++ 12 at -O3 warn falsely of overlapping copies.
        for (const auto& argument : arguments) {
            command += ' ';
            command += quoted(argument);
        }
        command += " >";
        command += quoted((scratch_ / "stdout").string());
        command += " 2>";
        command += quoted((scratch_ / "stderr").string());
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_text(scratch_ / "stdout"), read_text(scratch_ / "stderr")};
    }

    // A container made from the sample with the ffmpeg command line.
    fs::path remux_sample(const std::string& extension) const {
        const fs::path out = scratch_ / ("sample." + extension);
        // Raw H.264 carries no timestamps; MP4 gives them to the others.
        const fs::path mp4 = scratch_ / "timed.mp4";
        if (!fs::exists(mp4)) {
            const std::string to_mp4 = "ffmpeg -nostdin -hide_banner -loglevel error -y -r 25 -i " +
                                       quoted(PYTOVRIK_SAMPLE_PATH) + " -c copy " + quoted(mp4.string());
            EXPECT_EQ(std::system(to_mp4.c_str()), 0) << to_mp4;
        }
        const std::string remux = "ffmpeg -nostdin -hide_banner -loglevel error -y -i " + quoted(mp4.string()) +
                                  " -c copy " + quoted(out.string());
        EXPECT_EQ(std::system(remux.c_str()), 0) << remux;
        return out;
    }

    fs::path scratch_;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The lines of ffmpeg's framecrc for stream 0, the video: "0, dts, pts,
// duration, size, 0x<adler32>".
std::vector<std::string> video_lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string& line : lines_of(text)) {
        if (line.starts_with("0,")) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

// One field of a framecrc line: 2 is the pts, 4 the size, 5 the checksum.
std::string field_of(const std::string& line, std::size_t field) {
    std::istringstream stream(line);
    std::string text;
    for (std::size_t i = 0; i <= field && std::getline(stream, text, ','); ++i) {
    }
    return text.substr(text.find_first_not_of(' '));
}

std::vector<std::string> sizes_and_checksums_of(const std::vector<std::string>& lines) {
    std::vector<std::string> checksums;
    for (const std::string& line : lines) {
        checksums.push_back(field_of(line, 4) + " " + field_of(line, 5));
    }
    return checksums;
}

// The file layer's test media (tests/file/make_media.sh).
std::string media(const std::string& name) { return std::string(PYTOVRIK_TEST_MEDIA_DIR) + "/" + name; }

TEST_F(CommandLine, WithoutInputDecodesTheBundledSampleAndSummarises) {
    const Outcome result = run({});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_NE(result.err.find("sample.h264 (Annex B): 75 frames, 3 batches"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("320x240 yuv420"), std::string::npos) << result.err;
    EXPECT_TRUE(run({"--quiet"}).err.empty());
}

TEST_F(CommandLine, SelectedFramesAreTheSameLinesInEitherBatchMode) {
    const Outcome all = run({PYTOVRIK_SAMPLE_PATH, "--framecrc", "--batch", "all"});
    ASSERT_EQ(all.status, 0) << all.err;
    const auto every = lines_of(all.out);
    ASSERT_EQ(every.size(), 75u);
    EXPECT_EQ(every[0], "115200 0x77a31f00");  // FFmpeg's own framecrc of frame 0

    const std::vector<std::size_t> picked{0, 24, 25, 26, 49, 50, 74};
    std::vector<std::string> expected;
    for (std::size_t position : picked) {
        expected.push_back(every[position]);
    }
    for (const char* batch : {"gop", "all"}) {
        const Outcome some = run({PYTOVRIK_SAMPLE_PATH, "--framecrc", "--batch", batch, "--frames=74,0,24-26,49-50,99"});
        EXPECT_EQ(some.status, 0) << some.err;
        EXPECT_EQ(lines_of(some.out), expected) << batch;
    }

    const Outcome rgb_all = run({"--framecrc", "--format", "rgb", "--size", "33x17", "--batch", "all"});
    const Outcome rgb_gop = run({"--framecrc", "--format", "rgb", "--size", "33x17", "--threads", "1"});
    EXPECT_EQ(rgb_all.status, 0) << rgb_all.err;
    EXPECT_EQ(rgb_gop.out, rgb_all.out);
    EXPECT_EQ(lines_of(rgb_gop.out).size(), 75u);
    EXPECT_EQ(lines_of(rgb_gop.out)[0].substr(0, 5), "1683 ");
}

// The sample's raw stream gives the muxers no times; the ones they make up
// follow decode order. In MP4 that makes an edit list that hides two of the
// pictures, and ffmpeg, like the tool, shows 73 frames: only the others keep
// every frame of the stream.
TEST_F(CommandLine, ContainersGiveTheSameFramesAsTheElementaryStream) {
    const Outcome elementary = run({PYTOVRIK_SAMPLE_PATH, "--framecrc"});
    ASSERT_EQ(elementary.status, 0) << elementary.err;
    for (const char* extension : {"mkv", "ts"}) {
        const fs::path container = remux_sample(extension);
        const Outcome result = run({container.string(), "--framecrc"});
        EXPECT_EQ(result.status, 0) << extension << ": " << result.err;
        EXPECT_EQ(sizes_and_checksums_of(video_lines_of(result.out)), lines_of(elementary.out)) << extension;
        EXPECT_NE(result.err.find("(container "), std::string::npos) << result.err;
    }
}

// Every file is decoded through the file layer's index: its frames are those
// ffmpeg shows (a stream joined mid-group, field pairs, a change of picture
// size, a packet holding only an SEI), at the times ffmpeg's framecrc gives
// them where the container has times. AVI has none: ffmpeg makes them from
// the decode order, a reorder delay later, and the tool counts frames.
// --frames picks frames of that same order. Files with a display matrix
// come turned, as ffmpeg turns them, or as stored with -noautorotate.
TEST_F(CommandLine, AFilesFramecrcIsFfmpegsAndFramesArePickedFromIt) {
    struct File {
        std::string name;
        bool timed;
        std::string option;  // of both ffmpeg and the tool
    };
    const std::vector<File> files{
        {"plain.mp4", true, ""},        {"ts_cut.ts", true, ""},        {"mkv_field_cvfi1.mkv", true, ""},
        {"ts_resolution_change.ts", true, ""}, {"avi_bframes.avi", false, ""}, {"mkv_sei_only.mkv", true, ""},
        {"rotation_90.mp4", true, ""},  {"rotation_180.mp4", true, ""}, {"rotation_270.mp4", true, "-noautorotate"}};
    for (const auto& [name, timed, option] : files) {
        SCOPED_TRACE(name + " " + option);
        const std::string path = media(name);
        const std::string reference_path = (scratch_ / "reference.framecrc").string();
        const std::string reference_command = "ffmpeg -nostdin -hide_banner -loglevel quiet -y -strict 1 " + option +
                                              " -i " + quoted(path) + " -fps_mode passthrough -autoscale 0 -f " +
                                              "framecrc " + quoted(reference_path);
        ASSERT_EQ(std::system(reference_command.c_str()), 0) << reference_command;
        const auto reference = video_lines_of(read_text(reference_path));
        std::vector<std::string> arguments{path, "--framecrc", "--quiet"};
        if (!option.empty()) {
            arguments.push_back("-" + option);
        }
        const Outcome all = run(arguments);
        ASSERT_EQ(all.status, 0) << all.err;
        const auto lines = video_lines_of(all.out);
        ASSERT_EQ(lines.size(), reference.size());
        ASSERT_FALSE(lines.empty());
        if (timed) {
            EXPECT_EQ(lines, reference);
        } else {
            EXPECT_EQ(sizes_and_checksums_of(lines), sizes_and_checksums_of(reference));
            for (std::size_t i = 0; i < lines.size(); ++i) {
                EXPECT_EQ(field_of(lines[i], 2), std::to_string(i));
            }
        }

        const std::size_t last = lines.size() - 1;
        const std::vector<std::size_t> picked{0, last / 3, last / 3 + 1, last / 2 + 2, last};
        arguments.push_back("--frames=" + std::to_string(last) + "," + std::to_string(last / 3) + "-" +
                            std::to_string(last / 3 + 1) + ",0," + std::to_string(last / 2 + 2) + ",99999");
        const Outcome some = run(arguments);
        ASSERT_EQ(some.status, 0) << some.err;
        std::vector<std::string> expected;
        for (const std::size_t frame : picked) {
            expected.push_back(lines[frame]);
        }
        EXPECT_EQ(video_lines_of(some.out), expected);
    }
}

TEST_F(CommandLine, WritesImagesY4mAndRawFramesOfTheRightSize) {
    const fs::path images = scratch_ / "frames";
    Outcome result = run({"-o", images.string() + "/", "--size", "40x30", "--frames", "0,7,74"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* name : {"frame_000000.ppm", "frame_000007.ppm", "frame_000074.ppm"}) {
        const std::string image = read_text(images / name);
        ASSERT_EQ(image.size(), 13 + 40 * 30 * 3) << name;
        EXPECT_EQ(image.substr(0, 13), "P6\n40 30\n255\n");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(images), fs::directory_iterator()), 3);

    result = run({"-o", images.string(), "--image", "png", "--frames", "3"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_text(images / "frame_000003.png").substr(1, 3), "PNG");

    result = run({"-o", (scratch_ / "out.y4m").string(), "--frames", "0-1"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string header = "YUV4MPEG2 W320 H240 F25:1 Ip A0:0 C420mpeg2\n";
    const std::string y4m = read_text(scratch_ / "out.y4m");
    EXPECT_EQ(y4m.substr(0, header.size()), header);
    EXPECT_EQ(y4m.size(), header.size() + 2 * (6 + 115200));

    result = run({"-o", (scratch_ / "out.rgb").string(), "--size", "8x6"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(fs::file_size(scratch_ / "out.rgb"), 75u * 8 * 6 * 3);
}

TEST_F(CommandLine, BadCommandLinesAreRefusedBeforeAnythingIsDecoded) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--format", "bgr"}, "--format: 'bgr' is neither rgb nor yuv420"},
        {{"--size", "640x"}, "--size: '640x' is not WIDTHxHEIGHT"},
        {{"--format", "rgb", "--size", "0x10"}, "--size: '0x10'"},
        {{"--size", "64x48"}, "--size scales RGB frames"},
        {{"--frames", "3-1"}, "--frames: the range '3-1' ends before it starts"},
        {{"--frames", "1,x"}, "--frames: 'x' is not a position"},
        {{"--threads", "-1"}, "--threads: '-1'"},
        {{"--batch", "gops"}, "--batch: 'gops' is neither gop nor all"},
        {{"--batch"}, "--batch needs a value"},
        {{"-o", "frames.bmp"}, "cannot tell what to write from 'frames.bmp'"},
        {{"-o", "out.y4m", "--format", "rgb"}, "writes YUV frames"},
        {{"-o", "out.rgb", "--format", "yuv420"}, "writes RGB frames"},
        {{"--image", "png"}, "--image chooses the file type of -o DIR/"},
        {{"one.h264", "two.h264"}, "one input at a time"},
    };
    for (const auto& [arguments, message] : cases) {
        const Outcome result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments.front();
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
    }
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--framecrc"), std::string::npos);
}

TEST_F(CommandLine, InputsWithoutH264FailWithAMessage) {
    std::ofstream(scratch_ / "notes.txt") << "no video here\n";
    std::ofstream(scratch_ / "empty.h264");
    const std::string tone = (scratch_ / "tone.wav").string();
    const std::string make_tone =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=d=0.2 " + quoted(tone);
    ASSERT_EQ(std::system(make_tone.c_str()), 0);

    const std::vector<std::pair<std::string, std::string>> cases{
        {(scratch_ / "missing.h264").string(), "cannot open"},
        {scratch_.string(), "is a directory"},
        {(scratch_ / "empty.h264").string(), "is empty"},
        {(scratch_ / "notes.txt").string(), "libavformat cannot open it"},
        {tone, "has no H.264 video track"},
    };
    for (const auto& [input, message] : cases) {
        const Outcome result = run({input});
        EXPECT_EQ(result.status, 1) << input;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
}

// A failure says where (the batch and its offset in a stream, the frames of
// a file) and why: the library's own reason.
TEST_F(CommandLine, AFailureSaysWhereAndWhy) {
    // The library refuses YUV output of full-range video, which the ffmpeg
    // command line makes from a yuvj420p source; it follows the sample's
    // three groups of pictures.
    const std::string full_range = (scratch_ / "full_range.h264").string();
    const std::string make_full_range =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=64x48:rate=25:duration=2 "
        "-c:v libx264 -pix_fmt yuvj420p -g 25 -bf 0 -f h264 " + quoted(full_range);
    ASSERT_EQ(std::system(make_full_range.c_str()), 0);
    const std::string sample = read_text(PYTOVRIK_SAMPLE_PATH);
    const std::string joined = (scratch_ / "joined.h264").string();
    std::ofstream(joined, std::ios::binary) << sample << read_text(full_range);
    const std::string reason = "pytovrik_video: yuv420 video output expects FFmpeg to decode yuv420p frames, got YUVJ420P";

    Outcome result = run({joined, "--framecrc"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lines_of(result.out).size(), 75u);
    EXPECT_NE(result.err.find("decode failed at batch 4 (input offset " + std::to_string(sample.size()) + "): " +
                              reason),
              std::string::npos)
        << result.err;
    EXPECT_EQ(run({joined, "--format", "rgb", "--quiet"}).status, 0);

    const std::string file = (scratch_ / "full_range.mkv").string();
    const std::string remux = "ffmpeg -nostdin -hide_banner -loglevel error -y -r 25 -i " + quoted(full_range) +
                              " -c copy " + quoted(file);
    ASSERT_EQ(std::system(remux.c_str()), 0);
    result = run({file, "--frames", "30-31"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("full_range.mkv': frames 30-31 could not be decoded: " + reason), std::string::npos)
        << result.err;
}

}  // namespace
