#include "libavformat_packets.hpp"

#include <stdexcept>

#include "common/ffmpeg_owners.hpp"
#include "display_matrix.hpp"

namespace pytovrik::file::testing {

DemuxedTrack demux_with_libavformat(const std::string& path) {
    AVFormatContext* opened = nullptr;
    // As the ffmpeg command line opens files: every MPEG-TS program is found.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "scan_all_pmts", "1", 0);
    const int opened_status = avformat_open_input(&opened, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened_status < 0) {
        throw std::runtime_error("libavformat cannot open " + path);
    }
    UniqueAVFormatContext format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        throw std::runtime_error("libavformat cannot read the tracks of " + path);
    }
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
    DemuxedTrack track;
    track.container = format->iformat->name;
    track.time_base = {stream->time_base.num, stream->time_base.den};
    track.frame_rate = {stream->avg_frame_rate.num, stream->avg_frame_rate.den};
    if (const auto matrix = stream_display_matrix(*stream)) {
        track.display_matrix = *matrix;
    }
    if (stream->codecpar->extradata != nullptr) {
        track.extradata.assign(stream->codecpar->extradata,
                               stream->codecpar->extradata + stream->codecpar->extradata_size);
    }
    UniqueAVPacket packet(av_packet_alloc());
    for (int again = 0;;) {
        const int code = av_read_frame(format.get(), packet.get());
        // The ffmpeg command line reads again after EAGAIN (an MPEG-TS
        // demuxer that lost sync over a damaged stretch says so, then reads on).
        if (code == AVERROR(EAGAIN) && ++again < 1000) {
            continue;
        }
        again = 0;
        if (code < 0) {
            track.end_code = code == AVERROR_EOF ? 0 : code;
            break;
        }
        if (packet->stream_index == index) {
            DemuxedPacket& out = track.packets.emplace_back();
            out.position = packet->pos;
            out.size = static_cast<std::uint32_t>(packet->size);
            out.pts = packet->pts == AV_NOPTS_VALUE ? NO_PTS : packet->pts;
            out.dts = packet->dts == AV_NOPTS_VALUE ? NO_PTS : packet->dts;
            out.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            out.discard = (packet->flags & AV_PKT_FLAG_DISCARD) != 0;
            out.corrupt = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
            out.new_extradata = av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, nullptr) != nullptr;
            out.bytes.assign(packet->data, packet->data + packet->size);
        }
        av_packet_unref(packet.get());
    }
    return track;
}

}  // namespace pytovrik::file::testing
