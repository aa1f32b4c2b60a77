// The one owner type of each FFmpeg object the library holds. Release happens
// in the destructor on every path, so failure paths need no clean-up code.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace pytovrik {

struct AVFrameDeleter {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
using UniqueAVFrame = std::unique_ptr<AVFrame, AVFrameDeleter>;

struct AVPacketDeleter {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
using UniqueAVPacket = std::unique_ptr<AVPacket, AVPacketDeleter>;

struct AVCodecContextDeleter {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
using UniqueAVCodecContext = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;

struct AVCodecParserContextDeleter {
    void operator()(AVCodecParserContext* parser) const noexcept { av_parser_close(parser); }
};
using UniqueAVCodecParserContext = std::unique_ptr<AVCodecParserContext, AVCodecParserContextDeleter>;

struct SwsContextDeleter {
    void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};
using UniqueSwsContext = std::unique_ptr<SwsContext, SwsContextDeleter>;

}  // namespace pytovrik
