// Output memory: every length gets exactly its bytes, large buffers arrive
// already faulted in, and release by address and length alone gives back
// what allocation took, whichever way it was taken. Released large buffers
// wait in a bounded cache for the next ones, which also a forked child can
// use while other threads of its parent held it.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/mapping_cache.hpp"

namespace {

using pytovrik::ByteBuffer;
using pytovrik::cached_mapping_bytes;
using pytovrik::MAPPING_CACHE_CAP;
using pytovrik::release_byte_storage;
using pytovrik::unmap_cached_mappings;

constexpr std::size_t KIB = 1024;
constexpr std::size_t MIB = 1024 * KIB;
const std::size_t PAGE = pytovrik::page_size();

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

TEST(ByteBufferTest, LargeBuffersArriveFaultedInAndReleaseByLengthGivesBackTheirPages) {
    unmap_cached_mappings();
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
        // The pages wait in the cache until it lets them go.
        release_byte_storage(data, released_length);
        EXPECT_EQ(cached_mapping_bytes(), (length + PAGE - 1) / PAGE * PAGE);
        unmap_cached_mappings();
        EXPECT_FALSE(page_is_mapped(data)) << length;
        EXPECT_FALSE(page_is_mapped(data + length - 1)) << length;
    }
}

std::uint8_t* allocate_and_release(std::size_t length) {
    auto buffer = ByteBuffer::allocate(length, "test buffer");
    EXPECT_TRUE(buffer.has_value());
    std::uint8_t* const data = buffer->data();
    release_byte_storage(buffer->release(), length);
    return data;
}

TEST(ByteBufferTest, ReleasedMappingsAreTakenAgainWholeOrSplit) {
    unmap_cached_mappings();
    std::uint8_t* const first = allocate_and_release(3 * MIB);
    EXPECT_EQ(cached_mapping_bytes(), 3 * MIB);
    EXPECT_EQ(allocate_and_release(3 * MIB), first);
    // A smaller buffer takes the head of the mapping and leaves the rest.
    auto head = ByteBuffer::allocate(MIB + 1, "test buffer");
    EXPECT_EQ(head->data(), first);
    EXPECT_EQ(cached_mapping_bytes(), 2 * MIB - PAGE);
    auto rest = ByteBuffer::allocate(2 * MIB - PAGE, "test buffer");
    EXPECT_EQ(rest->data(), first + MIB + PAGE);
    EXPECT_EQ(cached_mapping_bytes(), 0U);
    // None fits: a fresh mapping.
    auto fresh = ByteBuffer::allocate(4 * MIB, "test buffer");
    EXPECT_TRUE(fresh->data() < first || fresh->data() >= first + 3 * MIB);
    // Released, the pieces are one mapping again.
    head = ByteBuffer();
    rest = ByteBuffer();
    EXPECT_EQ(allocate_and_release(3 * MIB), first);
    // A rest too small to be a buffer of its own is unmapped at once.
    auto most = ByteBuffer::allocate(3 * MIB - 16 * KIB, "test buffer");
    EXPECT_EQ(most->data(), first);
    EXPECT_EQ(cached_mapping_bytes(), 0U);
    EXPECT_FALSE(page_is_mapped(first + 3 * MIB - PAGE));
}

// Address space only: nothing is faulted in.
std::uint8_t* unpopulated_mapping(std::size_t length) {
    void* const data = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    EXPECT_NE(data, MAP_FAILED);
    return static_cast<std::uint8_t*>(data);
}

TEST(ByteBufferTest, TheCacheHoldsAtMostItsCapAndLetsTheOldestGoFirst) {
    unmap_cached_mappings();
    const std::size_t quarter = MAPPING_CACHE_CAP / 4;
    // A page apart, so that none joins another whichever way the system
    // places new mappings: the order they arrive in decides which goes.
    std::uint8_t* const region = unpopulated_mapping(5 * (quarter + PAGE));
    std::vector<std::uint8_t*> mappings;
    for (std::size_t i = 0; i < 5; ++i) {
        mappings.push_back(region + i * (quarter + PAGE));
        munmap(mappings.back() + quarter, PAGE);
        pytovrik::cache_or_unmap(mappings.back(), quarter);
    }
    EXPECT_EQ(cached_mapping_bytes(), MAPPING_CACHE_CAP);
    EXPECT_FALSE(page_is_mapped(mappings[0]));
    for (int i = 1; i < 5; ++i) {
        EXPECT_TRUE(page_is_mapped(mappings[static_cast<std::size_t>(i)])) << i;
    }
    // More than the cap is never kept, and takes nothing out.
    std::uint8_t* const huge = unpopulated_mapping(MAPPING_CACHE_CAP + PAGE);
    pytovrik::cache_or_unmap(huge, MAPPING_CACHE_CAP + PAGE);
    EXPECT_FALSE(page_is_mapped(huge));
    EXPECT_EQ(cached_mapping_bytes(), MAPPING_CACHE_CAP);
    unmap_cached_mappings();
    EXPECT_EQ(cached_mapping_bytes(), 0U);
    EXPECT_FALSE(page_is_mapped(mappings[4]));
}

// The exit status of `work` run in a forked child, or -1 when the child did
// not exit normally; one that hangs is ended by its alarm.
template <class Work>
int status_of_forked_child(Work work) {
    std::fflush(nullptr);  // or the child would write the parent's buffered output again
    const pid_t child = fork();
    if (child == 0) {
        alarm(30);
        _exit(work());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ByteBufferTest, AChildForkedWhileAnotherThreadUsesTheCacheStartsWithItEmpty) {
    unmap_cached_mappings();
    std::atomic<bool> stop{false};
    std::thread user([&] {
        while (!stop.load()) {
            allocate_and_release(512 * KIB);
        }
    });
    // A child that inherited a held lock hangs, and then most of them do.
    int status = 0;
    for (int child = 0; child < 50 && status == 0; ++child) {
        status = status_of_forked_child([] {
            const bool empty = cached_mapping_bytes() == 0;
            allocate_and_release(MIB);
            return empty && cached_mapping_bytes() == MIB ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << "child " << child;
    }
    stop = true;
    user.join();
    EXPECT_EQ(cached_mapping_bytes(), 512 * KIB);
    unmap_cached_mappings();
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
