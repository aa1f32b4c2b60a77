// One chroma row of the YUV 4:2:0 export: out[2i] = cb[i], out[2i + 1] = cr[i].
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "export/cpu_paths.hpp"

namespace pytovrik {

using InterleaveChromaFunction = void(const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                                      std::size_t count) noexcept;

// The reference: one sample pair at a time, on any CPU.
void interleave_chroma_row_plain(const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                                 std::size_t count) noexcept;

// Every version this build carries, fastest first, ending with the plain loop.
std::span<const CpuPath<InterleaveChromaFunction>> interleave_chroma_row_paths() noexcept;

// The fastest of interleave_chroma_row_paths() that this CPU runs.
InterleaveChromaFunction* fastest_interleave_chroma_row() noexcept;

}  // namespace pytovrik
