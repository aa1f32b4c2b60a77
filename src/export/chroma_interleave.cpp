#include "export/chroma_interleave.hpp"

#include <array>

#if defined(PYTOVRIK_X86_PATHS)
#include <emmintrin.h>
#elif defined(PYTOVRIK_NEON_PATHS)
#include <arm_neon.h>
#endif

namespace pytovrik {

void interleave_chroma_row_plain(const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                                 std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = cb[i];
        out[2 * i + 1] = cr[i];
    }
}

namespace {

#if defined(PYTOVRIK_X86_PATHS)

// SSE2 is part of every x86-64 CPU; the attribute and the run-time check
// matter only to 32-bit builds.
__attribute__((target("sse2"))) void interleave_chroma_row_sse2(const std::uint8_t* cb, const std::uint8_t* cr,
                                                                std::uint8_t* out, std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + i));
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(u, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(u, v));
    }
    interleave_chroma_row_plain(cb + i, cr + i, out + 2 * i, count - i);
}

#elif defined(PYTOVRIK_NEON_PATHS)

// Every aarch64 CPU has NEON, so it needs no check at run time.
void interleave_chroma_row_neon(const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                                std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const uint8x16x2_t pairs = {{vld1q_u8(cb + i), vld1q_u8(cr + i)}};
        vst2q_u8(out + 2 * i, pairs);
    }
    interleave_chroma_row_plain(cb + i, cr + i, out + 2 * i, count - i);
}

#endif

}  // namespace

std::span<const CpuPath<InterleaveChromaFunction>> interleave_chroma_row_paths() noexcept {
    static const auto paths = std::to_array<CpuPath<InterleaveChromaFunction>>({
#if defined(PYTOVRIK_X86_PATHS)
        {"sse2", interleave_chroma_row_sse2, __builtin_cpu_supports("sse2") != 0},
#elif defined(PYTOVRIK_NEON_PATHS)
        {"neon", interleave_chroma_row_neon, true},
#endif
        {"plain", interleave_chroma_row_plain, true},
    });
    return paths;
}

InterleaveChromaFunction* fastest_interleave_chroma_row() noexcept {
    static InterleaveChromaFunction* const fastest = first_path_that_runs(interleave_chroma_row_paths());
    return fastest;
}

}  // namespace pytovrik
