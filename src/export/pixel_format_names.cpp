#include "export/pixel_format_names.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace pytovrik {

namespace {

// Cases generated at build time from the pixfmt.h being compiled against,
// because enumerator values differ between FFmpeg versions.
const char* enumerator_name(AVPixelFormat format) {
    switch (format) {
#include "pixel_format_cases.inc"
        default:
            return nullptr;
    }
}

}  // namespace

std::string pixel_format_name(int format) {
    const auto pixel_format = static_cast<AVPixelFormat>(format);
    switch (pixel_format) {
        case AV_PIX_FMT_NONE: return "None";
        case AV_PIX_FMT_MONOWHITE: return "MonoWhite";
        case AV_PIX_FMT_MONOBLACK: return "MonoBlack";
        case AV_PIX_FMT_0RGB: return "ZRGB";
        case AV_PIX_FMT_RGB0: return "RGBZ";
        case AV_PIX_FMT_0BGR: return "ZBGR";
        case AV_PIX_FMT_BGR0: return "BGRZ";
        default: break;
    }
    if (const char* name = enumerator_name(pixel_format); name != nullptr) {
        return name;
    }
    return "Unknown(" + std::to_string(format) + ")";
}

}  // namespace pytovrik
