#include "file_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace pytovrik::file {
namespace {

const std::string TEXT = "0123456789";

// A host's reader over TEXT that gives at most `step` bytes a call, counts
// its calls, and misbehaves as asked.
struct Reader {
    std::size_t step = 3;
    int calls = 0;
    std::int64_t forced = 0;  // returned instead when not 0

    static std::int64_t read(void* context, std::uint64_t offset, std::uint8_t* buffer, std::uint64_t size) {
        auto* self = static_cast<Reader*>(context);
        ++self->calls;
        if (self->forced != 0) {
            return self->forced;
        }
        const std::size_t count = std::min<std::size_t>({self->step, size, TEXT.size() - offset});
        std::memcpy(buffer, TEXT.data() + offset, count);
        return static_cast<std::int64_t>(count);
    }
};

TEST(FileBytes, EverySourceReadsShortOnlyAtTheEndAndNamesItselfOnFailure) {
    const std::string path = ::testing::TempDir() + "file_bytes_test.bin";
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fputs(TEXT.c_str(), out);
        std::fclose(out);
    }
    Reader reader;
    const std::span text(reinterpret_cast<const std::uint8_t*>(TEXT.data()), TEXT.size());
    const std::vector<std::shared_ptr<FileBytes>> sources = {
        FileBytes::open(path).value(), FileBytes::over_memory(text, "in memory"),
        FileBytes::over_callback({&reader, &Reader::read}, TEXT.size(), "remote")};
    for (const auto& bytes : sources) {
        for (const bool remembering : {false, true}) {
            bytes->remember_reads(remembering);
            EXPECT_EQ(bytes->size(), 10U);
            std::vector<std::uint8_t> buffer(4);
            EXPECT_EQ(bytes->read(2, buffer).value(), 4U);
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "2345");
            EXPECT_EQ(bytes->read(8, buffer).value(), 2U);
            EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 2), "89");
            EXPECT_EQ(bytes->read(100, buffer).value(), 0U);
            bytes->remember_reads(false);
        }
    }
    // Only memory is read in place.
    EXPECT_FALSE(sources[0]->view(0, 4) || sources[2]->view(0, 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sources[1]->view(7, 9)->data()), 3), "789");

    // While remembering, what was read once is not asked for again, however
    // the reads overlap; the reader is asked ahead (to the end of so small a source).
    reader.calls = 0;
    const std::uint64_t before = sources[2]->bytes_read();
    sources[2]->remember_reads(true);
    std::vector<std::uint8_t> buffer(10);
    for (const auto& [offset, size] : std::vector<std::pair<std::size_t, std::size_t>>{{4, 2}, {0, 10}, {3, 5}, {9, 1}}) {
        ASSERT_EQ(sources[2]->read(offset, std::span(buffer).first(size)).value(), size);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), size), TEXT.substr(offset, size));
    }
    sources[2]->remember_reads(false);
    EXPECT_EQ(sources[2]->bytes_read() - before, 10U);
    EXPECT_EQ(reader.calls, 4);  // 3 bytes a call

    // A reader that fails, or gives more than asked, fails the read, naming the source.
    for (const std::int64_t forced : {std::int64_t{-1}, std::int64_t{1000}}) {
        reader.forced = forced;
        auto failed = sources[2]->read(0, buffer);
        ASSERT_FALSE(failed);
        EXPECT_NE(failed.error().message.find("'remote' at byte 0"), std::string::npos) << failed.error().message;
    }

    auto missing = FileBytes::open(path + ".missing");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("file_bytes_test.bin.missing"), std::string::npos);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace pytovrik::file
