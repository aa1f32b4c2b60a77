// g++ instruments code for coverage with one callback per basic block,
// __sanitizer_cov_trace_pc, which libFuzzer's engine only supports as a stub
// that aborts. These counters stand in for it: each block's address is hashed
// into libFuzzer's extra-counters section, which the engine reads as coverage
// features the same way it reads clang's inline counters.
#include <cstdint>

namespace {

constexpr std::uintptr_t COUNTER_COUNT = std::uintptr_t{1} << 16;

}  // namespace

extern "C" {

// Named so that the section is found through __start_/__stop_ symbols.
__attribute__((section("__libfuzzer_extra_counters"), used)) std::uint8_t pytovrik_block_counters[COUNTER_COUNT];

__attribute__((no_sanitize_coverage, no_sanitize("address", "undefined", "thread"))) void
__sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    std::uint8_t& counter = pytovrik_block_counters[(pc ^ (pc >> 16)) % COUNTER_COUNT];
    // Saturating, so a hot loop does not wrap back to "never seen".
    if (counter != 0xff) {
        ++counter;
    }
}

// g++'s trace-cmp also reports floating-point comparisons, which libFuzzer's
// engine has no callbacks for: they count for nothing.
__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpf(float, float) {}
__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpd(double, double) {}

}  // extern "C"
