#include "common/byte_buffer.hpp"

#include <cstdlib>
#include <string>
#include <utility>

namespace pytovrik {

namespace {

// The address of every zero-length buffer: non-null as the ABI requires, and
// never passed to the allocator.
alignas(16) std::uint8_t EMPTY_STORAGE[1];

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
    auto* storage = static_cast<std::uint8_t*>(std::malloc(length));
    if (storage == nullptr) {
        return fail("failed to allocate " + std::string(what) + " of " + std::to_string(length) +
                    " bytes");
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
    if (data != nullptr && length != 0) {
        std::free(data);
    }
}

}  // namespace pytovrik
