#include "track_probe.hpp"

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "common/ffmpeg_owners.hpp"
#include "display_matrix.hpp"
#include "error_kind.hpp"

namespace pytovrik::file {
namespace {

bool is_video(const AVStream& stream) {
    return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC);
}

double seconds(std::int64_t value, AVRational time_base) {
    return static_cast<double>(value) * av_q2d(time_base);
}

}  // namespace

Outcome<ProbedTrack> probe_video_track(const std::string& path) {
    AVFormatContext* opened = nullptr;
    int status = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    if (status < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(status, text, sizeof text);
        return fail("'" + path + "': libavformat cannot open it: " + text);
    }
    UniqueAVFormatContext format(opened);
    // Like the command line, go on without complete stream information.
    avformat_find_stream_info(format.get(), nullptr);
    const AVStream* chosen = nullptr;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream& stream = *format->streams[i];
        if (is_video(stream) && (chosen == nullptr || (chosen->codecpar->codec_id != AV_CODEC_ID_H264 &&
                                                      stream.codecpar->codec_id == AV_CODEC_ID_H264))) {
            chosen = &stream;
        }
    }
    if (chosen == nullptr) {
        note_error_kind(ErrorKind::Source);
        return fail("'" + path + "': has no video track among its " + std::to_string(format->nb_streams) +
                    " streams (" + format->iformat->name + ")");
    }
    const AVCodecParameters& codec = *chosen->codecpar;
    ProbedTrack track;
    track.codec = avcodec_get_name(codec.codec_id);
    track.container = format->iformat->name;
    track.width = static_cast<std::uint32_t>(std::max(codec.width, 0));
    track.height = static_cast<std::uint32_t>(std::max(codec.height, 0));
    if (const auto matrix = stream_display_matrix(*chosen)) {
        track.display_matrix = *matrix;
    }
    const AVRational rate = chosen->avg_frame_rate.num > 0 ? chosen->avg_frame_rate : chosen->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
        track.frame_rate = {rate.num, rate.den};
    }
    if (chosen->start_time != AV_NOPTS_VALUE) {
        track.start_seconds = seconds(chosen->start_time, chosen->time_base);
    } else if (format->start_time != AV_NOPTS_VALUE) {
        track.start_seconds = seconds(format->start_time, AV_TIME_BASE_Q);
    }
    if (chosen->duration != AV_NOPTS_VALUE && chosen->duration > 0) {
        track.duration_seconds = seconds(chosen->duration, chosen->time_base);
    } else if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
        track.duration_seconds = seconds(format->duration, AV_TIME_BASE_Q);
    }
    track.frame_count = chosen->nb_frames > 0 ? static_cast<std::uint64_t>(chosen->nb_frames) : 0;
    return track;
}

}  // namespace pytovrik::file
