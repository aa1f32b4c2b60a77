// pytovrik-video: decodes H.264 through the library's public interface only,
// as any other host would, and writes what comes back.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "frame_source.hpp"
#include "options.hpp"
#include "output/frame_sink.hpp"
#include "progress.hpp"
#include "pytovrik_video.h"

extern "C" {
#include <libavutil/log.h>
}

namespace pytovrik::cli {
namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// How many bytes of frames one library call may return (for a file, and for
// a stream in --batch gop mode): a long group of pictures at a large RGB size
// would otherwise be held in memory whole (1700 frames of 640x480 RGB are
// 1.5 GiB).
constexpr std::uint64_t memory_budget = std::uint64_t{1} << 30;

int report_failure(const std::string& message) {
    std::fprintf(stderr, "pytovrik-video: %s\n", message.c_str());
    return exit_failure;
}

Outcome<std::vector<std::unique_ptr<FrameSink>>> open_outputs(const Options& options, FrameSource& source) {
    std::vector<std::unique_ptr<FrameSink>> sinks;
    if (options.framecrc) {
        auto times = source.frame_times();
        if (!times) {
            return propagate(times);
        }
        sinks.push_back(make_framecrc_sink(stdout, std::move(*times)));
    }
    Outcome<std::unique_ptr<FrameSink>> sink = nullptr;
    switch (options.output) {
    case OutputKind::none:
        return sinks;
    case OutputKind::y4m:
        sink = make_y4m_sink(options.output_path, source.frame_rate());
        break;
    case OutputKind::nv12:
        sink = make_raw_sink(options.output_path, RawLayout::nv12);
        break;
    case OutputKind::i420:
        sink = make_raw_sink(options.output_path, RawLayout::i420);
        break;
    case OutputKind::rgb:
        sink = make_raw_sink(options.output_path, RawLayout::rgb);
        break;
    case OutputKind::image_directory:
        sink = make_image_directory_sink(options.output_path, options.image);
        break;
    }
    if (!sink) {
        return propagate(sink);
    }
    sinks.push_back(std::move(*sink));
    return sinks;
}

std::string summary_line(const Options& options, const std::string& input, const FrameSource& source,
                         const DecodeTotals& totals, double seconds) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 " frames, %" PRIu64 " batch%s, %.3f s, %.1f fps", totals.frames,
                  totals.batches, totals.batches == 1 ? "" : "es", seconds,
                  seconds > 0 ? static_cast<double>(totals.frames) / seconds : 0.0);
    std::string line = std::filesystem::path(input).filename().string() + " (" + source.description() + "): " + numbers;
    if (totals.last_size) {
        line += ", " + std::to_string(totals.last_size->width) + "x" + std::to_string(totals.last_size->height);
    }
    line += options.format == RuntimeFormatRgb ? " rgb" : " yuv420";
    if (!options.frames.keeps_every_frame()) {
        line += ", kept " + std::to_string(totals.kept);
    }
    if (options.output != OutputKind::none) {
        line += ", written to " + options.output_path;
    }
    return line;
}

int run(const Options& options) {
    if (const int version = pytovrik_video_abi_version(); version != 1) {
        return report_failure("the pytovrik_video library found speaks interface version " +
                              std::to_string(version) + ", this tool needs 1");
    }
    // FFmpeg's warnings about damaged pictures would drown the progress line;
    // the library shares this process's libavutil, so this reaches it too.
    av_log_set_level(options.quiet ? AV_LOG_QUIET : AV_LOG_ERROR);
    // Each thread reads the variable once, when it creates its decoder, so it
    // must be set before the first decode.
    if (options.threads && setenv("TOVRIK_VIDEO_FFMPEG_THREADS", options.threads->c_str(), 1) != 0) {
        return report_failure("cannot set TOVRIK_VIDEO_FFMPEG_THREADS");
    }
    const std::string input = options.input.value_or(PYTOVRIK_SAMPLE_PATH);
    if (!options.input && !std::filesystem::exists(input)) {
        return report_failure("no input given and the bundled sample '" + input + "' is missing");
    }
    auto source = open_input(input);
    if (!source) {
        return report_failure(source.error().message);
    }
    auto sinks = open_outputs(options, **source);
    if (!sinks) {
        return report_failure(sinks.error().message);
    }

    Progress progress(!options.quiet && isatty(STDERR_FILENO) == 1);
    auto failed = [&](const std::string& message) {
        progress.clear();
        return report_failure(message);
    };
    const FrameConsumer write_frame = [&](std::uint64_t position, const RuntimeFrame& frame) -> Outcome<void> {
        for (auto& sink : *sinks) {
            if (auto written = sink->write(position, frame); !written) {
                return written;
            }
        }
        return {};
    };
    const DecodeSettings settings{options.format, options.size,  options.frames,
                                  options.batch,  memory_budget, options.autorotate};
    auto totals = (*source)->decode(settings, write_frame, progress);
    if (!totals) {
        return failed(totals.error().message);
    }
    for (auto& sink : *sinks) {
        if (auto finished = sink->finish(); !finished) {
            return failed(finished.error().message);
        }
    }
    const double seconds = progress.seconds();
    progress.clear();
    if (!options.quiet) {
        std::fprintf(stderr, "%s\n",
                     summary_line(options, input, **source, *totals, seconds).c_str());
    }
    return EXIT_SUCCESS;
}

}  // namespace
}  // namespace pytovrik::cli

int main(int argc, char** argv) {
    using namespace pytovrik::cli;
    auto options = parse_command_line(argc, argv);
    if (!options) {
        std::fprintf(stderr, "pytovrik-video: %s\nTry 'pytovrik-video --help'.\n", options.error().message.c_str());
        return exit_usage;
    }
    if (options->help) {
        std::fputs(usage_text().c_str(), stdout);
        return EXIT_SUCCESS;
    }
    return run(*options);
}
