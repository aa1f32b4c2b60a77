#include "file_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace pytovrik::file {
namespace {

TEST(FileBytes, ReadsShortOnlyAtTheEndAndNamesTheFileOnFailure) {
    const std::string path = ::testing::TempDir() + "file_bytes_test.bin";
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fputs("0123456789", out);
        std::fclose(out);
    }
    auto bytes = FileBytes::open(path);
    ASSERT_TRUE(bytes) << bytes.error().message;
    EXPECT_EQ((*bytes)->size(), 10U);
    std::vector<std::uint8_t> buffer(4);
    EXPECT_EQ((*bytes)->read(2, buffer).value(), 4U);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "2345");
    EXPECT_EQ((*bytes)->read(8, buffer).value(), 2U);
    EXPECT_EQ((*bytes)->read(100, buffer).value(), 0U);

    auto missing = FileBytes::open(path + ".missing");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("file_bytes_test.bin.missing"), std::string::npos);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace pytovrik::file
