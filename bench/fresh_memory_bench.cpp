// What a batch's output memory costs: allocate a buffer per frame, write
// every byte (as an export does), keep all of them to the end of the batch,
// release them. The library's ByteBuffer, once with its cache of released
// mappings emptied before each batch (fresh memory) and once taking what the
// batch before released (recycled), against plain malloc/free and against
// mappings advised for transparent huge pages, at the sizes of real outputs.
// Run once as is and once with --no-thp to see both sides of the kernel's
// huge-page support.
//
// Usage: fresh_memory_bench [--no-thp] [--reps N] [--idle-reps N] [--markdown FILE]
#include <sys/mman.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/mapping_cache.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
    const char* name;
    std::size_t size;
    std::size_t count;
};

// 150 frames: five seconds at 30 frames per second.
constexpr Case CASES[] = {
    {"1080p RGB", 1920 * 1080 * 3, 150}, {"1080p luma", 1920 * 1080, 150}, {"1080p chroma", 1920 * 1080 / 2, 150},
    {"720p RGB", 1280 * 720 * 3, 150},   {"720p luma", 1280 * 720, 150},   {"224x224 RGB", 224 * 224 * 3, 150},
};

double time_malloc(const Case& item) {
    const auto start = Clock::now();
    std::vector<void*> kept;
    kept.reserve(item.count);
    for (std::size_t i = 0; i < item.count; ++i) {
        void* buffer = std::malloc(item.size);
        if (buffer == nullptr) {
            std::abort();
        }
        std::memset(buffer, static_cast<int>(i), item.size);
        kept.push_back(buffer);
    }
    for (void* buffer : kept) {
        std::free(buffer);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The road not taken, kept for comparison: each buffer a 2 MiB-aligned
// mapping advised for transparent huge pages.
double time_huge_pages(const Case& item) {
    constexpr std::size_t huge = std::size_t{2} << 20;
    const std::size_t mapped = (item.size + 4095) / 4096 * 4096;
    const auto start = Clock::now();
    std::vector<std::uint8_t*> kept;
    kept.reserve(item.count);
    for (std::size_t i = 0; i < item.count; ++i) {
        const std::size_t span = mapped + huge;
        void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) {
            std::abort();
        }
        auto* first = static_cast<std::uint8_t*>(raw);
        const std::size_t head = (huge - reinterpret_cast<std::uintptr_t>(raw) % huge) % huge;
        if (head != 0) {
            munmap(first, head);
        }
        munmap(first + head + mapped, span - head - mapped);
        madvise(first + head, mapped, MADV_HUGEPAGE);
        std::memset(first + head, static_cast<int>(i), item.size);
        kept.push_back(first + head);
    }
    for (std::uint8_t* buffer : kept) {
        munmap(buffer, mapped);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double time_byte_buffer(const Case& item, bool recycled) {
    if (!recycled) {
        pytovrik::unmap_cached_mappings();
    }
    const auto start = Clock::now();
    std::vector<pytovrik::ByteBuffer> kept;
    kept.reserve(item.count);
    for (std::size_t i = 0; i < item.count; ++i) {
        auto buffer = pytovrik::ByteBuffer::allocate(item.size, "benchmark buffer");
        if (!buffer) {
            std::abort();
        }
        std::memset(buffer->data(), static_cast<int>(i), item.size);
        kept.push_back(std::move(*buffer));
    }
    kept.clear();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    bool no_thp = false;
    int reps = 5;
    int idle_reps = 2;
    std::string markdown;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--no-thp") {
            no_thp = true;
        } else if (argument == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--idle-reps" && i + 1 < argc) {
            idle_reps = std::max(0, std::atoi(argv[++i]));
        } else if (argument == "--markdown" && i + 1 < argc) {
            markdown = argv[++i];
        } else {
            std::cerr << "usage: fresh_memory_bench [--no-thp] [--reps N] [--idle-reps N] [--markdown FILE]\n";
            return 2;
        }
    }
    if (no_thp && prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
        std::cerr << "PR_SET_THP_DISABLE failed\n";
        return 1;
    }
    // Two patterns of a host: batches back to back, where each side gets
    // back the memory it released a moment ago, and batches after a pause,
    // long enough for a virtual machine's free-page reporting (2 s here) to
    // hand freed memory back to the hypervisor, which must fault it in again.
    struct Side {
        const char* name;
        double (*time)(const Case&);
    };
    const Side sides[] = {
        {"malloc", time_malloc},
        {"huge pages", time_huge_pages},
        {"library, fresh", [](const Case& item) { return time_byte_buffer(item, false); }},
        {"library, recycled", [](const Case& item) { return time_byte_buffer(item, true); }},
    };
    constexpr std::size_t case_count = std::size(CASES);
    constexpr std::size_t side_count = std::size(sides);
    std::vector<std::vector<double>> warm(case_count, std::vector<double>(side_count, 1e9));
    std::vector<std::vector<double>> idle(case_count, std::vector<double>(side_count, 1e9));
    for (std::size_t c = 0; c < case_count; ++c) {
        for (std::size_t side = 0; side < side_count; ++side) {
            for (int rep = 0; rep < reps; ++rep) {
                warm[c][side] = std::min(warm[c][side], sides[side].time(CASES[c]));
            }
        }
    }
    for (int rep = 0; rep < idle_reps; ++rep) {
        for (std::size_t c = 0; c < case_count; ++c) {
            // The recycled side follows the fresh one, whose batch it takes.
            for (std::size_t side = 0; side < side_count; ++side) {
                std::this_thread::sleep_for(std::chrono::seconds(3));
                idle[c][side] = std::min(idle[c][side], sides[side].time(CASES[c]));
            }
        }
    }
    std::ostringstream table;
    table << "Huge pages " << (no_thp ? "disabled for the process" : "as the kernel offers them")
          << "; per buffer: allocate, write every byte, keep to the end of the batch of 150, release. "
          << "Back to back: best of " << reps << " batches in a row per side; after 3 s idle: best of " << idle_reps
          << " batches, each after a 3 s pause. Speed-ups are malloc's time over the library's.\n\n";
    std::ostringstream rule;
    table << "| buffer | bytes |";
    rule << "|---|---:|";
    for (const char* when : {"back to back: ", "after 3 s idle: "}) {
        for (const Side& side : sides) {
            table << ' ' << (&side == sides ? when : "") << side.name << " us |";
            rule << "---:|";
        }
        table << " speed-up fresh | speed-up recycled |";
        rule << "---:|---:|";
    }
    table << "\n" << rule.str() << "\n";
    for (std::size_t c = 0; c < case_count; ++c) {
        const double count = static_cast<double>(CASES[c].count);
        table << "| " << CASES[c].name << " | " << CASES[c].size << " |";
        for (const auto* times : {&warm[c], &idle[c]}) {
            const bool measured = times == &warm[c] || idle_reps > 0;
            for (const double time : *times) {
                table << ' ' << (measured ? fixed(time / count * 1e6, 1) : "") << " |";
            }
            for (const std::size_t library : {std::size_t{2}, std::size_t{3}}) {
                table << ' ' << (measured ? fixed((*times)[0] / (*times)[library], 2) : "") << " |";
            }
        }
        table << "\n";
    }
    std::cout << table.str();
    if (!markdown.empty()) {
        std::ofstream(markdown) << table.str();
    }
    return 0;
}
