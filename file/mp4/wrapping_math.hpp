// Arithmetic on times read from untrusted files. libavformat adds and
// subtracts such times as plain int64_t; these wrap the same way on every
// platform instead of being undefined, and the saturating and rescaling
// helpers are libavutil's own, so results match bit for bit.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/mathematics.h>
}

namespace pytovrik::file::mp4 {

constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

constexpr std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

}  // namespace pytovrik::file::mp4
