// Every conformance stream kept with the tests, decoded through the exported
// functions one access unit per packet, gives its reference checksum line
// for every frame, in order. Run in manifest order on one thread, the streams
// also change size from one request to the next on the pooled decoder; run
// each on a fresh thread, they show that no stream's result depends on what
// its thread decoded before (two of them declare no reorder depth, which a
// decoder would otherwise learn from earlier streams).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/abi_helpers.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

struct ConformanceStream {
    std::string name;
    std::string file;
};

std::vector<ConformanceStream> manifest(const std::string& folder) {
    std::ifstream input(folder + "/manifest.tsv");
    std::vector<ConformanceStream> streams;
    std::string line;
    std::getline(input, line);  // header
    while (std::getline(input, line)) {
        std::istringstream fields(line);
        ConformanceStream stream;
        if (std::getline(fields, stream.name, '\t') && std::getline(fields, stream.file, '\t')) {
            streams.push_back(stream);
        }
    }
    return streams;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream input(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(input, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> framecrc_lines_of(const std::string& path) {
    return framecrc_lines(decode_frames(split_access_units(read_binary_file(path)), RuntimeFormatYuv420));
}

TEST(Conformance, EveryStreamMatchesItsReferenceFrameByFrameOnWarmAndFreshThreads) {
    const std::string folder = std::string(PYTOVRIK_TEST_DATA_DIR) + "/conformance";
    const auto streams = manifest(folder);
    ASSERT_GE(streams.size(), 5U);
    for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
        SCOPED_TRACE(threads == nullptr ? "threads unset" : "one thread");
        const ScopedEnv env("TOVRIK_VIDEO_FFMPEG_THREADS", threads);
        on_fresh_thread([&] {
            for (const ConformanceStream& stream : streams) {
                SCOPED_TRACE(stream.name + " after the streams above it");
                const auto reference = lines_of(folder + "/refs/" + stream.name + ".txt");
                ASSERT_FALSE(reference.empty());
                EXPECT_EQ(framecrc_lines_of(folder + "/" + stream.file), reference);
            }
        });
        for (const ConformanceStream& stream : streams) {
            SCOPED_TRACE(stream.name + " on a fresh thread");
            const auto lines = on_fresh_thread([&] { return framecrc_lines_of(folder + "/" + stream.file); });
            EXPECT_EQ(lines, lines_of(folder + "/refs/" + stream.name + ".txt"));
        }
    }
}

}  // namespace
}  // namespace pytovrik::testing
