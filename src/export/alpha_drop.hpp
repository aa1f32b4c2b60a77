// RGBA to RGB by dropping every fourth byte: on the path of every RGB frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pytovrik {

// The reference: one pixel at a time.
void drop_alpha_plain(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

// 16 pixels per step with SSSE3 byte shuffles; needs a CPU with SSSE3.
void drop_alpha_ssse3(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

// 32 pixels per step with AVX2 shuffles; needs a CPU with AVX2.
void drop_alpha_avx2(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

// The fastest of the above that this CPU runs.
void drop_alpha(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

}  // namespace pytovrik
