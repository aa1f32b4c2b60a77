// The one owner type of each FFmpeg object, for the library, the decoder
// tool, the tests and the benchmarks alike. Release happens in the
// destructor on every path, so failure paths need no clean-up code. Header
// only: the decoder tool, which calls the library through its public header
// alone, uses these aliases without linking anything of the library.
#pragma once

#include <memory>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace pytovrik {

// Calls FFmpeg's release function for the object: the av_*_free kind, which
// takes the address of the pointer to clear it, or the kind that takes the
// pointer itself.
template <auto Release>
struct FfmpegReleaser {
    template <typename Object>
    void operator()(Object* object) const noexcept {
        if constexpr (std::is_invocable_v<decltype(Release), Object**>) {
            Release(&object);
        } else {
            Release(object);
        }
    }
};

template <typename Object, auto Release>
using FfmpegOwner = std::unique_ptr<Object, FfmpegReleaser<Release>>;

using UniqueAVFrame = FfmpegOwner<AVFrame, av_frame_free>;
using UniqueAVPacket = FfmpegOwner<AVPacket, av_packet_free>;
using UniqueAVCodecContext = FfmpegOwner<AVCodecContext, avcodec_free_context>;
using UniqueAVCodecParserContext = FfmpegOwner<AVCodecParserContext, av_parser_close>;
using UniqueSwsContext = FfmpegOwner<SwsContext, sws_freeContext>;
using UniqueAVFormatContext = FfmpegOwner<AVFormatContext, avformat_close_input>;
using UniqueAVBSFContext = FfmpegOwner<AVBSFContext, av_bsf_free>;

// An AVIOContext made with avio_alloc_context over our own read callback.
// libavformat may have swapped its buffer for a larger one meanwhile, so the
// buffer is freed through the context, not through the pointer first given.
inline void free_custom_avio_context(AVIOContext** context) {
    if (*context != nullptr) {
        av_freep(&(*context)->buffer);
    }
    avio_context_free(context);
}
using UniqueAVIOContext = FfmpegOwner<AVIOContext, free_custom_avio_context>;

}  // namespace pytovrik
