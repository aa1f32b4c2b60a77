// Opening an MP4 from its own index against libavformat opening it: time
// (median of interleaved rounds, warm page cache), bytes taken from the file
// (/proc/self/io rchar, which counts every read system call), and the index
// memory the track keeps per sample.
// Usage: mp4_open_bench FILE [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/ffmpeg_owners.hpp"
#include "mp4/mp4_track.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t bytes_read_so_far() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return 0;
}

struct Row {
    std::vector<double> milliseconds;
    std::uint64_t bytes = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs `open` once, timing it and counting the bytes it reads.
template <class Open>
void measure(Row& row, Open&& open) {
    const std::uint64_t before = bytes_read_so_far();
    const auto start = Clock::now();
    open();
    const auto end = Clock::now();
    row.bytes = bytes_read_so_far() - before;
    row.milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [rounds]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
    av_log_set_level(AV_LOG_ERROR);
    std::size_t samples = 0;
    std::size_t index_bytes = 0;
    std::uint64_t file_size = 0;
    auto open_index = [&] {
        auto file = pytovrik::file::FileBytes::open(path);
        if (!file) {
            std::fprintf(stderr, "%s\n", file.error().message.c_str());
            std::exit(1);
        }
        file_size = (*file)->size();
        std::string reason;
        auto track = pytovrik::file::open_mp4_track(*file, &reason);
        if (!track || !*track) {
            std::fprintf(stderr, "%s\n", track ? ("falls back: " + reason).c_str() : track.error().message.c_str());
            std::exit(1);
        }
        samples = (*track)->samples.size();
        index_bytes = (*track)->samples.capacity() * sizeof(pytovrik::file::TrackSample);
    };
    auto open_libavformat = [&](bool stream_info) {
        AVFormatContext* opened = nullptr;
        if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) {
            std::fprintf(stderr, "libavformat cannot open %s\n", path.c_str());
            std::exit(1);
        }
        pytovrik::UniqueAVFormatContext format(opened);
        if (stream_info && avformat_find_stream_info(format.get(), nullptr) < 0) {
            std::fprintf(stderr, "libavformat cannot read the streams of %s\n", path.c_str());
            std::exit(1);
        }
    };
    // Warm the page cache, then interleave the rows round by round.
    open_index();
    open_libavformat(true);
    Row index;
    Row libavformat;
    Row libavformat_with_info;
    for (int round = 0; round < rounds; ++round) {
        measure(index, open_index);
        measure(libavformat, [&] { open_libavformat(false); });
        measure(libavformat_with_info, [&] { open_libavformat(true); });
    }
    const double percent = 100.0 / static_cast<double>(file_size);
    std::printf("%s: %zu samples, %llu bytes, median of %d rounds, warm\n\n", path.c_str(), samples,
                static_cast<unsigned long long>(file_size), rounds);
    std::printf("| open | ms | bytes read | of the file |\n|---|---:|---:|---:|\n");
    std::printf("| open_mp4_track | %.2f | %llu | %.2f %% |\n", median(index.milliseconds),
                static_cast<unsigned long long>(index.bytes), static_cast<double>(index.bytes) * percent);
    std::printf("| avformat_open_input | %.2f | %llu | %.2f %% |\n", median(libavformat.milliseconds),
                static_cast<unsigned long long>(libavformat.bytes), static_cast<double>(libavformat.bytes) * percent);
    std::printf("| avformat_open_input + find_stream_info | %.2f | %llu | %.2f %% |\n",
                median(libavformat_with_info.milliseconds),
                static_cast<unsigned long long>(libavformat_with_info.bytes),
                static_cast<double>(libavformat_with_info.bytes) * percent);
    std::printf("\nindex: %zu bytes, %.1f bytes per sample\n", index_bytes,
                static_cast<double>(index_bytes) / static_cast<double>(std::max<std::size_t>(samples, 1)));
    return 0;
}
