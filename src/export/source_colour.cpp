#include "export/source_colour.hpp"

#include <algorithm>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace pytovrik {

namespace {

// The identity matrix (GBR coding) has no coefficients for libswscale to
// apply to samples that arrive as YUV, so such frames keep the default.
bool names_a_yuv_matrix(int colorspace) noexcept {
    return colorspace != AVCOL_SPC_UNSPECIFIED && colorspace != AVCOL_SPC_RESERVED && colorspace != AVCOL_SPC_RGB;
}

}  // namespace

SourceColour source_colour(const AVFrame& frame, AVPixelFormat source_format) noexcept {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(source_format);
    // libswscale turns RGB sources to YUV and back inside a scaled
    // conversion with the destination's table; a source matrix of another
    // standard would shift their colours.
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_RGB) != 0) {
        return {};
    }
    return SourceColour{names_a_yuv_matrix(frame.colorspace) ? static_cast<int>(frame.colorspace)
                                                             : static_cast<int>(AVCOL_SPC_UNSPECIFIED),
                        frame.color_range == AVCOL_RANGE_JPEG};
}

bool apply_source_colour(SwsContext& context, const SourceColour& colour) {
    int* source_table = nullptr;
    int source_full_range = 0;
    int* destination_table = nullptr;
    int destination_full_range = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(&context, &source_table, &source_full_range, &destination_table,
                                 &destination_full_range, &brightness, &contrast, &saturation) < 0) {
        return false;
    }
    const int* const wanted_table =
        colour.matrix == AVCOL_SPC_UNSPECIFIED ? source_table : sws_getCoefficients(colour.matrix);
    const int wanted_full_range = colour.full_range ? 1 : source_full_range;
    // Several matrices share BT.601's coefficients. A context left as it was
    // built converts such frames exactly as frames that signal nothing.
    if (wanted_full_range == source_full_range && std::equal(wanted_table, wanted_table + 4, source_table)) {
        return true;
    }
    // The destination side (full-range RGB) and the picture adjustments
    // stay as libswscale chose them.
    return sws_setColorspaceDetails(&context, wanted_table, wanted_full_range, destination_table,
                                    destination_full_range, brightness, contrast, saturation) >= 0;
}

}  // namespace pytovrik
