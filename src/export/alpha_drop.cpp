#include "export/alpha_drop.hpp"

#include <array>

#if defined(PYTOVRIK_X86_PATHS)
#include <immintrin.h>
#elif defined(PYTOVRIK_NEON_PATHS)
#include <arm_neon.h>
#endif

namespace pytovrik {

void drop_alpha_plain(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept {
    for (std::size_t i = 0; i < pixels; ++i) {
        rgb[3 * i] = rgba[4 * i];
        rgb[3 * i + 1] = rgba[4 * i + 1];
        rgb[3 * i + 2] = rgba[4 * i + 2];
    }
}

#if defined(PYTOVRIK_X86_PATHS)

namespace {

// Vector widths are chosen per CPU at run time: the library ships one build
// for every x86-64 CPU, so only the baseline may be assumed when compiling.
__attribute__((target("ssse3"))) void drop_alpha_ssse3(const std::uint8_t* rgba, std::uint8_t* rgb,
                                                       std::size_t pixels) noexcept {
    // Packs the R, G, B bytes of four pixels into the low 12 bytes and zeroes
    // the top four, so neighbouring groups can be joined with shifts and ORs.
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const auto* in = reinterpret_cast<const __m128i*>(rgba + 4 * i);
        const __m128i p0 = _mm_shuffle_epi8(_mm_loadu_si128(in), pack);
        const __m128i p1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), pack);
        const __m128i p2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), pack);
        const __m128i p3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), pack);
        auto* out = reinterpret_cast<__m128i*>(rgb + 3 * i);
        _mm_storeu_si128(out, _mm_or_si128(p0, _mm_slli_si128(p1, 12)));
        _mm_storeu_si128(out + 1, _mm_or_si128(_mm_srli_si128(p1, 4), _mm_slli_si128(p2, 8)));
        _mm_storeu_si128(out + 2, _mm_or_si128(_mm_srli_si128(p2, 8), _mm_slli_si128(p3, 4)));
    }
    drop_alpha_plain(rgba + 4 * i, rgb + 3 * i, pixels - i);
}

__attribute__((target("avx2"))) void drop_alpha_avx2(const std::uint8_t* rgba, std::uint8_t* rgb,
                                                     std::size_t pixels) noexcept {
    // Byte shuffles stay within 128-bit lanes, so each lane first packs its
    // four pixels into dwords 0-2 (of 4); dword permutes then place the six
    // packed dwords of every 8 pixels where the three 32-byte outputs of 32
    // pixels want them, and blends join neighbours.
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                          0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // A group's packed dwords are 0 1 2 4 5 6; the four groups fill output
    // dwords 0-5, 6-11, 12-17 and 18-23, and 3 (zero) marks a don't-care.
    const __m256i place0 = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 3);
    const __m256i place1 = _mm256_setr_epi32(2, 4, 5, 6, 3, 3, 0, 1);
    const __m256i place2 = _mm256_setr_epi32(5, 6, 3, 3, 0, 1, 2, 4);
    const __m256i place3 = _mm256_setr_epi32(3, 3, 0, 1, 2, 4, 5, 6);
    std::size_t i = 0;
    for (; i + 32 <= pixels; i += 32) {
        const auto* in = reinterpret_cast<const __m256i*>(rgba + 4 * i);
        const __m256i g0 = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in), pack), place0);
        const __m256i g1 = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in + 1), pack), place1);
        const __m256i g2 = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in + 2), pack), place2);
        const __m256i g3 = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in + 3), pack), place3);
        auto* out = reinterpret_cast<__m256i*>(rgb + 3 * i);
        _mm256_storeu_si256(out, _mm256_blend_epi32(g0, g1, 0xC0));
        _mm256_storeu_si256(out + 1, _mm256_blend_epi32(g1, g2, 0xF0));
        _mm256_storeu_si256(out + 2, _mm256_blend_epi32(g2, g3, 0xFC));
    }
    drop_alpha_ssse3(rgba + 4 * i, rgb + 3 * i, pixels - i);
}

}  // namespace

#endif

#if defined(PYTOVRIK_NEON_PATHS)

namespace {

// Every aarch64 CPU has NEON, so it needs no check at run time. Structure
// loads split 16 pixels into their four channels; the store interleaves three.
void drop_alpha_neon(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const uint8x16x4_t in = vld4q_u8(rgba + 4 * i);
        const uint8x16x3_t out = {{in.val[0], in.val[1], in.val[2]}};
        vst3q_u8(rgb + 3 * i, out);
    }
    drop_alpha_plain(rgba + 4 * i, rgb + 3 * i, pixels - i);
}

}  // namespace

#endif

std::span<const CpuPath<DropAlphaFunction>> drop_alpha_paths() noexcept {
    static const auto paths = std::to_array<CpuPath<DropAlphaFunction>>({
#if defined(PYTOVRIK_X86_PATHS)
        {"avx2", drop_alpha_avx2, __builtin_cpu_supports("avx2") != 0},
        {"ssse3", drop_alpha_ssse3, __builtin_cpu_supports("ssse3") != 0},
#elif defined(PYTOVRIK_NEON_PATHS)
        {"neon", drop_alpha_neon, true},
#endif
        {"plain", drop_alpha_plain, true},
    });
    return paths;
}

void drop_alpha(const std::uint8_t* rgba, std::uint8_t* rgb, std::size_t pixels) noexcept {
    static DropAlphaFunction* const fastest = first_path_that_runs(drop_alpha_paths());
    fastest(rgba, rgb, pixels);
}

}  // namespace pytovrik
