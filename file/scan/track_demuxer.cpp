#include "scan/track_demuxer.hpp"

#include <cstring>

#include "error_kind.hpp"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace pytovrik::file {
namespace {

std::string error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool is_h264_video(const AVStream* stream) {
    return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && stream->codecpar->codec_id == AV_CODEC_ID_H264;
}

// Names what the file holds instead: a video track of another codec is
// the common case (HEVC, VP9, AV1 from phones and the web).
std::string no_h264_track(const AVFormatContext& format, const std::string& path) {
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVCodecParameters& codec = *format.streams[i]->codecpar;
        if (codec.codec_type == AVMEDIA_TYPE_VIDEO && !(format.streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            note_error_kind(ErrorKind::Codec);
            return "'" + path + "': its video track is " + avcodec_get_name(codec.codec_id) +
                   "; only H.264 is decoded";
        }
    }
    return "'" + path + "': has no H.264 video track among its " + std::to_string(format.nb_streams) + " streams (" +
           format.iformat->name + ")";
}

// Demuxers whose input is a plain byte stream they resynchronise on: a
// byte seek lands them on the next packet boundary. The others keep a
// parse state (EBML levels, chunk lists) that only their own seek restores.
bool seeks_by_byte(const AVFormatContext* format) {
    const char* name = format->iformat->name;
    return std::strcmp(name, "mpegts") == 0 || std::strcmp(name, "h264") == 0;
}

// An EAGAIN that leaves the read position where it was would have the
// command line wait forever; after this many in a row the input has ended.
constexpr int STALLED_READS_LIMIT = 64;

}  // namespace

Outcome<UniqueAVFormatContext> TrackDemuxer::open_format(const FileAvio& avio, const std::string& path) {
    UniqueAVFormatContext format(avformat_alloc_context());
    if (format == nullptr) {
        return fail("out of memory opening '" + path + "'");
    }
    format->pb = avio.context();
    // The command line looks for every program of an MPEG-TS before it
    // picks streams.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "scan_all_pmts", "1", 0);
    AVFormatContext* opened = format.release();
    const int status = avformat_open_input(&opened, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    // On failure avformat_open_input has freed the context already.
    if (status < 0) {
        if (!avio.failure().empty()) {
            return fail(avio.failure());
        }
        return fail("'" + path + "': libavformat cannot open it: " + error_text(status));
    }
    return UniqueAVFormatContext(opened);
}

Outcome<std::pair<std::unique_ptr<FileAvio>, UniqueAVFormatContext>> TrackDemuxer::open_input(
    std::shared_ptr<FileBytes> file) {
    const std::string path = file->path();
    auto avio = FileAvio::open(std::move(file));
    if (!avio) {
        return propagate(avio);
    }
    auto format = open_format(**avio, path);
    if (!format) {
        return propagate(format);
    }
    return std::pair{std::move(*avio), std::move(*format)};
}

Outcome<std::unique_ptr<TrackDemuxer>> TrackDemuxer::open(std::shared_ptr<FileBytes> file) {
    const std::string path = file->path();
    auto opened = open_input(std::move(file));
    if (!opened) {
        return propagate(opened);
    }
    auto& [avio, format] = *opened;
    // Like the command line, go on without complete stream information when
    // there are streams at all.
    const int status = avformat_find_stream_info(format.get(), nullptr);
    if (!avio->failure().empty()) {
        return fail(avio->failure());
    }
    if (status < 0 && format->nb_streams == 0) {
        return fail("'" + path + "': libavformat cannot read its streams: " + error_text(status));
    }
    TrackStreamId chosen;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream* stream = format->streams[i];
        if (chosen.index < 0 && is_h264_video(stream)) {
            chosen = {static_cast<int>(i), stream->id};
        } else {
            stream->discard = AVDISCARD_ALL;
        }
    }
    if (chosen.index < 0) {
        return fail(no_h264_track(*format, path));
    }
    return std::unique_ptr<TrackDemuxer>(new TrackDemuxer(std::move(avio), std::move(format), chosen));
}

Outcome<std::unique_ptr<TrackDemuxer>> TrackDemuxer::reopen(std::shared_ptr<FileBytes> file, TrackStreamId wanted) {
    const std::string path = file->path();
    auto opened = open_input(std::move(file));
    if (!opened) {
        return propagate(opened);
    }
    auto& [avio, format] = *opened;
    auto has_wanted = [&] {
        const auto streams = static_cast<int>(format->nb_streams);
        return wanted.index < streams && format->streams[wanted.index]->id == wanted.id &&
               is_h264_video(format->streams[wanted.index]);
    };
    // Containers that announce streams only as their packets come (FLV,
    // MPEG-TS without a program table) need the stream information read, as
    // the scan did, to number them in the same order.
    if (!has_wanted()) {
        avformat_find_stream_info(format.get(), nullptr);
    }
    if (!has_wanted()) {
        return fail("'" + path + "': its H.264 track (stream " + std::to_string(wanted.index) +
                    ") is missing when the file is opened again");
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != wanted.index) {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    return std::unique_ptr<TrackDemuxer>(new TrackDemuxer(std::move(avio), std::move(format), wanted));
}

bool TrackDemuxer::read_packet(AVPacket* packet) {
    av_packet_unref(packet);
    int stalled = 0;
    std::int64_t last_position = avio_tell(format_->pb);
    for (;;) {
        const int code = av_read_frame(format_.get(), packet);
        if (code == AVERROR(EAGAIN)) {
            const std::int64_t position = avio_tell(format_->pb);
            stalled = position == last_position ? stalled + 1 : 0;
            last_position = position;
            if (stalled < STALLED_READS_LIMIT) {
                continue;
            }
        }
        if (code < 0) {
            end_code_ = code == AVERROR_EOF ? 0 : code;
            return false;
        }
        if (packet->stream_index == stream_id_.index) {
            return true;
        }
        av_packet_unref(packet);
    }
}

bool TrackDemuxer::packets_may_be_contiguous() const noexcept {
    return std::strcmp(format_->iformat->name, "mpegts") != 0;
}

std::string TrackDemuxer::end_reason() const {
    return end_code_ == 0 ? std::string("end of file") : error_text(end_code_);
}

bool TrackDemuxer::seek_near(std::int64_t byte_position, std::int64_t pts, std::int64_t needed_end) {
    end_code_ = 0;
    if (seeks_by_byte(format_.get())) {
        if (byte_position >= 0 && needed_end > byte_position) {
            avio_->hold(static_cast<std::uint64_t>(byte_position),
                        static_cast<std::uint64_t>(needed_end - byte_position));
        }
        return byte_position >= 0 && av_seek_frame(format_.get(), -1, byte_position, AVSEEK_FLAG_BYTE) >= 0;
    }
    return pts != AV_NOPTS_VALUE && av_seek_frame(format_.get(), stream_id_.index, pts, AVSEEK_FLAG_BACKWARD) >= 0;
}

}  // namespace pytovrik::file
