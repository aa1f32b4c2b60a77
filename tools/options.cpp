#include "options.hpp"

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

Result<FrameSize> parse_size(std::string_view text) {
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

Result<OutputKind> output_kind_of(const std::string& path) {
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
Result<void> settle_format(Options& options, bool format_given) {
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

}  // namespace

Result<Options> parse_command_line(int argc, char** argv) {
    Options options;
    bool format_given = false;
    bool image_given = false;
    const std::span<char*> arguments(argv, static_cast<std::size_t>(argc));
    std::size_t i = 1;
    // "--name value" and "--name=value" both work.
    auto value_of = [&](std::string_view argument, std::string_view name) -> Result<std::string> {
        if (argument.size() > name.size() && argument[name.size()] == '=') {
            return std::string(argument.substr(name.size() + 1));
        }
        if (i + 1 >= arguments.size()) {
            return fail(std::string(name) + " needs a value");
        }
        return std::string(arguments[++i]);
    };
    auto is = [](std::string_view argument, std::string_view name) {
        return argument == name || (argument.starts_with(name) && argument.size() > name.size() &&
                                    argument[name.size()] == '=');
    };

    bool only_inputs_follow = false;
    for (; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (only_inputs_follow || !argument.starts_with("-")) {
            if (options.input) {
                return fail("one input at a time: got '" + *options.input + "' and '" + std::string(argument) + "'");
            }
            options.input = std::string(argument);
        } else if (argument == "--") {
            only_inputs_follow = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else if (argument == "--framecrc") {
            options.framecrc = true;
        } else if (is(argument, "--format")) {
            auto value = value_of(argument, "--format");
            if (!value) {
                return std::unexpected(value.error());
            }
            if (*value == "rgb") {
                options.format = RuntimeFormatRgb;
            } else if (*value == "yuv420") {
                options.format = RuntimeFormatYuv420;
            } else {
                return fail("--format: '" + *value + "' is neither rgb nor yuv420");
            }
            format_given = true;
        } else if (is(argument, "--size")) {
            auto value = value_of(argument, "--size");
            if (!value) {
                return std::unexpected(value.error());
            }
            auto size = parse_size(*value);
            if (!size) {
                return std::unexpected(size.error());
            }
            options.size = *size;
        } else if (is(argument, "--frames")) {
            auto value = value_of(argument, "--frames");
            if (!value) {
                return std::unexpected(value.error());
            }
            auto frames = FrameSelection::parse(*value);
            if (!frames) {
                return std::unexpected(frames.error());
            }
            options.frames = std::move(*frames);
        } else if (is(argument, "--threads")) {
            auto value = value_of(argument, "--threads");
            if (!value) {
                return std::unexpected(value.error());
            }
            const auto threads = parse_number<unsigned>(*value);
            if (!threads || *threads > max_threads) {
                return fail("--threads: '" + *value + "' is not a thread count from 0 (FFmpeg chooses) to " +
                            std::to_string(max_threads));
            }
            options.threads = std::to_string(*threads);
        } else if (is(argument, "--batch")) {
            auto value = value_of(argument, "--batch");
            if (!value) {
                return std::unexpected(value.error());
            }
            if (*value == "gop") {
                options.batch = BatchMode::group_of_pictures;
            } else if (*value == "all") {
                options.batch = BatchMode::whole_input;
            } else {
                return fail("--batch: '" + *value + "' is neither gop nor all");
            }
        } else if (is(argument, "--image")) {
            auto value = value_of(argument, "--image");
            if (!value) {
                return std::unexpected(value.error());
            }
            if (*value == "ppm") {
                options.image = ImageFormat::ppm;
            } else if (*value == "png") {
                options.image = ImageFormat::png;
            } else {
                return fail("--image: '" + *value + "' is neither ppm nor png");
            }
            image_given = true;
        } else if (argument == "-o" || is(argument, "--output") || (argument.starts_with("-o") && argument.size() > 2)) {
            std::string value;
            if (argument.starts_with("-o") && argument.size() > 2) {
                value = std::string(argument.substr(2));
            } else {
                auto given = value_of(argument, argument == "-o" ? "-o" : "--output");
                if (!given) {
                    return std::unexpected(given.error());
                }
                value = *given;
            }
            if (value.empty()) {
                return fail("-o needs a file or directory name");
            }
            auto kind = output_kind_of(value);
            if (!kind) {
                return std::unexpected(kind.error());
            }
            options.output = *kind;
            options.output_path = value;
        } else {
            return fail("unknown option '" + std::string(argument) + "'");
        }
    }
    if (options.help) {
        return options;
    }
    if (image_given && options.output != OutputKind::image_directory) {
        return fail("--image chooses the file type of -o DIR/: give a directory too");
    }
    if (auto settled = settle_format(options, format_given); !settled) {
        return std::unexpected(settled.error());
    }
    return options;
}

std::string usage_text() {
    return R"(Usage: pytovrik-video [OPTIONS] [INPUT]

Decodes the H.264 video of INPUT through the pytovrik_video library. INPUT is
an Annex B elementary stream (.h264, .264, ...) or a container with an H.264
track (MP4/MOV, Matroska, MPEG-TS, ...). Without INPUT, decodes the bundled
sample. A summary line goes to stderr at the end.

Options:
  --format rgb|yuv420  output of the library (default yuv420; rgb when -o is
                       a .rgb file or a directory)
  --size WxH           RGB frame size (default: the decoded size)
  --frames LIST        keep only these frame positions, counted from 0 in
                       output order over the whole input, e.g. 0,5,10-20
  --threads N          decoder threads (0: FFmpeg chooses); sets
                       TOVRIK_VIDEO_FFMPEG_THREADS for this run
  --batch gop|all      one library call per group of pictures starting at an
                       IDR picture (default), or one for the whole input
  -o, --output PATH    write the frames: FILE.y4m, FILE.nv12 (luma, then Cb/Cr
                       interleaved), FILE.yuv (planar I420), FILE.rgb (packed
                       RGB), or DIR/ for one image per frame
  --image ppm|png      file type of the images in DIR/ (default ppm)
  --framecrc           print "<size> 0x<adler32>" per frame on stdout: Adler-32
                       (start value 0) of the Y, U, V planes packed one after
                       the other, or of the packed RGB bytes
  -q, --quiet          no progress line, no summary
  -h, --help           this text

Exit status: 0 on success, 1 when the input cannot be read or decoded or an
output cannot be written, 2 for a bad command line.
)";
}

}  // namespace pytovrik::cli
