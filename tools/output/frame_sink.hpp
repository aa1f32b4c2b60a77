// Where decoded frames go. Each output writes the frames it is given, in
// order, and is told when there are no more.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "input/access_unit_source.hpp"
#include "pytovrik_video.h"
#include "result.hpp"

namespace pytovrik::cli {

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // position: the frame's place in the decoder's output, counted over the
    // whole input.
    virtual Outcome<void> write(std::uint64_t position, const RuntimeFrame& frame) = 0;
    virtual Outcome<void> finish() = 0;
};

// The timestamps of ffmpeg's framecrc lines: each frame's pts in ticks of
// time_base, from the position the sink is given.
struct FrameTimes {
    std::int64_t time_base_num = 1;
    std::int64_t time_base_den = 25;
    std::function<std::int64_t(std::uint64_t position)> pts;
};

// Without times, "<size> 0x<adler32>" per frame: the format of the
// conformance checksums. With them, ffmpeg's framecrc lines
// ("0, dts, pts, duration, size, 0x<adler32>", after a "#tb" line).
std::unique_ptr<FrameSink> make_framecrc_sink(std::FILE* out, std::optional<FrameTimes> times);

// A YUV4MPEG2 file; every frame must have the first frame's size.
Outcome<std::unique_ptr<FrameSink>> make_y4m_sink(const std::string& path, FrameRate rate);

enum class RawLayout {
    nv12,  // luma, then Cb/Cr interleaved, as the library returns it
    i420,  // luma, Cb, Cr planes
    rgb,   // packed R, G, B
};
Outcome<std::unique_ptr<FrameSink>> make_raw_sink(const std::string& path, RawLayout layout);

enum class ImageFormat { ppm, png };
// One image per RGB frame, named after its position.
Outcome<std::unique_ptr<FrameSink>> make_image_directory_sink(const std::string& directory, ImageFormat format);

// Helpers shared by the outputs.
std::span<const std::uint8_t> bytes_of(const RuntimeBytes& bytes);
// Splits interleaved Cb/Cr pairs into the two planes, appended to `out` in
// Cb, Cr order.
void append_planar_chroma(std::span<const std::uint8_t> interleaved, std::vector<std::uint8_t>& out);

// A file opened for writing whose every failure, closing included, is reported.
class OutputFile {
public:
    static Outcome<OutputFile> create(const std::string& path);
    Outcome<void> write(std::span<const std::uint8_t> bytes);
    Outcome<void> write(std::string_view text);
    Outcome<void> close();

private:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    OutputFile(std::unique_ptr<std::FILE, Closer> file, std::string path)
        : file_(std::move(file)), path_(std::move(path)) {}
    std::unique_ptr<std::FILE, Closer> file_;
    std::string path_;
};

}  // namespace pytovrik::cli
