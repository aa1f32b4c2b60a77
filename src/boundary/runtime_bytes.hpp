#pragma once

#include <cstdint>

#include "common/byte_buffer.hpp"
#include "pytovrik_video.h"

namespace pytovrik::runtime_bytes {

// The absent buffer: data null, length 0.
RuntimeBytes empty() noexcept;

// Hands an owned buffer over to the host without copying its bytes.
RuntimeBytes from_vec(ByteBuffer buffer) noexcept;

}  // namespace pytovrik::runtime_bytes

namespace pytovrik {

// Releases one buffer made by runtime_bytes::from_vec; null releases nothing.
void free_runtime_bytes(std::uint8_t* data, std::uint64_t len) noexcept;

}  // namespace pytovrik
