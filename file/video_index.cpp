#include "video_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>
#include <utility>

#include "group_learning.hpp"
#include "open_track.hpp"
#include "pytovrik_video.h"

namespace pytovrik::file {

namespace {

constexpr std::int64_t UNKNOWN_ORDER = std::numeric_limits<std::int64_t>::min();
// The picture size of the RGB frames the start probe asks for: it only
// counts frames, so they are as small as the scaler takes.
constexpr std::uint32_t PROBE_SIDE = 16;
// H.264's largest decoded picture buffer, in frames.
constexpr std::uint32_t MAX_REORDER = 16;
// Picture order count type 2 puts pictures out in decode order.
constexpr std::uint32_t ORDER_FROM_FRAME_NUM = 2;
// The samples of a well-made file never share bytes, so they add up to less
// than the file (a container that strips a header from each packet adds a
// few bytes back to each). Tables that point many samples at the same bytes
// would have reading them, at open and for each request, grow with the
// square of the file's size.
constexpr std::uint64_t MAX_SAMPLE_BYTES_PER_FILE_BYTE = 2;
// Each header the index keeps costs a reference per unit in force, up to
// 32 SPS and 256 PPS: a stream may change one at every random access point,
// but the headers may not cost more than a fraction of its samples' bytes.
constexpr std::uint64_t SAMPLE_BYTES_PER_HEADER_UNIT = 8;
constexpr std::uint64_t MIN_HEADER_UNITS = 4096;
// A request's packets are its samples in Annex B form (at most two and a
// half times their bytes, for units of a byte behind one-byte lengths) and
// the parameter sets where the sample description changes. Descriptions
// that alternate at every sample, each with large parameter sets, would
// have a request grow with the samples times the sets.
constexpr std::uint64_t REQUEST_BYTES_PER_SAMPLE_BYTE = 4;
constexpr std::uint64_t REQUEST_BYTES_BEYOND = std::uint64_t{1} << 20;

bool starts_frame(std::uint16_t flags) {
    return (flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_FRAME_START) != 0;
}

// Sorts samples listed in decode order into presentation order. Reordering
// moves a picture a few places at most (the reorder depth), so an insertion
// sort does it in one pass, several times faster than std::sort on a long
// file. A sample that moves farther (a stream that lies about its order)
// hands the rest to std::sort, so the time stays n log n whatever the file.
template <class Before>
void sort_decode_order(std::vector<std::uint32_t>& list, Before before) {
    constexpr std::size_t MAX_MOVE = 2 * MAX_REORDER;
    for (std::size_t i = 1; i < list.size(); ++i) {
        const std::uint32_t sample = list[i];
        std::size_t at = i;
        for (; at > 0 && before(sample, list[at - 1]); --at) {
            if (i - at == MAX_MOVE) {
                list[at] = sample;
                std::sort(list.begin(), list.end(), before);
                return;
            }
            list[at] = list[at - 1];
        }
        list[at] = sample;
    }
}

}  // namespace

void append_annexb_units(ByteVector& out, std::span<const ByteVector> units) {
    for (const ByteVector& unit : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit.begin(), unit.end());
    }
}

void append_annexb_units(ByteVector& out, const StreamHeader& header) {
    for (const SharedUnit& unit : header.units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit->bytes.begin(), unit->bytes.end());
    }
}

void append_sample_as_annexb(ByteVector& out, std::span<const std::uint8_t> bytes, std::uint8_t length_size) {
    if (length_size == 0) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return;
    }
    // A sample whose framing is broken adds nothing: FFmpeg drops it whole.
    for_each_sample_unit(bytes, length_size, [&](h264::Bytes nal) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    });
}

RequestPackets::RequestPackets(const Track& track, std::uint64_t limit, const StreamHeader& header,
                               std::uint32_t description)
    : track_(track), limit_(limit), description_(description) {
    append_annexb_units(pending_, header);
}

bool RequestPackets::add(const TrackSample& entry, std::span<const std::uint8_t> bytes) {
    const std::size_t descriptions = track_.descriptions.size();
    if (entry.description != description_ && entry.description < descriptions) {
        description_ = entry.description;
        append_annexb_units(pending_, track_.descriptions[description_].parameter_sets);
    }
    const std::uint8_t length_size = description_ < descriptions ? track_.descriptions[description_].length_size : 0;
    append_sample_as_annexb(pending_, bytes, length_size);
    return held_ + pending_.size() <= limit_;
}

void RequestPackets::end_packet() {
    held_ += pending_.size();
    packets_.push_back(std::move(pending_));
    pending_.clear();
}

std::uint64_t VideoIndex::request_byte_limit() const {
    return REQUEST_BYTES_PER_SAMPLE_BYTE * sample_bytes_ + REQUEST_BYTES_BEYOND;
}

Outcome<std::uint32_t> VideoIndex::add_header(StreamHeader header) {
    const std::uint64_t hash = header.hash();
    const auto [first, last] = header_of_hash_.equal_range(hash);
    for (auto known = first; known != last; ++known) {
        if (headers_[known->second] == header) {
            return known->second;
        }
    }
    header_units_ += header.units.size();
    if (header_units_ > std::max(MIN_HEADER_UNITS, sample_bytes_ / SAMPLE_BYTES_PER_HEADER_UNIT)) {
        return fail("'" + path_ + "': its parameter sets change at more than " + std::to_string(headers_.size()) +
                    " random access points, too often for its " + std::to_string(sample_bytes_) +
                    " bytes of samples");
    }
    const auto index = static_cast<std::uint32_t>(headers_.size());
    headers_.push_back(std::move(header));
    header_of_hash_.emplace(hash, index);
    return index;
}

Outcome<std::unique_ptr<VideoIndex>> VideoIndex::open(const std::string& path, const DecoderFunctions& decoder) {
    auto file = FileBytes::open(path);
    if (!file) {
        return std::unexpected(std::move(file.error()));
    }
    std::unique_ptr<VideoIndex> index(new VideoIndex());
    index->path_ = path;
    index->file_ = *file;
    SampleLearner learner(*index);
    auto opened = open_track(*file, [&](const Track& track, std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        return learner.see(track, sample, bytes);
    });
    if (!opened) {
        return std::unexpected(std::move(opened.error()));
    }
    index->track_ = std::move(opened->track);
    if (index->track_->samples.empty()) {
        return fail("'" + path + "' holds no H.264 picture");
    }
    if (auto measured = index->measure_samples(); !measured) {
        return std::unexpected(std::move(measured.error()));
    }
    if (opened->scanned) {
        learner.finish();
    } else {
        // The index alone cannot pair fields, nor order pictures whose pts
        // are only decode times: a stream that may need either is read whole.
        bool fields_possible = false;
        bool reordering_possible = false;
        for (const SampleDescription& description : index->track_->descriptions) {
            for (const ByteVector& unit : description.parameter_sets) {
                if (const auto sps = h264::parse_sequence_parameter_set(unit)) {
                    fields_possible = fields_possible || !sps->frame_mbs_only;
                    // Baseline profile has no B slices, but its P pictures
                    // may still be shown in another order than decoded.
                    reordering_possible = reordering_possible ||
                                          (sps->pic_order_cnt_type != ORDER_FROM_FRAME_NUM &&
                                           (!sps->bitstream_restriction || sps->max_num_reorder_frames > 0));
                }
            }
        }
        const auto& samples = index->track_->samples;
        const bool pts_in_decode_order =
            std::adjacent_find(samples.begin(), samples.end(), [](const TrackSample& a, const TrackSample& b) {
                return a.pts == NO_PTS || b.pts == NO_PTS || a.pts >= b.pts;
            }) == samples.end();
        const bool read_whole = fields_possible || (reordering_possible && pts_in_decode_order && samples.size() > 1);
        auto learnt = read_whole ? learner.read_every_sample() : learner.read_first_sample();
        if (!learnt) {
            return std::unexpected(std::move(learnt.error()));
        }
        index->lazy_ = !read_whole;
    }
    if (auto finished = index->finish_opening(decoder); !finished) {
        return std::unexpected(std::move(finished.error()));
    }
    return index;
}

Outcome<void> VideoIndex::measure_samples() {
    sample_bytes_ = 0;
    for (const TrackSample& sample : track_->samples) {
        sample_bytes_ += sample.size;
    }
    if (file_ && sample_bytes_ / MAX_SAMPLE_BYTES_PER_FILE_BYTE > file_->size()) {
        return fail("'" + path_ + "': its " + std::to_string(track_->samples.size()) + " samples add up to " +
                    std::to_string(sample_bytes_) + " bytes, more than " +
                    std::to_string(MAX_SAMPLE_BYTES_PER_FILE_BYTE) + " times the file's " +
                    std::to_string(file_->size()) + ": they overlap");
    }
    return {};
}

Outcome<std::unique_ptr<VideoIndex>> VideoIndex::from_track(std::string name, std::unique_ptr<Track> track,
                                                            const DecoderFunctions& decoder) {
    std::unique_ptr<VideoIndex> index(new VideoIndex());
    index->path_ = std::move(name);
    index->track_ = std::move(track);
    if (index->track_->samples.empty()) {
        return fail("'" + index->path_ + "' holds no H.264 picture");
    }
    if (auto measured = index->measure_samples(); !measured) {
        return std::unexpected(std::move(measured.error()));
    }
    SampleLearner learner(*index);
    if (auto learnt = learner.read_every_sample(); !learnt) {
        return std::unexpected(std::move(learnt.error()));
    }
    if (auto finished = index->finish_opening(decoder); !finished) {
        return std::unexpected(std::move(finished.error()));
    }
    return index;
}

Outcome<void> VideoIndex::finish_opening(const DecoderFunctions& decoder) {
    // The deepest reordering any of the stream's SPS allows: its declared
    // depth, else the most any level allows.
    std::uint32_t depth = 0;
    auto see_unit = [&](std::span<const std::uint8_t> unit) {
        if (const auto sps = h264::parse_sequence_parameter_set(unit)) {
            depth = std::max(depth, sps->bitstream_restriction ? std::min(sps->max_num_reorder_frames, MAX_REORDER)
                                                               : MAX_REORDER);
        }
    };
    for (const SampleDescription& description : track_->descriptions) {
        for (const ByteVector& unit : description.parameter_sets) {
            see_unit(unit);
        }
    }
    for (const StreamHeader& header : headers_) {
        for (const SharedUnit& unit : header.units) {
            see_unit(unit->bytes);
        }
    }
    padding_pictures_ = 2 * (depth + 1);
    if (auto ordered = order_frames(decoder); !ordered) {
        return ordered;
    }
    settle_picture_size();
    bytes_read_at_open_ = bytes_read();
    return {};
}

Outcome<void> VideoIndex::order_frames(const DecoderFunctions& decoder) {
    std::vector<TrackSample>& samples = track_->samples;
    const auto count = static_cast<std::uint32_t>(samples.size());
    // The order of presentation is the order the decoder outputs pictures
    // in: their picture order counts, where the stream was read whole and
    // they can be worked out, else the container's pts. The two agree in a
    // well-made file; where they do not (a raw stream put into a container
    // with decode times for pts, streams concatenated with overlapping
    // times), the counts decide and the pts stay each frame's time.
    timed_ = std::all_of(samples.begin(), samples.end(),
                         [](const TrackSample& sample) { return sample.pts != NO_PTS || !starts_frame(sample.flags); });
    const bool orders_known =
        picture_orders_.size() == count && std::all_of(picture_orders_.begin(), picture_orders_.end(),
                                                [&, i = std::size_t{0}](std::int64_t order) mutable {
                                                    return order != UNKNOWN_ORDER || !starts_frame(samples[i++].flags);
                                                });
    std::vector<std::int64_t> pts_of_sample;
    if (orders_known) {
        std::vector<std::uint32_t> by_pts;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (starts_frame(samples[i].flags)) {
                by_pts.push_back(i);
            }
        }
        std::vector<std::uint32_t> by_order = by_pts;
        auto sort_by = [&](std::vector<std::uint32_t>& list, auto key) {
            sort_decode_order(list, [&](std::uint32_t a, std::uint32_t b) {
                return key(a) != key(b) ? key(a) < key(b) : a < b;
            });
        };
        sort_by(by_order, [&](std::uint32_t i) { return picture_orders_[i]; });
        if (timed_) {
            sort_by(by_pts, [&](std::uint32_t i) { return samples[i].pts; });
        }
        if (!timed_ || by_pts != by_order) {
            for (std::uint32_t i = 0; i < count; ++i) {
                pts_of_sample.push_back(samples[i].pts);
                samples[i].pts = picture_orders_[i] == UNKNOWN_ORDER ? std::numeric_limits<std::int64_t>::min()
                                                                   : picture_orders_[i];
            }
        }
    } else if (!timed_) {
        for (std::uint32_t i = 0; i < count; ++i) {
            samples[i].pts = static_cast<std::int64_t>(i);  // no order to go by but decode order
        }
    }
    picture_orders_ = {};
    auto before = [&](std::uint32_t a, std::uint32_t b) {
        return samples[a].pts != samples[b].pts ? samples[a].pts < samples[b].pts : a < b;
    };

    // A file that does not begin with an IDR picture: which of its first
    // pictures a decoder shows is what FFmpeg's recovery rules make of them,
    // so decode the start and count. A request from the file's first sample
    // decodes the same way later.
    const bool clean_start = !points_.empty() && points_.front().sample == 0 &&
                             (samples[0].flags & SAMPLE_IDR) != 0;
    if (!clean_start) {
        if (points_.empty() || points_.front().sample != 0) {
            auto header = add_header(StreamHeader::of(track_->descriptions[samples[0].description].parameter_sets));
            if (!header) {
                return std::unexpected(std::move(header.error()));
            }
            points_.insert(points_.begin(), RandomAccessPoint{0, 0, *header, true});
        }
        // Decode up to the next point and a padding past it, until the
        // first frame shown is a padding before the end of what was sent.
        // Each try reaches at least twice as far as the last, so a start
        // that recovers only after many points (key frames the stream does
        // not bear out) costs decoding in proportion to where it recovers.
        std::uint32_t reach = 0;
        for (std::size_t next_point = 1;; ++next_point) {
            while (next_point < points_.size() && points_[next_point].sample < reach) {
                ++next_point;
            }
            const std::uint32_t region = next_point < points_.size() ? points_[next_point].sample : count;
            const std::uint32_t end = region >= count ? count : padded_end(region) + 1;
            auto shown = frames_a_decoder_shows(end, decoder);
            if (!shown) {
                return std::unexpected(std::move(shown.error()));
            }
            std::vector<std::uint32_t> decoded;
            for (std::uint32_t i = 0; i < end; ++i) {
                if (starts_frame(samples[i].flags)) {
                    decoded.push_back(i);
                }
            }
            if (*shown > decoded.size()) {
                return fail("'" + path() + "': its first " + std::to_string(end) + " samples decode to " +
                            std::to_string(*shown) + " frames, more than the " + std::to_string(decoded.size()) +
                            " pictures they hold");
            }
            if (*shown > 0) {
                std::sort(decoded.begin(), decoded.end(), before);
                const std::uint32_t first_shown = decoded[decoded.size() - *shown];
                if (end == count || padded_end(first_shown) < end) {
                    points_.front().recovered_at = first_shown;
                    break;
                }
            } else if (end == count) {
                points_.front().recovered_at = NO_SAMPLE;  // nothing is ever shown
                break;
            }
            reach = end > count / 2 ? count : 2 * end;
        }
    }

    frames_.clear();
    const std::uint32_t first_shown = points_.front().recovered_at;
    if (first_shown == NO_SAMPLE) {
        return {};
    }
    frames_.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (starts_frame(samples[i].flags) && (samples[i].flags & SAMPLE_DISCARD) == 0 &&
            !before(i, first_shown)) {
            frames_.push_back(i);
        }
    }
    sort_decode_order(frames_, before);
    frames_.shrink_to_fit();
    if (timed_ && !pts_of_sample.empty()) {
        frame_times_.reserve(frames_.size());
        for (const std::uint32_t sample : frames_) {
            frame_times_.push_back(pts_of_sample[sample]);
        }
    }
    // Frames in pts order have ascending times when the time base is
    // positive; times kept apart from the order (see above) may not.
    const Rational base = track_->info.time_base;
    const bool in_time_order = !timed_ || (frame_times_.empty() && base.num > 0 && base.den > 0);
    times_ascend_ = true;
    for (std::uint64_t i = 1; i < frames_.size() && !in_time_order; ++i) {
        times_ascend_ = times_ascend_ && frame_seconds(i - 1) <= frame_seconds(i);
    }
    return {};
}

Outcome<std::uint64_t> VideoIndex::frames_a_decoder_shows(std::uint32_t end, const DecoderFunctions& decoder) {
    if (decoder.decode_h264 == nullptr || decoder.free_response == nullptr) {
        return fail("'" + path() + "' does not begin with an IDR picture, and no decoder was given to find which of "
                    "its first pictures are shown");
    }
    std::vector<std::uint32_t> samples(end);
    for (std::uint32_t i = 0; i < end; ++i) {
        samples[i] = i;
    }
    RequestPackets builder(*track_, request_byte_limit(), header(points_.front().header),
                           track_->samples.empty() ? 0 : track_->samples[0].description);
    auto read = track_->read_samples(samples, [&](std::uint32_t sample, std::span<const std::uint8_t> bytes)
                                                      -> Outcome<void> {
        const TrackSample& entry = track_->samples[sample];
        if (!builder.add(entry, bytes)) {
            return fail("'" + path() + "': its first " + std::to_string(end) + " samples make a request of more than " +
                        std::to_string(request_byte_limit()) + " bytes, out of proportion to its " +
                        std::to_string(sample_bytes_) + " bytes of samples");
        }
        if (starts_frame(entry.flags) || (entry.flags & SAMPLE_PICTURE) != 0) {
            builder.end_packet();
        }
        return {};
    });
    if (!read) {
        return std::unexpected(std::move(read.error()));
    }
    const std::vector<ByteVector> packets = builder.take();
    std::vector<RuntimePacket> runtime_packets;
    for (const ByteVector& packet : packets) {
        runtime_packets.push_back(RuntimePacket{packet.data(), packet.size()});
    }
    RuntimeDecodeRequest request{};
    request.output_width = PROBE_SIDE;
    request.output_height = PROBE_SIDE;
    request.output_format = RuntimeFormatRgb;
    request.packets = runtime_packets.data();
    request.packet_count = runtime_packets.size();
    RuntimeDecodeResponse response{};
    if (decoder.decode_h264(&request, &response) != 0) {
        return fail("'" + path() + "': its first pictures could not be decoded to tell which are shown");
    }
    const std::uint64_t shown = response.frame_count;
    decoder.free_response(&response);
    return shown;
}

void VideoIndex::settle_picture_size() {
    const std::uint32_t first = frames_.empty() ? 0 : frames_.front();
    const std::uint32_t description = track_->samples[first].description;
    width_ = track_->descriptions[description].width;
    height_ = track_->descriptions[description].height;
    // The SPS in force where the first frame's decoding starts says it exactly.
    for (const RandomAccessPoint& point : points_) {
        if (point.sample > first) {
            break;
        }
        for (const SharedUnit& unit : headers_[point.header].units) {
            if (const auto sps = h264::parse_sequence_parameter_set(unit->bytes); sps && sps->width() > 0) {
                width_ = sps->width();
                height_ = sps->height();
                break;
            }
        }
    }
    const Rational rate = track_->info.frame_rate;
    if (rate.num > 0 && rate.den > 0) {
        frame_rate_ = rate;
    }
}

std::uint32_t VideoIndex::padded_end(std::uint32_t last_needed, std::uint32_t shown_from,
                                     const std::function<bool(std::uint32_t)>& left_out) const {
    const auto count = static_cast<std::uint32_t>(track_->samples.size());
    std::uint32_t pictures = 0;
    // A stream's reorder depth bounds its leading pictures; a file whose
    // times say otherwise must not make every request run to its end.
    std::uint32_t leading = 0;
    std::uint32_t end = last_needed;
    while (end + 1 < count && pictures < padding_pictures_) {
        ++end;
        const std::uint16_t flags = track_->samples[end].flags;
        if (((flags & SAMPLE_ANALYSED) != 0 && (flags & SAMPLE_PICTURE) == 0) || (left_out && left_out(end))) {
            continue;
        }
        if (shown_from != NO_SAMPLE && leading < padding_pictures_ && shown_before(*track_, end, shown_from)) {
            ++leading;
        } else {
            ++pictures;
        }
    }
    return end;
}

std::optional<std::uint64_t> VideoIndex::frame_of_sample(std::uint32_t sample) const {
    while (sample > 0 && !starts_frame(track_->samples[sample].flags)) {
        --sample;
    }
    const auto found = std::find(frames_.begin(), frames_.end(), sample);
    return found == frames_.end() ? std::nullopt : std::optional<std::uint64_t>(found - frames_.begin());
}

double VideoIndex::frame_seconds(std::uint64_t frame) const {
    if (!timed_) {
        return static_cast<double>(frame) * static_cast<double>(frame_rate_.den) / static_cast<double>(frame_rate_.num);
    }
    const Rational base = track_->info.time_base;
    const std::int64_t pts = frame_times_.empty() ? track_->samples[frames_[frame]].pts : frame_times_[frame];
    return static_cast<double>(pts) * static_cast<double>(base.num) / static_cast<double>(base.den);
}

double VideoIndex::duration_seconds() const {
    if (frames_.empty()) {
        return 0.0;
    }
    const double frame_duration = static_cast<double>(frame_rate_.den) / static_cast<double>(frame_rate_.num);
    double first = frame_seconds(0);
    double last = first;
    for (std::uint64_t i = 0; i < frames_.size() && !times_ascend_; ++i) {
        first = std::min(first, frame_seconds(i));
        last = std::max(last, frame_seconds(i));
    }
    if (times_ascend_) {
        last = frame_seconds(frames_.size() - 1);
    }
    return last - first + frame_duration;
}

std::optional<std::uint64_t> VideoIndex::frame_at(double seconds) const {
    if (frames_.empty() || !std::isfinite(seconds)) {
        return std::nullopt;
    }
    const double frame_duration = static_cast<double>(frame_rate_.den) / static_cast<double>(frame_rate_.num);
    if (!times_ascend_) {
        // Times out of order (a file whose pts contradict its pictures' own
        // order): the frame with the latest time not after `seconds`.
        std::optional<std::uint64_t> best;
        double latest = 0.0;
        double end = 0.0;
        for (std::uint64_t i = 0; i < frames_.size(); ++i) {
            const double start = frame_seconds(i);
            end = std::max(end, start + frame_duration);
            if (start <= seconds && (!best || start >= latest)) {
                best = i;
                latest = start;
            }
        }
        return seconds < end ? best : std::nullopt;
    }
    if (seconds < frame_seconds(0)) {
        return std::nullopt;
    }
    // The first frame that starts after `seconds`, then the one before it.
    std::uint64_t low = 0;
    std::uint64_t high = frames_.size();
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (frame_seconds(middle) <= seconds) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    const std::uint64_t frame = low - 1;
    if (frame + 1 == frames_.size() && seconds >= frame_seconds(frame) + frame_duration) {
        return std::nullopt;
    }
    return frame;
}

std::uint64_t VideoIndex::index_bytes() const {
    std::uint64_t bytes = track_->samples.capacity() * sizeof(TrackSample) + frames_.capacity() * sizeof(std::uint32_t) +
                          frame_times_.capacity() * sizeof(std::int64_t) +
                          points_.capacity() * sizeof(RandomAccessPoint);
    // Each unit once, however many headers share it.
    std::unordered_set<const HeaderUnit*> counted;
    for (const StreamHeader& header : headers_) {
        bytes += header.units.capacity() * sizeof(SharedUnit);
        for (const SharedUnit& unit : header.units) {
            if (counted.insert(unit.get()).second) {
                bytes += unit->bytes.size();
            }
        }
    }
    return bytes;
}

}  // namespace pytovrik::file
