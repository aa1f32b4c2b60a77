// Output memory: every length gets exactly its bytes, large buffers arrive
// already faulted in, and release by address and length alone gives back
// what allocation took, whichever way it was taken.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_buffer.hpp"

namespace {

using pytovrik::ByteBuffer;
using pytovrik::release_byte_storage;

constexpr std::size_t KIB = 1024;
constexpr std::size_t MIB = 1024 * KIB;
constexpr std::size_t PAGE = 4 * KIB;

// Around page sizes, around 256 KiB where buffers become mappings of their
// own, and real frame sizes: 224x224 RGB, 1080p chroma and luma, 720p and
// 1080p RGB.
const std::vector<std::size_t> LENGTHS = {1,           15,          4095,       4096,    150528,  256 * KIB - 1,
                                          256 * KIB,   256 * KIB + 1, 1036800,  2073600, 2764800, 1920 * 1080 * 3,
                                          6 * MIB + 1};

// Lengths that are mappings of their own.
const std::vector<std::size_t> MAPPED_LENGTHS = {256 * KIB, 256 * KIB + 1, 2073600, 1920 * 1080 * 3};

std::uint8_t pattern(std::size_t buffer, std::size_t offset) {
    return static_cast<std::uint8_t>((buffer * 131 + offset * 7 + offset / 4096) & 0xff);
}

bool page_is_mapped(const std::uint8_t* address) {
    const auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{PAGE - 1};
    unsigned char resident = 0;
    // mincore fails with ENOMEM exactly when the range is not mapped.
    return mincore(reinterpret_cast<void*>(page), PAGE, &resident) == 0 || errno != ENOMEM;
}

// Pages of [data, data + length) that are in memory, without touching them.
std::size_t resident_pages(const std::uint8_t* data, std::size_t length) {
    std::vector<unsigned char> pages((length + PAGE - 1) / PAGE);
    if (mincore(const_cast<std::uint8_t*>(data), length, pages.data()) != 0) {
        return 0;
    }
    std::size_t count = 0;
    for (const unsigned char page : pages) {
        count += page & 1U;
    }
    return count;
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

TEST(ByteBufferTest, LargeBuffersArriveFaultedInAndReleaseByLengthUnmapsThem) {
    for (const std::size_t length : MAPPED_LENGTHS) {
        auto buffer = ByteBuffer::allocate(length, "test buffer");
        ASSERT_TRUE(buffer.has_value());
        // Page-aligned and in memory before the first write: writing the
        // frame takes no page fault.
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(buffer->data()) % PAGE, 0U) << length;
        EXPECT_EQ(resident_pages(buffer->data(), length), (length + PAGE - 1) / PAGE) << length;
        std::memset(buffer->data(), 1, length);
        const std::size_t released_length = buffer->size();
        std::uint8_t* const data = buffer->release();
        ASSERT_TRUE(page_is_mapped(data));
        ASSERT_TRUE(page_is_mapped(data + length - 1));
        // What a host hands back through the C ABI: address and length only.
        release_byte_storage(data, released_length);
        EXPECT_FALSE(page_is_mapped(data)) << length;
        EXPECT_FALSE(page_is_mapped(data + length - 1)) << length;
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
    auto large = ByteBuffer::allocate(3 * MIB, "test buffer");  // a mapping
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
