#include "export/input_frame.hpp"

#include "decode/ffmpeg_startup.hpp"

extern "C" {
#include <libavutil/hwcontext.h>
}

namespace pytovrik {

Outcome<FfmpegRgbInputFrame> frame_for_rgb_conversion(const FfmpegDecodedFrame& frame) {
    const AVFrame& decoded = frame.frame();
    if (decoded.hw_frames_ctx == nullptr) {
        return FfmpegRgbInputFrame::borrowed(decoded);
    }
    UniqueAVFrame copy(av_frame_alloc());
    if (!copy) {
        return fail("failed to allocate FFmpeg frame for hardware frame transfer");
    }
    if (const int code = av_hwframe_transfer_data(copy.get(), &decoded, 0); code < 0) {
        return fail("failed to transfer FFmpeg hardware frame to system memory: " + ffmpeg_error_text(code));
    }
    // The transfer copies samples only; how to read them stays with the
    // decoded frame.
    copy->colorspace = decoded.colorspace;
    copy->color_range = decoded.color_range;
    return FfmpegRgbInputFrame::owned(std::move(copy));
}

AVPixelFormat sample_pixel_format(const AVFrame& frame) noexcept {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    if (frame.color_range != AVCOL_RANGE_JPEG) {
        return format;
    }
    switch (format) {
        case AV_PIX_FMT_YUV420P: return AV_PIX_FMT_YUVJ420P;
        case AV_PIX_FMT_YUV422P: return AV_PIX_FMT_YUVJ422P;
        case AV_PIX_FMT_YUV444P: return AV_PIX_FMT_YUVJ444P;
        case AV_PIX_FMT_YUV440P: return AV_PIX_FMT_YUVJ440P;
        default: return format;
    }
}

}  // namespace pytovrik
