#include "ffmpeg_reference.hpp"

#include <stdexcept>

#include "common/ffmpeg_owners.hpp"

namespace pytovrik::file::testing {

namespace {

pytovrik::testing::FrameCopy copy_of(const AVFrame& frame) {
    pytovrik::testing::FrameCopy copy{RuntimeFormatYuv420, static_cast<std::uint32_t>(frame.width),
                                      static_cast<std::uint32_t>(frame.height), {}, {}, {}};
    for (int row = 0; row < frame.height; ++row) {
        const std::uint8_t* line = frame.data[0] + static_cast<std::ptrdiff_t>(row) * frame.linesize[0];
        copy.y.insert(copy.y.end(), line, line + frame.width);
    }
    const int chroma_width = (frame.width + 1) / 2;
    for (int row = 0; row < (frame.height + 1) / 2; ++row) {
        const std::uint8_t* cb = frame.data[1] + static_cast<std::ptrdiff_t>(row) * frame.linesize[1];
        const std::uint8_t* cr = frame.data[2] + static_cast<std::ptrdiff_t>(row) * frame.linesize[2];
        for (int x = 0; x < chroma_width; ++x) {
            copy.uv.push_back(cb[x]);
            copy.uv.push_back(cr[x]);
        }
    }
    return copy;
}

}  // namespace

ReferenceDecode decode_like_ffmpeg(const std::string& path, int threads) {
    AVFormatContext* opened = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "scan_all_pmts", "1", 0);
    const int status = avformat_open_input(&opened, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) {
        throw std::runtime_error("libavformat cannot open " + path);
    }
    UniqueAVFormatContext format(opened);
    avformat_find_stream_info(format.get(), nullptr);
    int index = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* codec = format->streams[i]->codecpar;
        if (index < 0 && codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->codec_id == AV_CODEC_ID_H264) {
            index = static_cast<int>(i);
        } else {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    if (index < 0) {
        throw std::runtime_error(path + " has no H.264 video track");
    }
    const AVStream* stream = format->streams[index];
    UniqueAVCodecContext decoder(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    decoder->strict_std_compliance = FF_COMPLIANCE_STRICT;
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = threads;
    if (avcodec_open2(decoder.get(), decoder->codec, nullptr) < 0) {
        throw std::runtime_error("cannot open a decoder for " + path);
    }
    ReferenceDecode result;
    UniqueAVFrame frame(av_frame_alloc());
    auto receive = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            result.frames.push_back(copy_of(*frame));
            const std::int64_t pts = frame->best_effort_timestamp;
            result.seconds.push_back(pts == AV_NOPTS_VALUE ? -1.0 : static_cast<double>(pts) * av_q2d(stream->time_base));
            av_frame_unref(frame.get());
        }
    };
    UniqueAVPacket packet(av_packet_alloc());
    for (int again = 0;;) {
        const int code = av_read_frame(format.get(), packet.get());
        if (code == AVERROR(EAGAIN) && ++again < 1000) {
            continue;
        }
        again = 0;
        if (code < 0) {
            break;
        }
        if (packet->stream_index == index) {
            avcodec_send_packet(decoder.get(), packet.get());  // ffmpeg passes over decode errors
            receive();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receive();
    return result;
}

}  // namespace pytovrik::file::testing
