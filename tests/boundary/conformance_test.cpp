// Every conformance stream kept with the tests, decoded through the exported
// functions one access unit per packet, gives its reference checksum line
// for every frame, in order. Run in manifest order on one thread, the streams
// also change size from one request to the next on the pooled decoder.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/abi_helpers.hpp"

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

TEST(Conformance, EveryStreamMatchesItsReferenceFrameByFrame) {
    const std::string folder = std::string(PYTOVRIK_TEST_DATA_DIR) + "/conformance";
    const auto streams = manifest(folder);
    ASSERT_GE(streams.size(), 5U);
    for (const ConformanceStream& stream : streams) {
        SCOPED_TRACE(stream.name);
        const auto reference = lines_of(folder + "/refs/" + stream.name + ".txt");
        ASSERT_FALSE(reference.empty());
        const auto frames = decode_frames(split_access_units(read_binary_file(folder + "/" + stream.file)),
                                          RuntimeFormatYuv420);
        ASSERT_TRUE(frames);
        std::vector<std::string> lines;
        for (const FrameCopy& frame : *frames) {
            lines.push_back(framecrc_line(frame));
        }
        EXPECT_EQ(lines, reference);
    }
}

}  // namespace
}  // namespace pytovrik::testing
