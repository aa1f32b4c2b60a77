#include "ffmpeg_timeline.hpp"

#include <algorithm>
#include <cmath>

#include "common/ffmpeg_owners.hpp"

namespace pytovrik::cli {
namespace {

// The start ffmpeg counts from, in AV_TIME_BASE units: the file's, or, in
// containers whose timestamps may jump (MPEG-TS), the earliest start of the
// streams it decodes, which by default are the video and the audio.
std::int64_t start_of_mapped_streams(const AVFormatContext& format, const AVStream& video) {
    const std::int64_t file_start = format.start_time;
    if (file_start == AV_NOPTS_VALUE || (format.iformat->flags & AVFMT_TS_DISCONT) == 0) {
        return file_start;
    }
    std::int64_t start = INT64_MAX;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream& stream = *format.streams[i];
        const bool mapped = &stream == &video || stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        if (mapped && stream.start_time != AV_NOPTS_VALUE) {
            start = std::min(start, av_rescale_q(stream.start_time, stream.time_base, AV_TIME_BASE_Q));
        }
    }
    return start != INT64_MAX && start > file_start ? start : file_start;
}

}  // namespace

std::int64_t FfmpegTimeline::tick(double seconds) const {
    double ticks = (seconds - start_seconds) * static_cast<double>(rate_num) / static_cast<double>(rate_den);
    // ffmpeg nudges every time off the exact half tick before it rounds, so
    // that its rounding does not depend on how the time was computed.
    constexpr double nudge = 1.0 / (1 << 17);
    ticks += ticks < 0 ? -nudge : ticks > 0 ? nudge : 0.0;
    return std::llrint(ticks);
}

Outcome<FfmpegTimeline> read_ffmpeg_timeline(const std::string& path) {
    AVFormatContext* opened = nullptr;
    // As the command line does: every program of an MPEG-TS is looked at.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "scan_all_pmts", "1", 0);
    const int status = avformat_open_input(&opened, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) {
        return fail("'" + path + "': libavformat cannot open it to time its frames: " + ffmpeg_error_text(status));
    }
    UniqueAVFormatContext format(opened);
    // Like the command line, go on with incomplete stream information.
    avformat_find_stream_info(format.get(), nullptr);
    AVStream* video = nullptr;
    for (unsigned i = 0; i < format->nb_streams && video == nullptr; ++i) {
        const AVCodecParameters* codec = format->streams[i]->codecpar;
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->codec_id == AV_CODEC_ID_H264) {
            video = format->streams[i];
        }
    }
    if (video == nullptr) {
        return fail("'" + path + "': libavformat finds no H.264 video track to time its frames by");
    }
    FfmpegTimeline timeline;
    if (const std::int64_t start = start_of_mapped_streams(*format, *video); start != AV_NOPTS_VALUE) {
        // ffmpeg moves the packets by the start rounded to the stream's time base.
        const std::int64_t on_time_base = av_rescale_q(start, AV_TIME_BASE_Q, video->time_base);
        timeline.start_seconds = static_cast<double>(on_time_base) * av_q2d(video->time_base);
    }
    // Without a rate libavformat can guess, ffmpeg falls back to 25 a second.
    const AVRational rate = av_guess_frame_rate(format.get(), video, nullptr);
    if (rate.num > 0 && rate.den > 0) {
        timeline.rate_num = rate.num;
        timeline.rate_den = rate.den;
    }
    return timeline;
}

}  // namespace pytovrik::cli
