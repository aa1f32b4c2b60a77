// The implementations of a pixel loop that one build carries: which exist is
// settled by the target architecture when compiling, which may run by the
// CPU's features when running. Tests compare each one that runs here against
// the plain loop; benchmarks time them side by side.
#pragma once

#include <span>

// The vector versions this target's compiler can build.
#if defined(__x86_64__) || defined(__i386__)
#define PYTOVRIK_X86_PATHS 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define PYTOVRIK_NEON_PATHS 1
#endif

namespace pytovrik {

template <class Function>
struct CpuPath {
    const char* name;
    Function* function;
    bool runs_here;  // false: this CPU lacks the instructions, never call it
};

// The first path of `paths` that runs here, in order of preference, so the
// dispatchers pick the same one the tests list first.
template <class Function>
Function* first_path_that_runs(std::span<const CpuPath<Function>> paths) noexcept {
    for (const CpuPath<Function>& path : paths) {
        if (path.runs_here) {
            return path.function;
        }
    }
    return nullptr;
}

}  // namespace pytovrik
