// Dropping the alpha byte of one 1920x1080 RGBA frame, per implementation.
// Both buffers stay in cache between iterations, as the RGBA frame libswscale
// has just written does in the library.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "export/alpha_drop.hpp"

namespace {

constexpr std::size_t PIXELS = std::size_t{1920} * 1080;

using DropAlpha = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t) noexcept;

void run(benchmark::State& state, DropAlpha drop_alpha, bool supported) {
    if (!supported) {
        state.SkipWithError("CPU lacks the instructions");
        return;
    }
    std::vector<std::uint8_t> rgba(PIXELS * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::vector<std::uint8_t> rgb(PIXELS * 3);
    for (auto _ : state) {
        drop_alpha(rgba.data(), rgb.data(), PIXELS);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(PIXELS * 4));
}

void plain(benchmark::State& state) { run(state, pytovrik::drop_alpha_plain, true); }
void ssse3(benchmark::State& state) {
    run(state, pytovrik::drop_alpha_ssse3, __builtin_cpu_supports("ssse3") != 0);
}
void avx2(benchmark::State& state) { run(state, pytovrik::drop_alpha_avx2, __builtin_cpu_supports("avx2") != 0); }

}  // namespace

BENCHMARK(plain)->Name("drop_alpha_plain/1080p")->Unit(benchmark::kMicrosecond);
BENCHMARK(ssse3)->Name("drop_alpha_ssse3/1080p")->Unit(benchmark::kMicrosecond);
BENCHMARK(avx2)->Name("drop_alpha_avx2/1080p")->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
