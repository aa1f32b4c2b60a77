// RGBA to RGB by dropping every fourth byte: on the path of every RGB frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "export/cpu_paths.hpp"

namespace pytovrik {

using DropAlphaFunction = void(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

// The reference: one pixel at a time, on any CPU.
void drop_alpha_plain(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

// Every version this build carries, fastest first, ending with the plain loop.
std::span<const CpuPath<DropAlphaFunction>> drop_alpha_paths() noexcept;

// The fastest of drop_alpha_paths() that this CPU runs.
void drop_alpha(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept;

}  // namespace pytovrik
