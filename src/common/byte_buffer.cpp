#include "common/byte_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

namespace pytovrik {

namespace {

// The address of every zero-length buffer: non-null as the ABI requires, and
// never passed to the allocator.
alignas(16) std::uint8_t EMPTY_STORAGE[1];

// x86-64 Linux: 4 KiB base pages, 2 MiB transparent huge pages.
constexpr std::size_t BASE_PAGE = std::size_t{4} << 10;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t value, std::size_t unit) noexcept {
    return (value + unit - 1) / unit * unit;
}

// Fresh memory is the main cost of a response that keeps a whole batch of
// frames: with base pages every 4 KiB of an output is a page fault in which
// the kernel also zeroes the page. A 2 MiB huge page costs one fault, so large
// buffers get mappings of their own, aligned and advised for huge pages.
// The decision depends on the length alone, so that release, which is given
// only address and length, takes the same path as allocation did.
//
// Returns the length of the mapping for a buffer of `length` bytes, or 0 when
// the buffer comes from malloc. Lengths just short of whole huge pages (a
// 1920x1080 luma plane is 98.9% of 2 MiB, its RGB frame 98.9% of 6 MiB) are
// rounded up to them, for at most 1/32 more resident memory; otherwise the
// tail past the last huge page uses base pages, and a buffer that cannot hold
// one huge page is not mapped.
constexpr std::size_t mapping_length(std::size_t length) noexcept {
    if (length > SIZE_MAX - HUGE_PAGE) {
        return 0;  // unsatisfiable anyway: malloc reports the failure
    }
    const std::size_t whole_huge_pages = round_up(length, HUGE_PAGE);
    if (whole_huge_pages - length <= length / 32) {
        return whole_huge_pages;
    }
    return length >= HUGE_PAGE ? round_up(length, BASE_PAGE) : 0;
}

static_assert(mapping_length(1) == 0);
static_assert(mapping_length(1920 * 1080) == HUGE_PAGE);
static_assert(mapping_length(1920 * 1080 / 2) == 0);
static_assert(mapping_length(1920 * 1080 * 3) == 3 * HUGE_PAGE);
static_assert(mapping_length(1280 * 720 * 3) == round_up(1280 * 720 * 3, BASE_PAGE));

std::uint8_t* map_huge_page_aligned(std::size_t mapped) noexcept {
    // The kernel backs only 2 MiB-aligned ranges with huge pages and aligns
    // few mappings by itself, so map enough to find an aligned start and
    // give back the slack on both sides.
    const std::size_t span = mapped + HUGE_PAGE - BASE_PAGE;
    void* const raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    auto* const first = static_cast<std::uint8_t*>(raw);
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t head = round_up(address, HUGE_PAGE) - address;
    const std::size_t tail = span - head - mapped;
    if (head != 0) {
        munmap(first, head);
    }
    if (tail != 0) {
        munmap(first + head + mapped, tail);
    }
    // Advice only: without huge pages (disabled, or none free) the mapping
    // is served with base pages, no worse than malloc's own large mappings.
    madvise(first + head, mapped, MADV_HUGEPAGE);
    return first + head;
}

}  // namespace

ByteBuffer::ByteBuffer() noexcept : data_(EMPTY_STORAGE), length_(0) {}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, EMPTY_STORAGE)), length_(std::exchange(other.length_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release_byte_storage(data_, length_);
        data_ = std::exchange(other.data_, EMPTY_STORAGE);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() { release_byte_storage(data_, length_); }

Outcome<ByteBuffer> ByteBuffer::allocate(std::size_t length, std::string_view what) {
    ByteBuffer buffer;
    if (length == 0) {
        return buffer;
    }
    const std::size_t mapped = mapping_length(length);
    auto* storage = mapped != 0 ? map_huge_page_aligned(mapped) : static_cast<std::uint8_t*>(std::malloc(length));
    if (storage == nullptr) {
        return fail("failed to allocate " + std::string(what) + " of " + std::to_string(length) + " bytes");
    }
    buffer.data_ = storage;
    buffer.length_ = length;
    return buffer;
}

std::uint8_t* ByteBuffer::release() noexcept {
    length_ = 0;
    return std::exchange(data_, EMPTY_STORAGE);
}

void release_byte_storage(std::uint8_t* data, std::size_t length) noexcept {
    if (data == nullptr || length == 0) {
        return;
    }
    if (const std::size_t mapped = mapping_length(length); mapped != 0) {
        munmap(data, mapped);
    } else {
        std::free(data);
    }
}

}  // namespace pytovrik
