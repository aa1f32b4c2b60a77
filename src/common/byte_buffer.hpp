// An owned byte buffer of exactly its length. Storage is released knowing only
// its address and length, which is all a host hands back through the C ABI,
// so every buffer that may cross the boundary is one of these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/outcome.hpp"

namespace pytovrik {

class ByteBuffer {
public:
    ByteBuffer() noexcept;  // empty: length 0, nothing allocated
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer();

    // Storage is not initialised, and may hold the bytes of a buffer released
    // earlier: every caller writes all of it. Large buffers are mappings of
    // their own, recycled from released ones or populated when they are
    // made, because their page faults cost more than filling them. A failed
    // allocation is a failure of the request, named by `what`, because sizes
    // come from the host's request or the stream.
    static Outcome<ByteBuffer> allocate(std::size_t length, std::string_view what);

    [[nodiscard]] std::uint8_t* data() noexcept { return data_; }
    [[nodiscard]] const std::uint8_t* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return length_; }
    [[nodiscard]] bool empty() const noexcept { return length_ == 0; }

    // Gives up ownership; the storage must later go to release_byte_storage
    // with the same length. Never null: an empty buffer yields an address
    // behind which nothing is allocated.
    [[nodiscard]] std::uint8_t* release() noexcept;

private:
    std::uint8_t* data_;
    std::size_t length_;
};

// Releases storage given up by ByteBuffer::release. Length 0 releases nothing.
void release_byte_storage(std::uint8_t* data, std::size_t length) noexcept;

}  // namespace pytovrik
