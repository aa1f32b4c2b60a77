// The command line, checked as a whole before anything is read or written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "batch_decoder.hpp"
#include "batch_reader.hpp"
#include "frame_selection.hpp"
#include "output/frame_sink.hpp"
#include "result.hpp"

namespace pytovrik::cli {

enum class OutputKind { none, y4m, nv12, i420, rgb, image_directory };

struct Options {
    std::optional<std::string> input;  // std::nullopt: the bundled sample
    RuntimeFormat format = RuntimeFormatYuv420;
    std::optional<FrameSize> size;
    FrameSelection frames;
    std::optional<std::string> threads;
    BatchMode batch = BatchMode::group_of_pictures;
    OutputKind output = OutputKind::none;
    std::string output_path;
    ImageFormat image = ImageFormat::ppm;
    bool framecrc = false;
    bool autorotate = true;
    bool quiet = false;
    bool help = false;
};

Outcome<Options> parse_command_line(int argc, char** argv);

std::string usage_text();

}  // namespace pytovrik::cli
