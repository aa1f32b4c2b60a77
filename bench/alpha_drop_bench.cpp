// Dropping the alpha byte of one RGBA frame, per implementation: a 1080p
// frame, and a 224x224 one of the kind fed to image models, which stays in
// the L2 cache where a 1080p frame does not.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <ranges>
#include <string>
#include <vector>

#include "export/alpha_drop.hpp"

namespace {

void run(benchmark::State& state, pytovrik::DropAlphaFunction* drop_alpha, bool supported) {
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

void frame_sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"w", "h"})->Args({1920, 1080})->Args({224, 224})->Unit(benchmark::kMicrosecond);
}

}  // namespace

// Every version this build carries, plain loop first; one this CPU cannot
// run reports an error instead of a time.
int main(int argc, char** argv) {
    for (const auto& path : pytovrik::drop_alpha_paths() | std::views::reverse) {
        benchmark::RegisterBenchmark((std::string("drop_alpha_") + path.name).c_str(),
                                     [path](benchmark::State& state) { run(state, path.function, path.runs_here); })
            ->Apply(frame_sizes);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
