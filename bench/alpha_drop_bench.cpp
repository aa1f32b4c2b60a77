// Dropping the alpha byte of one RGBA frame, per implementation: a 1080p
// frame, and a 224x224 one of the kind fed to image models, which stays in
// the L2 cache where a 1080p frame does not.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "export/alpha_drop.hpp"

namespace {

using DropAlpha = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t) noexcept;

void run(benchmark::State& state, DropAlpha drop_alpha, bool supported) {
    if (!supported) {
        state.SkipWithError("CPU lacks the instructions");
        return;
    }
    const auto pixels = static_cast<std::size_t>(state.range(0) * state.range(1));
    std::vector<std::uint8_t> rgba(pixels * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::vector<std::uint8_t> rgb(pixels * 3);
    for (auto _ : state) {
        drop_alpha(rgba.data(), rgb.data(), pixels);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pixels * 4));
}

void plain(benchmark::State& state) { run(state, pytovrik::drop_alpha_plain, true); }
void ssse3(benchmark::State& state) {
    run(state, pytovrik::drop_alpha_ssse3, __builtin_cpu_supports("ssse3") != 0);
}
void avx2(benchmark::State& state) { run(state, pytovrik::drop_alpha_avx2, __builtin_cpu_supports("avx2") != 0); }

void frame_sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"w", "h"})->Args({1920, 1080})->Args({224, 224})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(plain)->Name("drop_alpha_plain")->Apply(frame_sizes);
BENCHMARK(ssse3)->Name("drop_alpha_ssse3")->Apply(frame_sizes);
BENCHMARK(avx2)->Name("drop_alpha_avx2")->Apply(frame_sizes);

BENCHMARK_MAIN();
