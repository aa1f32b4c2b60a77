#include "boundary/runtime_bytes.hpp"

namespace pytovrik::runtime_bytes {

RuntimeBytes empty() noexcept { return RuntimeBytes{nullptr, 0}; }

RuntimeBytes from_vec(ByteBuffer buffer) noexcept {
    // ByteBuffer storage is always exactly its length, so there is nothing
    // to trim; release() never yields null.
    const std::uint64_t len = buffer.size();
    return RuntimeBytes{buffer.release(), len};
}

}  // namespace pytovrik::runtime_bytes

namespace pytovrik {

void free_runtime_bytes(std::uint8_t* data, std::uint64_t len) noexcept {
    release_byte_storage(data, static_cast<std::size_t>(len));
}

}  // namespace pytovrik
