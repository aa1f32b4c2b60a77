// Raw frames laid end to end, with no header: what other tools read with an
// explicit size and pixel format.
#include "output/frame_sink.hpp"

namespace pytovrik::cli {
namespace {

class RawSink final : public FrameSink {
public:
    RawSink(OutputFile file, RawLayout layout) : file_(std::move(file)), layout_(layout) {}

    Outcome<void> write(std::uint64_t, const RuntimeFrame& frame) override {
        const bool rgb = frame.format == RuntimeFormatRgb;
        if (rgb != (layout_ == RawLayout::rgb)) {
            return fail(rgb ? "raw YUV output takes YUV 4:2:0 frames only" : "raw RGB output takes RGB frames only");
        }
        switch (layout_) {
        case RawLayout::rgb:
            return file_.write(bytes_of(frame.rgb));
        case RawLayout::nv12:
            if (auto written = file_.write(bytes_of(frame.y)); !written) {
                return written;
            }
            return file_.write(bytes_of(frame.uv));
        case RawLayout::i420:
            planes_.assign(frame.y.data, frame.y.data + frame.y.len);
            append_planar_chroma(bytes_of(frame.uv), planes_);
            return file_.write(planes_);
        }
        return {};
    }

    Outcome<void> finish() override { return file_.close(); }

private:
    OutputFile file_;
    RawLayout layout_;
    std::vector<std::uint8_t> planes_;
};

}  // namespace

Outcome<std::unique_ptr<FrameSink>> make_raw_sink(const std::string& path, RawLayout layout) {
    auto file = OutputFile::create(path);
    if (!file) {
        return propagate(file);
    }
    return std::make_unique<RawSink>(std::move(*file), layout);
}

}  // namespace pytovrik::cli
