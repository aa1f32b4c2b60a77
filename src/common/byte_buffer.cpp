#include "common/byte_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "common/mapping_cache.hpp"

namespace pytovrik {

namespace {

// The address of every zero-length buffer: non-null as the ABI requires, and
// never passed to the allocator.
alignas(16) std::uint8_t EMPTY_STORAGE[1];

constexpr std::size_t round_up(std::size_t value, std::size_t unit) noexcept {
    return (value + unit - 1) / unit * unit;
}

// Fresh memory is the main cost of a response that keeps a whole batch of
// frames: every 4 KiB a frame writes first is a page fault, and fresh pages
// are taken one fault at a time. Large buffers are therefore mappings of
// their own: recycled from earlier responses (mapping_cache.hpp) when there
// are any, else populated by the kernel in one pass when they are made (1.3
// to 1.6 times faster than faulting them in by writing, measured on 0.5 to
// 6 MiB buffers); every caller writes all of them anyway.
//
// Transparent huge pages are not asked for: back to back they made a 6 MiB
// buffer 4 times cheaper, but on a virtual machine whose freed memory goes
// back to the hypervisor (free page reporting, 2 MiB blocks after 2 s) every
// fresh huge page had to be faulted in from the host again, and a batch of
// 1080p RGB frames ran at 0.7 of its speed on malloc'd memory.
//
// Below SMALLEST_MAPPING, buffers come from malloc, whose heap often hands
// back memory that is already faulted in; a mapping would cost a system call
// each time. The choice depends on the length alone, so that release, which
// is given only address and length, takes the same path as allocation did.
// Returns the mapping's length, or 0 for a malloc buffer.
std::size_t mapping_length(std::size_t length) noexcept {
    const std::size_t page = page_size();
    if (length < SMALLEST_MAPPING || length > SIZE_MAX - page) {
        return 0;  // the largest lengths cannot be satisfied: malloc reports it
    }
    return round_up(length, page);
}

std::uint8_t* map_populated(std::size_t mapped) noexcept {
    // A mapping the kernel could not populate (memory short at that moment)
    // is still returned and is faulted in later, as malloc's would be.
    void* const storage =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return storage == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(storage);
}

std::uint8_t* recycled_or_populated(std::size_t mapped) noexcept {
    std::uint8_t* const recycled = take_cached_mapping(mapped);
    return recycled != nullptr ? recycled : map_populated(mapped);
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
    auto* storage = mapped != 0 ? recycled_or_populated(mapped) : static_cast<std::uint8_t*>(std::malloc(length));
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
        cache_or_unmap(data, mapped);
    } else {
        std::free(data);
    }
}

}  // namespace pytovrik
