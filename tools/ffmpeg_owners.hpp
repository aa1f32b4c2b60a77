// The one owner type of each FFmpeg object the decoder tool holds. The tool
// uses the library only through its public header, so it keeps its own.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace pytovrik::cli {

struct FormatContextDeleter {
    void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
using FormatContextOwner = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct BsfDeleter {
    void operator()(AVBSFContext* context) const noexcept { av_bsf_free(&context); }
};
using BsfOwner = std::unique_ptr<AVBSFContext, BsfDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
using PacketOwner = std::unique_ptr<AVPacket, PacketDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
using FrameOwner = std::unique_ptr<AVFrame, FrameDeleter>;

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
using CodecContextOwner = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct ParserDeleter {
    void operator()(AVCodecParserContext* parser) const noexcept { av_parser_close(parser); }
};
using ParserOwner = std::unique_ptr<AVCodecParserContext, ParserDeleter>;

}  // namespace pytovrik::cli
