// The frame a conversion reads: the decoded frame itself when it is in system
// memory, or its copy downloaded from hardware memory.
#pragma once

#include "common/ffmpeg_owners.hpp"
#include "common/outcome.hpp"
#include "decode/decoded_frames.hpp"

namespace pytovrik {

class FfmpegRgbInputFrame {
public:
    static FfmpegRgbInputFrame borrowed(const AVFrame& frame) noexcept { return FfmpegRgbInputFrame(&frame, nullptr); }
    static FfmpegRgbInputFrame owned(UniqueAVFrame frame) noexcept {
        const AVFrame* view = frame.get();
        return FfmpegRgbInputFrame(view, std::move(frame));
    }
    [[nodiscard]] const AVFrame& as_ref() const noexcept { return *view_; }

private:
    FfmpegRgbInputFrame(const AVFrame* view, UniqueAVFrame owned) noexcept
        : view_(view), owned_(std::move(owned)) {}
    const AVFrame* view_;
    UniqueAVFrame owned_;
};

// Brings a decoded frame into system memory for either output kind. The
// result never outlives `frame`.
Outcome<FfmpegRgbInputFrame> frame_for_rgb_conversion(const FfmpegDecodedFrame& frame);

// The pixel format that says how to read the frame's samples. FFmpeg marks
// full-range 4:2:0 frames as YUVJ420P, except when a stream turns to full
// range in mid-batch: the decoder then keeps YUV420P and only sets
// color_range. Such frames are read as the full-range format they are.
AVPixelFormat sample_pixel_format(const AVFrame& frame) noexcept;

}  // namespace pytovrik
