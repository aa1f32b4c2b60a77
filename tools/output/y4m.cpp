// YUV4MPEG2: a text header, then "FRAME\n" and the three planes per frame.
// The format has one picture size for the whole file.
#include <optional>

#include "output/frame_sink.hpp"

namespace pytovrik::cli {
namespace {

class Y4mSink final : public FrameSink {
public:
    Y4mSink(OutputFile file, FrameRate rate, std::string path)
        : file_(std::move(file)), rate_(rate), path_(std::move(path)) {}

    Outcome<void> write(std::uint64_t position, const RuntimeFrame& frame) override {
        if (frame.format != RuntimeFormatYuv420) {
            return fail("Y4M output takes YUV 4:2:0 frames only");
        }
        if (!size_) {
            size_ = {frame.width, frame.height};
            // H.264's default chroma siting is the MPEG-2 one (left).
            const std::string header = "YUV4MPEG2 W" + std::to_string(frame.width) + " H" +
                                       std::to_string(frame.height) + " F" + std::to_string(rate_.numerator) + ":" +
                                       std::to_string(rate_.denominator) + " Ip A0:0 C420mpeg2\n";
            if (auto written = file_.write(header); !written) {
                return written;
            }
        } else if (size_->first != frame.width || size_->second != frame.height) {
            return fail("frame " + std::to_string(position) + " is " + std::to_string(frame.width) + "x" +
                        std::to_string(frame.height) + " but '" + path_ + "' holds " +
                        std::to_string(size_->first) + "x" + std::to_string(size_->second) +
                        " frames: Y4M cannot change size (write .nv12 or .yuv instead)");
        }
        planes_.assign(frame.y.data, frame.y.data + frame.y.len);
        append_planar_chroma(bytes_of(frame.uv), planes_);
        if (auto written = file_.write("FRAME\n"); !written) {
            return written;
        }
        return file_.write(planes_);
    }

    Outcome<void> finish() override { return file_.close(); }

private:
    OutputFile file_;
    FrameRate rate_;
    std::string path_;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> size_;
    std::vector<std::uint8_t> planes_;
};

}  // namespace

Outcome<std::unique_ptr<FrameSink>> make_y4m_sink(const std::string& path, FrameRate rate) {
    auto file = OutputFile::create(path);
    if (!file) {
        return propagate(file);
    }
    return std::make_unique<Y4mSink>(std::move(*file), rate, path);
}

}  // namespace pytovrik::cli
