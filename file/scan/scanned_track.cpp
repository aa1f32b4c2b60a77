#include "scan/scanned_track.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "common/ffmpeg_owners.hpp"
#include "display_matrix.hpp"
#include "scan/demuxed_samples.hpp"
#include "scan/sample_descriptions.hpp"
#include "scan/sample_position.hpp"
#include "scan/track_demuxer.hpp"
#include "sample_reads.hpp"

namespace pytovrik::file {
namespace {

class ScannedTrack final : public Track {
public:
    ScannedTrack(std::shared_ptr<FileBytes> file, TrackStreamId stream) : file_(file), demuxed_(file, stream) {}

    Outcome<void> read_samples(std::span<const std::uint32_t> indices, const SampleConsumer& consume) override;

private:
    std::shared_ptr<FileBytes> file_;
    DemuxedSamples demuxed_;
};

Outcome<void> ScannedTrack::read_samples(std::span<const std::uint32_t> indices, const SampleConsumer& consume) {
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (indices[i] >= samples.size() || (i > 0 && indices[i] <= indices[i - 1])) {
            return fail("'" + file_->path() + "': sample " + std::to_string(indices[i]) + " is not one of its " +
                        std::to_string(samples.size()) + " samples in ascending order");
        }
    }
    // Runs of samples read the same way, in the order asked.
    while (!indices.empty()) {
        const bool demuxed = is_demuxed(samples[indices[0]]);
        std::size_t run = 1;
        while (run < indices.size() && is_demuxed(samples[indices[run]]) == demuxed) {
            ++run;
        }
        auto read = demuxed ? demuxed_.read(samples, indices.first(run), consume)
                            : read_close_samples(*file_, samples, indices.first(run), consume);
        if (!read) {
            return read;
        }
        indices = indices.subspan(run);
    }
    return {};
}

Rational frame_rate_of(const AVStream& stream) {
    const AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
    return rate.num > 0 && rate.den > 0 ? Rational{rate.num, rate.den} : Rational{0, 1};
}

std::uint16_t container_flags(const AVPacket& packet) {
    unsigned flags = 0;
    if ((packet.flags & AV_PKT_FLAG_KEY) != 0) {
        flags |= SAMPLE_KEY;
    }
    if ((packet.flags & AV_PKT_FLAG_DISCARD) != 0) {
        flags |= SAMPLE_DISCARD;
    }
    // libavformat flags a packet it could not read whole, mostly one cut by
    // the end of the file.
    if ((packet.flags & AV_PKT_FLAG_CORRUPT) != 0) {
        flags |= SAMPLE_TRUNCATED;
    }
    return static_cast<std::uint16_t>(flags);
}

// One pass over the track's packets: each becomes a sample, with the
// description in force and where its bytes are found again.
class TrackScan {
public:
    TrackScan(Track& track, const FileBytes& file, bool contiguous_packets)
        : track_(track), file_(file), descriptions_(track.descriptions), contiguous_packets_(contiguous_packets) {}

    Outcome<void> describe_stream(const AVCodecParameters& codec) {
        const std::size_t size = codec.extradata != nullptr ? static_cast<std::size_t>(codec.extradata_size) : 0U;
        auto described = intern_extradata(std::span<const std::uint8_t>(codec.extradata, size),
                                          static_cast<std::uint32_t>(std::max(codec.width, 0)),
                                          static_cast<std::uint32_t>(std::max(codec.height, 0)));
        if (!described) {
            return propagate(described);
        }
        current_ = *described;
        return {};
    }

    Outcome<void> add_sample(const AVPacket& packet) {
        if (track_.samples.size() == std::numeric_limits<std::uint32_t>::max()) {
            return fail("'" + file_.path() + "': more H.264 packets than " + std::to_string(track_.samples.size()));
        }
        std::size_t side_size = 0;
        const std::uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, &side_size);
        if (side != nullptr && side_size > 0) {
            // The container states no size with new extradata.
            auto described = intern_extradata(std::span(side, side_size), 0, 0);
            if (!described) {
                return propagate(described);
            }
            current_ = *described;
        }
        const std::span<const std::uint8_t> bytes(packet.data, static_cast<std::size_t>(packet.size));
        Outcome<std::optional<std::uint64_t>> offset = std::nullopt;
        if (contiguous_packets_) {
            offset = locate_packet_bytes(file_, bytes, packet.pos, previous_end_, scratch_);
            if (!offset) {
                return propagate(offset);
            }
        }
        TrackSample& sample = track_.samples.emplace_back();
        sample.position = *offset ? **offset : demuxed_position(packet.pos);
        sample.size = static_cast<std::uint32_t>(packet.size);
        sample.description = current_;
        sample.flags = container_flags(packet);
        sample.pts = packet.pts == AV_NOPTS_VALUE ? NO_PTS : packet.pts;
        previous_end_ = *offset ? std::optional(**offset + sample.size) : std::nullopt;
        return {};
    }

private:
    Outcome<std::uint16_t> intern_extradata(std::span<const std::uint8_t> extradata, std::uint32_t width,
                                            std::uint32_t height) {
        auto description = describe_extradata(extradata);
        if (!description) {
            return fail("'" + file_.path() + "': " + description.error().message);
        }
        description->width = width;
        description->height = height;
        auto index = descriptions_.intern(std::move(*description));
        if (!index) {
            return fail("'" + file_.path() + "': " + index.error().message);
        }
        return *index;
    }

    Track& track_;
    const FileBytes& file_;
    DescriptionTable descriptions_;
    const bool contiguous_packets_;
    std::uint16_t current_ = 0;
    std::optional<std::uint64_t> previous_end_;
    ByteVector scratch_;  // packet bytes compared with the file's
};

}  // namespace

Outcome<std::unique_ptr<Track>> open_scanned_track(std::shared_ptr<FileBytes> file, const SampleObserver& observe) {
    const std::uint64_t bytes_before = file->bytes_read();
    auto demuxer = TrackDemuxer::open(file);
    if (!demuxer) {
        return propagate(demuxer);
    }
    const AVStream& stream = *(*demuxer)->stream();
    auto track = std::make_unique<ScannedTrack>(file, (*demuxer)->stream_id());
    track->info.container = (*demuxer)->format()->iformat->name;
    track->info.time_base = {stream.time_base.num, stream.time_base.den};
    track->info.frame_rate = frame_rate_of(stream);
    if (const auto matrix = stream_display_matrix(stream)) {
        track->info.display_matrix = *matrix;
    }
    TrackScan scan(*track, *file, (*demuxer)->packets_may_be_contiguous());
    if (auto described = scan.describe_stream(*stream.codecpar); !described) {
        return propagate(described);
    }
    UniqueAVPacket packet(av_packet_alloc());
    if (packet == nullptr) {
        return fail("out of memory reading '" + file->path() + "'");
    }
    while ((*demuxer)->read_packet(packet.get())) {
        if (auto added = scan.add_sample(*packet); !added) {
            return propagate(added);
        }
        const auto index = static_cast<std::uint32_t>(track->samples.size() - 1);
        const std::span<const std::uint8_t> bytes(packet->data, static_cast<std::size_t>(packet->size));
        if (auto observed = observe(*track, index, bytes); !observed) {
            return propagate(observed);
        }
    }
    if (!(*demuxer)->read_failure().empty()) {
        return fail((*demuxer)->read_failure());
    }
    if (track->samples.empty() && (*demuxer)->end_code() != 0) {
        return fail("'" + file->path() + "': no packet of its H.264 track can be read: " + (*demuxer)->end_reason());
    }
    track->samples.shrink_to_fit();
    track->info.bytes_read = file->bytes_read() - bytes_before;
    return track;
}

}  // namespace pytovrik::file
