// The H.264 track of a container (MP4/MOV, Matroska, MPEG-TS, ...) read with
// libavformat. MP4 and Matroska store length-prefixed NAL units with the
// parameter sets in the track header; h264_mp4toannexb rewrites each sample as
// Annex B with the parameter sets in front of every IDR, and passes streams
// that already are Annex B (MPEG-TS) through unchanged.
#include <memory>

#include "common/ffmpeg_owners.hpp"
#include "input/access_unit_source.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace pytovrik::cli {
namespace {

class ContainerInput final : public AccessUnitSource {
public:
    ContainerInput(UniqueAVFormatContext format, UniqueAVBSFContext filter, UniqueAVPacket packet, int stream_index, std::string path)
        : format_(std::move(format)),
          filter_(std::move(filter)),
          packet_(std::move(packet)),
          stream_(format_->streams[stream_index]),
          stream_index_(stream_index),
          path_(std::move(path)) {}

    Result<std::optional<AccessUnit>> next() override {
        for (;;) {
            const int received = av_bsf_receive_packet(filter_.get(), packet_.get());
            if (received == 0) {
                AccessUnit unit;
                unit.bytes.assign(packet_->data, packet_->data + packet_->size);
                unit.input_offset = packet_->pos >= 0 ? static_cast<std::uint64_t>(packet_->pos) : last_position_;
                unit.width = stream_->codecpar->width;
                unit.height = stream_->codecpar->height;
                av_packet_unref(packet_.get());
                if (unit.bytes.empty()) {
                    continue;
                }
                return unit;
            }
            if (received == AVERROR_EOF) {
                return std::nullopt;
            }
            if (received != AVERROR(EAGAIN)) {
                return fail("cannot convert the H.264 track of '" + path_ + "' to Annex B: " +
                            ffmpeg_error_text(received));
            }
            // The filter wants input: the next packet of our track, or the end.
            const int read = av_read_frame(format_.get(), packet_.get());
            if (read == AVERROR_EOF) {
                if (const int sent = av_bsf_send_packet(filter_.get(), nullptr); sent < 0) {
                    return fail("cannot finish the H.264 track of '" + path_ + "': " + ffmpeg_error_text(sent));
                }
                continue;
            }
            if (read < 0) {
                return fail("cannot read '" + path_ + "': " + ffmpeg_error_text(read));
            }
            if (packet_->stream_index != stream_index_) {
                av_packet_unref(packet_.get());
                continue;
            }
            if (packet_->pos >= 0) {
                last_position_ = static_cast<std::uint64_t>(packet_->pos);
            }
            // On success the filter takes the packet's reference.
            if (const int sent = av_bsf_send_packet(filter_.get(), packet_.get()); sent < 0) {
                av_packet_unref(packet_.get());
                return fail("cannot convert the H.264 track of '" + path_ + "' to Annex B: " +
                            ffmpeg_error_text(sent));
            }
        }
    }

    std::uint64_t bytes_read() const override {
        const std::int64_t position = format_->pb != nullptr ? avio_tell(format_->pb) : 0;
        return position > 0 ? static_cast<std::uint64_t>(position) : 0;
    }

    std::uint64_t total_bytes() const override {
        const std::int64_t size = format_->pb != nullptr ? avio_size(format_->pb) : 0;
        return size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }

    std::string description() const override { return std::string("container ") + format_->iformat->name; }

    FrameRate frame_rate() const override {
        const AVRational rate = stream_->avg_frame_rate.num > 0 ? stream_->avg_frame_rate : stream_->r_frame_rate;
        if (rate.num > 0 && rate.den > 0) {
            return {rate.num, rate.den};
        }
        return {};
    }

private:
    UniqueAVFormatContext format_;
    UniqueAVBSFContext filter_;
    UniqueAVPacket packet_;
    AVStream* stream_;
    int stream_index_;
    std::string path_;
    std::uint64_t last_position_ = 0;
};

}  // namespace

Result<std::unique_ptr<AccessUnitSource>> open_container_input(const std::string& path) {
    AVFormatContext* opened = nullptr;
    if (const int status = avformat_open_input(&opened, path.c_str(), nullptr, nullptr); status < 0) {
        return fail("'" + path + "' is neither an H.264 stream nor a container FFmpeg can read: " +
                    ffmpeg_error_text(status));
    }
    UniqueAVFormatContext format(opened);
    if (const int status = avformat_find_stream_info(format.get(), nullptr); status < 0) {
        return fail("cannot read the tracks of '" + path + "': " + ffmpeg_error_text(status));
    }
    int stream_index = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream* stream = format->streams[i];
        if (stream_index < 0 && stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            stream->codecpar->codec_id == AV_CODEC_ID_H264) {
            stream_index = static_cast<int>(i);
        } else {
            stream->discard = AVDISCARD_ALL;
        }
    }
    if (stream_index < 0) {
        return fail("'" + path + "' (" + format->iformat->name + ") has no H.264 video track");
    }

    const AVBitStreamFilter* to_annexb = av_bsf_get_by_name("h264_mp4toannexb");
    if (to_annexb == nullptr) {
        return fail("this FFmpeg lacks the h264_mp4toannexb bitstream filter");
    }
    AVBSFContext* allocated = nullptr;
    if (const int status = av_bsf_alloc(to_annexb, &allocated); status < 0) {
        return fail("cannot set up h264_mp4toannexb: " + ffmpeg_error_text(status));
    }
    UniqueAVBSFContext filter(allocated);
    AVStream* stream = format->streams[stream_index];
    if (const int status = avcodec_parameters_copy(filter->par_in, stream->codecpar); status < 0) {
        return fail("cannot set up h264_mp4toannexb: " + ffmpeg_error_text(status));
    }
    filter->time_base_in = stream->time_base;
    if (const int status = av_bsf_init(filter.get()); status < 0) {
        return fail("cannot convert the H.264 track of '" + path + "' to Annex B: " + ffmpeg_error_text(status));
    }
    UniqueAVPacket packet(av_packet_alloc());
    if (packet == nullptr) {
        return fail("out of memory reading '" + path + "'");
    }
    return std::make_unique<ContainerInput>(std::move(format), std::move(filter), std::move(packet), stream_index,
                                            path);
}

}  // namespace pytovrik::cli
