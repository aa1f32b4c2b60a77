// What a batch's fresh output memory costs: allocate a buffer per frame,
// write every byte (as an export does), keep all of them to the end of the
// batch, release them. The library's ByteBuffer against plain malloc/free and
// against mappings advised for transparent huge pages, at the sizes of real
// outputs. Run once as is and once with --no-thp to see both sides of the
// kernel's huge-page support.
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

double time_byte_buffer(const Case& item) {
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
    constexpr std::size_t case_count = std::size(CASES);
    std::vector<double> warm_malloc(case_count, 1e9);
    std::vector<double> warm_buffer(case_count, 1e9);
    std::vector<double> warm_huge(case_count, 1e9);
    std::vector<double> idle_malloc(case_count, 1e9);
    std::vector<double> idle_buffer(case_count, 1e9);
    std::vector<double> idle_huge(case_count, 1e9);
    for (std::size_t c = 0; c < case_count; ++c) {
        for (int rep = 0; rep < reps; ++rep) {
            warm_malloc[c] = std::min(warm_malloc[c], time_malloc(CASES[c]));
        }
        for (int rep = 0; rep < reps; ++rep) {
            warm_buffer[c] = std::min(warm_buffer[c], time_byte_buffer(CASES[c]));
        }
        for (int rep = 0; rep < reps; ++rep) {
            warm_huge[c] = std::min(warm_huge[c], time_huge_pages(CASES[c]));
        }
    }
    for (int rep = 0; rep < idle_reps; ++rep) {
        for (std::size_t c = 0; c < case_count; ++c) {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idle_malloc[c] = std::min(idle_malloc[c], time_malloc(CASES[c]));
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idle_buffer[c] = std::min(idle_buffer[c], time_byte_buffer(CASES[c]));
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idle_huge[c] = std::min(idle_huge[c], time_huge_pages(CASES[c]));
        }
    }
    std::ostringstream table;
    table << "Huge pages " << (no_thp ? "disabled for the process" : "as the kernel offers them")
          << "; per buffer: allocate, write every byte, keep to the end of the batch of 150, release. "
          << "Back to back: best of " << reps << " batches in a row per side; after 3 s idle: best of " << idle_reps
          << " batches, each after a 3 s pause.\n\n"
          << "| buffer | bytes | back to back: malloc us | huge pages us | library us | library speed-up | "
             "after 3 s idle: malloc us | huge pages us | library us | library speed-up |\n"
          << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (std::size_t c = 0; c < case_count; ++c) {
        const double count = static_cast<double>(CASES[c].count);
        table << "| " << CASES[c].name << " | " << CASES[c].size << " | " << fixed(warm_malloc[c] / count * 1e6, 1)
              << " | " << fixed(warm_huge[c] / count * 1e6, 1) << " | " << fixed(warm_buffer[c] / count * 1e6, 1)
              << " | " << fixed(warm_malloc[c] / warm_buffer[c], 2) << " | ";
        if (idle_reps > 0) {
            table << fixed(idle_malloc[c] / count * 1e6, 1) << " | " << fixed(idle_huge[c] / count * 1e6, 1) << " | "
                  << fixed(idle_buffer[c] / count * 1e6, 1) << " | " << fixed(idle_malloc[c] / idle_buffer[c], 2)
                  << " |\n";
        } else {
            table << " | | | |\n";
        }
    }
    std::cout << table.str();
    if (!markdown.empty()) {
        std::ofstream(markdown) << table.str();
    }
    return 0;
}
