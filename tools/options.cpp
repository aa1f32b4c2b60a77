#include "options.hpp"

#include <getopt.h>

#include <charconv>
#include <filesystem>
#include <span>
#include <string_view>

namespace pytovrik::cli {
namespace {

// Beyond this a single RGB frame runs to gigabytes, and a group of pictures
// is held in memory at once.
constexpr std::uint32_t max_rgb_dimension = 16384;
constexpr unsigned max_threads = 1024;

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

Outcome<FrameSize> parse_size(std::string_view text) {
    const std::size_t x = text.find('x');
    const auto width = x == std::string_view::npos ? std::nullopt : parse_number<std::uint32_t>(text.substr(0, x));
    const auto height = x == std::string_view::npos ? std::nullopt : parse_number<std::uint32_t>(text.substr(x + 1));
    if (!width || !height || *width == 0 || *height == 0 || *width > max_rgb_dimension ||
        *height > max_rgb_dimension) {
        return fail("--size: '" + std::string(text) + "' is not WIDTHxHEIGHT with each side from 1 to " +
                    std::to_string(max_rgb_dimension));
    }
    return FrameSize{*width, *height};
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

Outcome<OutputKind> output_kind_of(const std::string& path) {
    std::error_code error;
    if (ends_with(path, "/") || std::filesystem::is_directory(path, error)) {
        return OutputKind::image_directory;
    }
    if (ends_with(path, ".y4m")) {
        return OutputKind::y4m;
    }
    if (ends_with(path, ".nv12")) {
        return OutputKind::nv12;
    }
    if (ends_with(path, ".yuv")) {
        return OutputKind::i420;
    }
    if (ends_with(path, ".rgb")) {
        return OutputKind::rgb;
    }
    return fail("-o: cannot tell what to write from '" + path +
                "': name a .y4m, .nv12, .yuv or .rgb file, or a directory ending in /");
}

// Settles the output format from --format and -o together: a directory of
// images and a .rgb file imply RGB, the YUV files need YUV.
Outcome<void> settle_format(Options& options, bool format_given) {
    const bool wants_rgb = options.output == OutputKind::image_directory || options.output == OutputKind::rgb;
    const bool wants_yuv =
        options.output == OutputKind::y4m || options.output == OutputKind::nv12 || options.output == OutputKind::i420;
    if (!format_given && wants_rgb) {
        options.format = RuntimeFormatRgb;
    }
    if (wants_rgb && options.format != RuntimeFormatRgb) {
        return fail("-o " + options.output_path + " writes RGB frames: drop --format yuv420 or use --format rgb");
    }
    if (wants_yuv && options.format != RuntimeFormatYuv420) {
        return fail("-o " + options.output_path + " writes YUV frames: use .rgb or a directory for --format rgb");
    }
    if (options.size && options.format != RuntimeFormatRgb) {
        return fail("--size scales RGB frames: add --format rgb");
    }
    return {};
}

// Long-only options take codes above any character, so they cannot clash
// with the short ones.
enum OptionCode : int {
    format_code = 256,
    size_code,
    frames_code,
    threads_code,
    batch_code,
    image_code,
    framecrc_code,
    noautorotate_code
};

constexpr option option_table[] = {
    {"format", required_argument, nullptr, format_code},
    {"size", required_argument, nullptr, size_code},
    {"frames", required_argument, nullptr, frames_code},
    {"threads", required_argument, nullptr, threads_code},
    {"batch", required_argument, nullptr, batch_code},
    {"output", required_argument, nullptr, 'o'},
    {"image", required_argument, nullptr, image_code},
    {"framecrc", no_argument, nullptr, framecrc_code},
    {"noautorotate", no_argument, nullptr, noautorotate_code},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};
// The leading ':' makes a missing value its own case; getopt prints nothing.
constexpr const char* short_options = ":ho:q";

// One word of a small closed set, e.g. "--batch gop|all".
template <typename Value, std::size_t Count>
Outcome<Value> parse_choice(std::string_view name, std::string_view text,
                           const std::pair<std::string_view, Value> (&choices)[Count]) {
    for (const auto& [word, value] : choices) {
        if (text == word) {
            return value;
        }
    }
    std::string words;
    for (std::size_t i = 0; i < Count; ++i) {
        words += std::string(i == 0 ? "" : " nor ") + std::string(choices[i].first);
    }
    return fail(std::string(name) + ": '" + std::string(text) + "' is neither " + words);
}

Outcome<std::string> parse_threads(std::string_view text) {
    const auto threads = parse_number<unsigned>(text);
    if (!threads || *threads > max_threads) {
        return fail("--threads: '" + std::string(text) + "' is not a thread count from 0 (FFmpeg chooses) to " +
                    std::to_string(max_threads));
    }
    return std::to_string(*threads);
}

// The option as the user wrote it, for messages: a long one whole, a short
// one alone even where it stood in a cluster such as "-qx".
std::string option_as_written(const char* argument, int code) {
    const std::string_view text = argument;
    if (text.starts_with("--")) {
        return std::string(text);
    }
    return code > 0 && code < 256 ? std::string{'-', static_cast<char>(code)} : std::string(text);
}

// Hands a parsed value to `keep`, or passes the parse failure on.
template <typename Value, typename Keep>
Outcome<void> store(Outcome<Value> parsed, Keep keep) {
    if (!parsed) {
        return propagate(parsed);
    }
    keep(std::move(*parsed));
    return {};
}

// Applies one option with its value (if it takes one) to the options.
Outcome<void> apply_option(Options& options, int code, std::string_view value, bool& format_given,
                          bool& image_given) {
    switch (code) {
    case 'h':
        options.help = true;
        return {};
    case 'q':
        options.quiet = true;
        return {};
    case framecrc_code:
        options.framecrc = true;
        return {};
    case noautorotate_code:
        options.autorotate = false;
        return {};
    case format_code: {
        auto format = parse_choice<RuntimeFormat>(
            "--format", value, {{"rgb", RuntimeFormatRgb}, {"yuv420", RuntimeFormatYuv420}});
        return store(std::move(format), [&](RuntimeFormat chosen) {
            options.format = chosen;
            format_given = true;
        });
    }
    case size_code:
        return store(parse_size(value), [&](FrameSize size) { options.size = size; });
    case frames_code:
        return store(FrameSelection::parse(value), [&](FrameSelection frames) { options.frames = std::move(frames); });
    case threads_code:
        return store(parse_threads(value), [&](std::string threads) { options.threads = std::move(threads); });
    case batch_code:
        return store(parse_choice<BatchMode>("--batch", value,
                                             {{"gop", BatchMode::group_of_pictures}, {"all", BatchMode::whole_input}}),
                     [&](BatchMode batch) { options.batch = batch; });
    case image_code:
        return store(parse_choice<ImageFormat>("--image", value, {{"ppm", ImageFormat::ppm}, {"png", ImageFormat::png}}),
                     [&](ImageFormat image) {
                         options.image = image;
                         image_given = true;
                     });
    case 'o':
        if (value.empty()) {
            return fail("-o needs a file or directory name");
        }
        return store(output_kind_of(std::string(value)), [&](OutputKind kind) {
            options.output = kind;
            options.output_path = std::string(value);
        });
    default:
        return fail("unhandled option code " + std::to_string(code));
    }
}

}  // namespace

Outcome<Options> parse_command_line(int argc, char** argv) {
    Options options;
    bool format_given = false;
    bool image_given = false;
    opterr = 0;
    optind = 0;  // 0, not 1: glibc then starts afresh, so the parser can run more than once
    for (;;) {
        const int code = getopt_long(argc, argv, short_options, option_table, nullptr);
        if (code == -1) {
            break;
        }
        const char* argument = argv[optind - 1];
        if (code == ':') {
            return fail(option_as_written(argument, optopt) + " needs a value");
        }
        if (code == '?') {
            return fail("unknown option '" + option_as_written(argument, optopt) + "'");
        }
        if (auto applied = apply_option(options, code, optarg != nullptr ? optarg : "", format_given, image_given);
            !applied) {
            return propagate(applied);
        }
    }
    // getopt has moved every operand behind the options, "--" included.
    const std::span<char*> operands(argv + optind, static_cast<std::size_t>(argc - optind));
    for (const char* operand : operands) {
        if (options.input) {
            return fail("one input at a time: got '" + *options.input + "' and '" + operand + "'");
        }
        options.input = std::string(operand);
    }
    if (options.help) {
        return options;
    }
    if (image_given && options.output != OutputKind::image_directory) {
        return fail("--image chooses the file type of -o DIR/: give a directory too");
    }
    if (auto settled = settle_format(options, format_given); !settled) {
        return propagate(settled);
    }
    return options;
}

std::string usage_text() {
    return R"(Usage: pytovrik-video [OPTIONS] [INPUT]

Decodes the H.264 video of INPUT through the pytovrik_video library. INPUT is
an Annex B elementary stream (.h264, .264, ...; recognised by its leading
start code) or a video file with an H.264 track (MP4/MOV, Matroska, MPEG-TS,
AVI, FLV, anything libavformat reads). A file goes through its index (the
pytovrik_video_file library): frame i is the i-th frame a player shows, as
ffmpeg shows it (edit lists applied, a field pair is one frame, pictures no
decoder can show cleanly left out), and only the groups of pictures holding
the frames kept are decoded. Without INPUT, decodes the bundled sample. A
summary line goes to stderr at the end.

Options:
  --format rgb|yuv420  output of the library (default yuv420; rgb when -o is
                       a .rgb file or a directory)
  --size WxH           RGB frame size (default: the decoded size; for a file,
                       the size of its first frame as shown)
  --frames LIST        keep only these frames, counted from 0, e.g.
                       0,5,10-20: of a file, in the order a player shows
                       them; of a stream, in the decoder's output order
  --threads N          decoder threads (0: FFmpeg chooses); sets
                       TOVRIK_VIDEO_FFMPEG_THREADS for this run
  --batch gop|all      streams only: one library call per group of pictures
                       starting at an IDR picture (default), or one for the
                       whole stream. A file's calls follow its index (one
                       per place where decoding starts), never more than
                       1 GiB of frames at once
  -o, --output PATH    write the frames: FILE.y4m, FILE.nv12 (luma, then Cb/Cr
                       interleaved), FILE.yuv (planar I420), FILE.rgb (packed
                       RGB), or DIR/ for one image per frame
  --image ppm|png      file type of the images in DIR/ (default ppm)
  --framecrc           print a line per frame on stdout with the Adler-32
                       (start value 0) of the Y, U, V planes packed one after
                       the other, or of the packed RGB bytes. For a stream:
                       "<size> 0x<adler32>". For a file: ffmpeg's framecrc
                       lines, "0, dts, pts, duration, size, 0x<adler32>"
                       after "#tb 0: N/D", timed as `ffmpeg -i FILE -f
                       framecrc -` times them (by frame number where the
                       container has no times, as AVI)
  --noautorotate       a file's frames as stored, not turned as its display
                       matrix says (ffmpeg's -noautorotate)
  -q, --quiet          no progress line, no summary
  -h, --help           this text

Exit status: 0 on success, 1 when the input cannot be read or decoded or an
output cannot be written (the message says where, and the library's reason),
2 for a bad command line.
)";
}

}  // namespace pytovrik::cli
