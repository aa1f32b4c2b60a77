// Output memory: every length gets exactly its bytes, large buffers are
// huge-page-ready mappings, and release by address and length alone gives
// back what allocation took, whichever way it was taken.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_buffer.hpp"

namespace {

using pytovrik::ByteBuffer;
using pytovrik::release_byte_storage;

constexpr std::size_t KIB = 1024;
constexpr std::size_t MIB = 1024 * KIB;
constexpr std::size_t HUGE_PAGE = 2 * MIB;

// Below, at and around the sizes where the allocation strategy changes, and
// real frame sizes: 1080p luma (just under 2 MiB), 720p RGB (huge pages and
// a base-page tail), 1080p RGB (just under 6 MiB).
const std::vector<std::size_t> LENGTHS = {1,           15,          4095,          4096,       150528,
                                          1036800,     2033600,     2073600,       HUGE_PAGE - 1, HUGE_PAGE,
                                          HUGE_PAGE + 1, 2764800,   1920 * 1080 * 3, 6 * MIB + 1};

std::uint8_t pattern(std::size_t buffer, std::size_t offset) {
    return static_cast<std::uint8_t>((buffer * 131 + offset * 7 + offset / 4096) & 0xff);
}

bool page_is_mapped(const std::uint8_t* address) {
    const auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{4095};
    unsigned char resident = 0;
    // mincore fails with ENOMEM exactly when the range is not mapped.
    return mincore(reinterpret_cast<void*>(page), 4096, &resident) == 0 || errno != ENOMEM;
}

// The VmFlags line of the mapping that holds `address`, from smaps.
std::string mapping_flags(const std::uint8_t* address) {
    const auto target = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        std::istringstream header(line);
        if (header >> std::hex >> start >> dash >> end && dash == '-' && line.find(':') > line.find(' ')) {
            inside = start <= target && target < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return {};
}

TEST(ByteBufferTest, EveryLengthHoldsItsOwnBytesWhileOthersAreLive) {
    // All live at once, as the frames of one response are: no two buffers
    // may overlap, and each keeps every byte written to it.
    std::vector<ByteBuffer> buffers;
    for (std::size_t b = 0; b < LENGTHS.size(); ++b) {
        auto buffer = ByteBuffer::allocate(LENGTHS[b], "test buffer");
        ASSERT_TRUE(buffer.has_value()) << LENGTHS[b];
        ASSERT_EQ(buffer->size(), LENGTHS[b]);
        ASSERT_NE(buffer->data(), nullptr);
        for (std::size_t i = 0; i < LENGTHS[b]; ++i) {
            buffer->data()[i] = pattern(b, i);
        }
        buffers.push_back(std::move(*buffer));
    }
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        const std::uint8_t* data = buffers[b].data();
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < LENGTHS[b]; ++i) {
            mismatches += data[i] != pattern(b, i) ? 1U : 0U;
        }
        EXPECT_EQ(mismatches, 0U) << "length " << LENGTHS[b];
    }
}

TEST(ByteBufferTest, LargeBuffersStartOnHugePageBoundariesAndAreAdvised) {
    for (const std::size_t length : {std::size_t{2073600}, HUGE_PAGE, std::size_t{2764800}, std::size_t{1920 * 1080 * 3}}) {
        auto buffer = ByteBuffer::allocate(length, "test buffer");
        ASSERT_TRUE(buffer.has_value());
        // Only 2 MiB-aligned ranges can be backed by huge pages.
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->data()) % HUGE_PAGE, 0U) << length;
        std::memset(buffer->data(), 0x5a, length);
        const std::string flags = mapping_flags(buffer->data());
        ASSERT_FALSE(flags.empty()) << length;
        EXPECT_NE(flags.find(" hg"), std::string::npos) << length << ": " << flags;
    }
}

TEST(ByteBufferTest, ReleaseByLengthUnmapsTheWholeMapping) {
    for (const std::size_t length : {std::size_t{2073600}, HUGE_PAGE + 1, std::size_t{2764800}, std::size_t{1920 * 1080 * 3}}) {
        auto buffer = ByteBuffer::allocate(length, "test buffer");
        ASSERT_TRUE(buffer.has_value());
        std::memset(buffer->data(), 1, length);
        const std::size_t released_length = buffer->size();
        std::uint8_t* const data = buffer->release();
        ASSERT_TRUE(page_is_mapped(data));
        ASSERT_TRUE(page_is_mapped(data + length - 1));
        // What a host hands back through the C ABI: address and length only.
        release_byte_storage(data, released_length);
        EXPECT_FALSE(page_is_mapped(data)) << length;
        EXPECT_FALSE(page_is_mapped(data + length - 1)) << length;
        // A length rounded up to whole huge pages leaves no rounded tail mapped.
        const std::size_t whole = (length + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        if (whole - length <= length / 32) {
            EXPECT_FALSE(page_is_mapped(data + whole - 1)) << length;
        }
    }
}

TEST(ByteBufferTest, SmallBuffersSurviveReleaseAndReuseThroughTheBoundaryPath) {
    // Allocation and release agree by length alone: small buffers released
    // by length go back to the C heap, and a heap check library or a later
    // allocation would trip over a mismatch.
    for (int round = 0; round < 3; ++round) {
        for (const std::size_t length : LENGTHS) {
            auto buffer = ByteBuffer::allocate(length, "test buffer");
            ASSERT_TRUE(buffer.has_value());
            std::memset(buffer->data(), round, length);
            release_byte_storage(buffer->release(), length);
        }
    }
}

TEST(ByteBufferTest, ZeroLengthBuffersAllocateAndReleaseNothing) {
    auto buffer = ByteBuffer::allocate(0, "test buffer");
    ASSERT_TRUE(buffer.has_value());
    EXPECT_TRUE(buffer->empty());
    EXPECT_NE(buffer->data(), nullptr);
    std::uint8_t* const data = buffer->release();
    EXPECT_NE(data, nullptr);
    release_byte_storage(data, 0);
    release_byte_storage(nullptr, 0);
    release_byte_storage(nullptr, 6 * MIB);  // an absent buffer releases nothing
    // A moved-from buffer is empty and destroys cleanly.
    auto large = ByteBuffer::allocate(3 * MIB, "test buffer");
    ASSERT_TRUE(large.has_value());
    ByteBuffer moved = std::move(*large);
    EXPECT_TRUE(large->empty());
    EXPECT_NE(large->data(), nullptr);
    EXPECT_EQ(moved.size(), 3 * MIB);
    moved = ByteBuffer();
    EXPECT_TRUE(moved.empty());
}

TEST(ByteBufferTest, ImpossibleLengthsAreFailuresNamingTheBuffer) {
    // Far larger than any machine's address space: the mapping fails.
    const std::size_t too_large = SIZE_MAX / 2;
    const auto mapped = ByteBuffer::allocate(too_large, "RGB frame");
    ASSERT_FALSE(mapped.has_value());
    EXPECT_EQ(mapped.error().message, "failed to allocate RGB frame of " + std::to_string(too_large) + " bytes");
#if !defined(__SANITIZE_ADDRESS__)
    // Lengths no mapping can be rounded for go to malloc, which refuses them
    // (an address-sanitised malloc aborts instead, by its own rule).
    const auto heap = ByteBuffer::allocate(SIZE_MAX - 1, "luma plane");
    ASSERT_FALSE(heap.has_value());
    EXPECT_EQ(heap.error().message, "failed to allocate luma plane of " + std::to_string(SIZE_MAX - 1) + " bytes");
#endif
}

}  // namespace
