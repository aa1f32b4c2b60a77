#include "video_index.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "open_track.hpp"
#include "pytovrik_video.h"

namespace pytovrik::file {

namespace {

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
// A request's packets are its samples in Annex B form (at most two and a
// half times their bytes, for units of a byte behind one-byte lengths) and
// the parameter sets where the sample description changes. Descriptions
// that alternate at every sample, each with large parameter sets, would
// have a request grow with the samples times the sets.
constexpr std::uint64_t REQUEST_BYTES_PER_SAMPLE_BYTE = 4;
constexpr std::uint64_t REQUEST_BYTES_BEYOND = std::uint64_t{1} << 20;

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

// The index alone cannot pair fields, nor order pictures whose pts are only
// decode times: a track that may need either is read whole at open.
bool needs_reading_whole(const Track& track) {
    bool fields_possible = false;
    bool reordering_possible = false;
    for (const SampleDescription& description : track.descriptions) {
        for (const ByteVector& unit : description.parameter_sets) {
            if (const auto sps = h264::parse_sequence_parameter_set(unit)) {
                fields_possible = fields_possible || !sps->frame_mbs_only;
                // Baseline profile has no B slices, but its P pictures may
                // still be shown in another order than decoded.
                reordering_possible = reordering_possible ||
                                      (sps->pic_order_cnt_type != ORDER_FROM_FRAME_NUM &&
                                       (!sps->bitstream_restriction || sps->max_num_reorder_frames > 0));
            }
        }
    }
    const auto& samples = track.samples;
    const bool pts_in_decode_order =
        std::adjacent_find(samples.begin(), samples.end(), [](const TrackSample& a, const TrackSample& b) {
            return a.pts == NO_PTS || b.pts == NO_PTS || a.pts >= b.pts;
        }) == samples.end();
    return fields_possible || (reordering_possible && pts_in_decode_order && samples.size() > 1);
}

}  // namespace

void append_annexb_units(ByteVector& out, const StreamHeader& header) {
    for (const SharedUnit& unit : header.units) {
        append_annexb_unit(out, unit->bytes);
    }
}

void append_sample_as_annexb(ByteVector& out, std::span<const std::uint8_t> bytes, std::uint8_t length_size) {
    if (length_size == 0) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        return;
    }
    // A sample whose framing is broken adds nothing: FFmpeg drops it whole.
    for_each_sample_unit(bytes, length_size, [&](h264::Bytes nal) { append_annexb_unit(out, nal); });
}

RequestPackets::RequestPackets(const Track& track, std::uint64_t limit, const StreamHeader& header,
                               std::uint32_t description)
    : track_(track), limit_(limit), description_(description) {
    append_annexb_units(pending_, header);
}

bool RequestPackets::add(const TrackSample& entry, std::span<const std::uint8_t> bytes) {
    const auto length_size = description_.enter(track_, entry, [&](std::span<const ByteVector> sets) {
        for (const ByteVector& unit : sets) {
            append_annexb_unit(pending_, unit);
        }
    });
    append_sample_as_annexb(pending_, bytes, length_size.value_or(0));
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

Outcome<std::unique_ptr<VideoIndex>> VideoIndex::open(const std::string& path, const DecoderFunctions& decoder) {
    auto file = FileBytes::open(path);
    if (!file) {
        return propagate(file);
    }
    return open(std::move(*file), decoder);
}

Outcome<std::unique_ptr<VideoIndex>> VideoIndex::open(std::shared_ptr<FileBytes> file, const DecoderFunctions& decoder) {
    const std::string path = file->path();
    std::unique_ptr<VideoIndex> index(new VideoIndex(path, file));
    SampleLearner scan(index->headers_, path, 0);
    auto opened = open_track(file, [&](const Track& track, std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        return scan.see(track, sample, bytes);
    });
    if (!opened) {
        return propagate(opened);
    }
    index->track_ = std::move(opened->track);
    if (index->track_->samples.empty()) {
        return fail("'" + path + "' holds no H.264 picture");
    }
    if (auto measured = index->measure_samples(); !measured) {
        return propagate(measured);
    }
    if (opened->scanned) {
        index->take_in(scan.finish());
    } else {
        const bool read_whole = needs_reading_whole(*index->track_);
        SampleLearner reader(index->headers_, path, index->sample_bytes_);
        auto learnt = read_whole ? reader.read_every_sample(*index->track_) : reader.read_first_sample(*index->track_);
        if (!learnt) {
            return propagate(learnt);
        }
        index->lazy_ = !read_whole;
        index->take_in(std::move(*learnt));
    }
    if (auto finished = index->finish_opening(decoder); !finished) {
        return propagate(finished);
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
    std::unique_ptr<VideoIndex> index(new VideoIndex(std::move(name), nullptr));
    index->track_ = std::move(track);
    if (index->track_->samples.empty()) {
        return fail("'" + index->path_ + "' holds no H.264 picture");
    }
    if (auto measured = index->measure_samples(); !measured) {
        return propagate(measured);
    }
    SampleLearner reader(index->headers_, index->path_, index->sample_bytes_);
    auto learnt = reader.read_every_sample(*index->track_);
    if (!learnt) {
        return propagate(learnt);
    }
    index->take_in(std::move(*learnt));
    if (auto finished = index->finish_opening(decoder); !finished) {
        return propagate(finished);
    }
    return index;
}

void VideoIndex::take_in(LearntSamples learnt) {
    std::vector<TrackSample>& samples = track_->samples;
    for (std::size_t i = 0; i < learnt.flags.size() && i < samples.size(); ++i) {
        samples[i].flags |= learnt.flags[i];
    }
    points_ = std::move(learnt.points);
    base_analysis_ = std::move(learnt.base_analysis);
    choose_presentation_order(std::move(learnt.orders));
}

Outcome<void> VideoIndex::finish_opening(const DecoderFunctions& decoder) {
    settle_reorder_padding();
    if (auto probed = probe_start(decoder); !probed) {
        return probed;
    }
    list_frames();
    settle_picture_size();
    bytes_read_at_open_ = bytes_read();
    return {};
}

// The deepest reordering any of the stream's SPS allows (its declared
// depth, else the most any level allows) sets how far past its last needed
// picture a request that does not start at an IDR picture runs.
void VideoIndex::settle_reorder_padding() {
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
    for (std::uint32_t i = 0; i < headers_.size(); ++i) {
        for (const SharedUnit& unit : headers_[i].units) {
            see_unit(unit->bytes);
        }
    }
    padding_pictures_ = 2 * (depth + 1);
}

// The order of presentation is the order the decoder outputs pictures in:
// their picture order counts, where the stream was read whole and they can
// be worked out, else the container's pts. The two agree in a well-made
// file; where they do not (a raw stream put into a container with decode
// times for pts, streams concatenated with overlapping times), the counts
// decide and the pts stay each frame's time. A track without times and
// without counts is shown in decode order.
void VideoIndex::choose_presentation_order(std::vector<std::int64_t> orders) {
    const std::vector<TrackSample>& samples = track_->samples;
    const auto count = static_cast<std::uint32_t>(samples.size());
    timed_ = std::all_of(samples.begin(), samples.end(),
                         [](const TrackSample& sample) { return sample.pts != NO_PTS || !starts_frame(sample.flags); });
    const bool orders_known = orders.size() == count && std::all_of(orders.begin(), orders.end(),
                                                                    [&, i = std::size_t{0}](std::int64_t order) mutable {
                                                                        return order != UNKNOWN_ORDER ||
                                                                               !starts_frame(samples[i++].flags);
                                                                    });
    orders_.clear();
    if (!orders_known) {
        if (!timed_) {
            orders_.resize(count);
            std::iota(orders_.begin(), orders_.end(), std::int64_t{0});
        }
        return;
    }
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
    sort_by(by_order, [&](std::uint32_t i) { return orders[i]; });
    if (timed_) {
        sort_by(by_pts, [&](std::uint32_t i) { return samples[i].pts; });
    }
    if (!timed_ || by_pts != by_order) {
        orders_ = std::move(orders);
    }
}

bool VideoIndex::shown_before(std::uint32_t a, std::uint32_t b) const {
    const std::int64_t order_a = orders_.empty() ? track_->samples[a].pts : orders_[a];
    const std::int64_t order_b = orders_.empty() ? track_->samples[b].pts : orders_[b];
    return order_a != order_b ? order_a < order_b : a < b;
}

// A file that does not begin with an IDR picture: which of its first
// pictures a decoder shows is what FFmpeg's recovery rules make of them, so
// decode the start and count. A request from the file's first sample
// decodes the same way later.
Outcome<void> VideoIndex::probe_start(const DecoderFunctions& decoder) {
    const std::vector<TrackSample>& samples = track_->samples;
    const auto count = static_cast<std::uint32_t>(samples.size());
    if (!points_.empty() && points_.front().sample == 0 && (samples[0].flags & SAMPLE_IDR) != 0) {
        return {};
    }
    if (points_.empty() || points_.front().sample != 0) {
        auto header = headers_.add(StreamHeader::of(track_->descriptions[samples[0].description].parameter_sets),
                                   sample_bytes_);
        if (!header) {
            return propagate(header);
        }
        points_.insert(points_.begin(), RandomAccessPoint{0, 0, *header, true});
    }
    // Decode up to the next point and a padding past it, until the first
    // frame shown is a padding before the end of what was sent. Each try
    // reaches at least twice as far as the last, so a start that recovers
    // only after many points (key frames the stream does not bear out) costs
    // decoding in proportion to where it recovers.
    std::uint32_t reach = 0;
    for (std::size_t next_point = 1;; ++next_point) {
        while (next_point < points_.size() && points_[next_point].sample < reach) {
            ++next_point;
        }
        const std::uint32_t region = next_point < points_.size() ? points_[next_point].sample : count;
        const std::uint32_t end = region >= count ? count : padded_end(region) + 1;
        auto shown = frames_a_decoder_shows(end, decoder);
        if (!shown) {
            return propagate(shown);
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
            std::sort(decoded.begin(), decoded.end(), [&](std::uint32_t a, std::uint32_t b) { return shown_before(a, b); });
            const std::uint32_t first_shown = decoded[decoded.size() - *shown];
            if (end == count || padded_end(first_shown) < end) {
                points_.front().recovered_at = first_shown;
                return {};
            }
        } else if (end == count) {
            points_.front().recovered_at = NO_SAMPLE;  // nothing is ever shown
            return {};
        }
        reach = end > count / 2 ? count : 2 * end;
    }
}

Outcome<std::uint64_t> VideoIndex::frames_a_decoder_shows(std::uint32_t end, const DecoderFunctions& decoder) {
    if (decoder.decode_h264 == nullptr || decoder.free_response == nullptr) {
        return fail("'" + path() + "' does not begin with an IDR picture, and no decoder was given to find which of "
                    "its first pictures are shown");
    }
    std::vector<std::uint32_t> samples(end);
    std::iota(samples.begin(), samples.end(), 0U);
    RequestPackets builder(*track_, request_byte_limit(), headers_[points_.front().header],
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
        return propagate(read);
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

// Frames are the pictures that start one, not hidden by the edit list, from
// the first shown on, in presentation order.
void VideoIndex::list_frames() {
    const std::vector<TrackSample>& samples = track_->samples;
    frames_.clear();
    const std::uint32_t first_shown = points_.front().recovered_at;
    if (first_shown == NO_SAMPLE) {
        return;
    }
    frames_.reserve(samples.size());
    for (std::uint32_t i = 0; i < samples.size(); ++i) {
        if (starts_frame(samples[i].flags) && (samples[i].flags & SAMPLE_DISCARD) == 0 && !shown_before(i, first_shown)) {
            frames_.push_back(i);
        }
    }
    sort_decode_order(frames_, [&](std::uint32_t a, std::uint32_t b) { return shown_before(a, b); });
    frames_.shrink_to_fit();
    // Frames in pts order have ascending times when the time base is
    // positive; times kept apart from the order may not.
    const Rational base = track_->info.time_base;
    const bool in_time_order = !timed_ || (orders_.empty() && base.num > 0 && base.den > 0);
    times_ascend_ = true;
    for (std::uint64_t i = 1; i < frames_.size() && !in_time_order; ++i) {
        times_ascend_ = times_ascend_ && frame_seconds(i - 1) <= frame_seconds(i);
    }
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

// Where decoding starts for the frame whose first field is `sample`: the
// latest random access point at or before it in decode order from which a
// decoder already shows it.
std::uint32_t VideoIndex::start_for(std::uint32_t sample) const {
    auto point = std::upper_bound(points_.begin(), points_.end(), sample,
                                  [](std::uint32_t s, const RandomAccessPoint& p) { return s < p.sample; });
    while (point != points_.begin()) {
        --point;
        if (point->recovered_at != NO_SAMPLE && !shown_before(sample, point->recovered_at)) {
            return point->sample;
        }
    }
    return points_.empty() ? 0 : points_.front().sample;
}

const RandomAccessPoint* VideoIndex::point_at(std::uint32_t sample) const {
    const auto point = std::lower_bound(points_.begin(), points_.end(), sample,
                                        [](const RandomAccessPoint& p, std::uint32_t s) { return p.sample < s; });
    return point != points_.end() && point->sample == sample ? &*point : nullptr;
}

// The last sample of the frame that begins at `sample`: its second field.
std::uint32_t VideoIndex::frame_end(std::uint32_t sample) const {
    const auto& samples = track_->samples;
    std::uint32_t end = sample;
    while (end + 1 < samples.size()) {
        const std::uint16_t flags = samples[end + 1].flags;
        if ((flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_PICTURE) == 0 || (flags & SAMPLE_FRAME_START) != 0) {
            break;
        }
        ++end;
    }
    return end;
}

std::vector<std::uint32_t> VideoIndex::starts_of(std::span<const std::uint64_t> frames) const {
    const std::lock_guard lock(learning_);
    std::vector<std::uint32_t> starts;
    starts.reserve(frames.size());
    for (const std::uint64_t frame : frames) {
        starts.push_back(start_for(frames_[frame]));
    }
    return starts;
}

// From an IDR picture, every picture decoded is shown, also those drained at
// the end. From another start, only those decoded once the recovery point
// has been shown, and the recovery point leaves the reorder buffer only
// after a few more pictures: so the request runs at least a padding past the
// recovery point (as if it were the last picture needed), and from there on
// it needs no more than after an IDR picture.
RequestReach VideoIndex::reach(std::span<const std::uint64_t> frames, std::uint32_t start) const {
    const std::lock_guard lock(learning_);
    std::uint32_t needed = 0;
    for (const std::uint64_t frame : frames) {
        start = std::min(start, start_for(frames_[frame]));
        needed = std::max(needed, frame_end(frames_[frame]));
    }
    if ((track_->samples[start].flags & SAMPLE_IDR) != 0) {
        return RequestReach{start, needed, needed};
    }
    const RandomAccessPoint* point = point_at(start);
    const std::uint32_t shown_from = point != nullptr && point->recovered_at != NO_SAMPLE ? point->recovered_at : start;
    // Pictures a request may leave out do not push others out of the buffer.
    const auto left_out = [&](std::uint32_t sample) {
        const std::uint16_t flags = track_->samples[sample].flags;
        return sample <= needed && (flags & SAMPLE_ANALYSED) != 0 &&
               (flags & (SAMPLE_REFERENCE | SAMPLE_PARAMETER_SETS)) == 0;
    };
    return RequestReach{start, needed, std::max(needed, padded_end(shown_from, shown_from, left_out))};
}

std::optional<std::uint32_t> VideoIndex::point_before(std::uint32_t start) const {
    const std::lock_guard lock(learning_);
    const auto point = std::lower_bound(points_.begin(), points_.end(), start,
                                        [](const RandomAccessPoint& p, std::uint32_t s) { return p.sample < s; });
    return point == points_.begin() ? std::nullopt : std::optional(std::prev(point)->sample);
}

RequestView VideoIndex::view(std::uint32_t start, std::uint32_t last) const {
    const std::lock_guard lock(learning_);
    RequestView view{start, last, {}, start, {}};
    for (std::uint32_t sample = start; sample <= last; ++sample) {
        view.flags.push_back(track_->samples[sample].flags);
    }
    const RandomAccessPoint* point = point_at(start);
    if (point != nullptr && point->recovered_at != NO_SAMPLE) {
        view.recovered_at = point->recovered_at;
    }
    view.header = headers_[point != nullptr ? point->header : 0];
    return view;
}

std::vector<std::uint64_t> VideoIndex::key_frames() const {
    const std::lock_guard lock(learning_);
    std::vector<std::uint32_t> shown_from;
    for (const RandomAccessPoint& point : points_) {
        const bool stated = (track_->samples[point.sample].flags & SAMPLE_SYNC_STATED) != 0;
        if ((point.confirmed || stated) && point.recovered_at != NO_SAMPLE) {
            shown_from.push_back(point.recovered_at);
        }
    }
    std::sort(shown_from.begin(), shown_from.end());
    std::vector<std::uint64_t> frames;
    for (std::uint64_t frame = 0; frame < frames_.size(); ++frame) {
        if (std::binary_search(shown_from.begin(), shown_from.end(), frames_[frame])) {
            frames.push_back(frame);
        }
    }
    return frames;
}

Outcome<void> VideoIndex::learn(std::uint32_t first, std::span<const std::span<const std::uint8_t>> bytes) {
    if (!lazy_) {
        return {};
    }
    const std::lock_guard lock(learning_);
    auto learnt = learn_group(*track_, base_analysis_, headers_, sample_bytes_, first, bytes);
    if (!learnt) {
        return propagate(learnt);
    }
    for (std::size_t k = 0; k < learnt->flags.size(); ++k) {
        std::uint16_t& flags = track_->samples[first + k].flags;
        flags = static_cast<std::uint16_t>((flags & SAMPLE_CONTAINER_FLAGS) | learnt->flags[k]);
    }
    // The points of the samples read replace the ones listed for them, in
    // one splice: a run of key frames the stream does not bear out would
    // otherwise cost a shift of every later point each.
    auto point_index = [&](std::uint32_t sample) {
        return std::lower_bound(points_.begin(), points_.end(), sample,
                                [](const RandomAccessPoint& point, std::uint32_t s) { return point.sample < s; });
    };
    const auto listed_begin = point_index(first);
    const auto listed_end = point_index(static_cast<std::uint32_t>(first + bytes.size()));
    // The file's first point stays whatever its sample holds.
    if (first == 0 && listed_begin != listed_end && listed_begin->sample == 0 &&
        (learnt->points.empty() || learnt->points.front().sample != 0)) {
        learnt->points.insert(learnt->points.begin(), *listed_begin);
    }
    const auto at = points_.erase(listed_begin, listed_end);
    points_.insert(at, learnt->points.begin(), learnt->points.end());
    return {};
}

std::uint32_t VideoIndex::padded_end(std::uint32_t last_needed, std::uint32_t shown_from,
                                     const std::function<bool(std::uint32_t)>& left_out) const {
    // A request that starts at a picture other than an IDR one runs this far
    // past the last picture it needs. FFmpeg shows a picture that leaves the
    // reorder buffer while decoding goes on once the recovery point has been
    // shown; one that is only drained at the end of the packets it shows only
    // if it was decoded after that. Running one reorder depth past the last
    // needed picture lets every needed one leave while decoding goes on, and a
    // second depth makes every drained one follow the recovery point's
    // showing, so a request shows exactly the pictures from the recovery
    // point on, as a decode of the whole file would. A picture shown before
    // the recovery point `shown_from` (a leading picture of an open GOP)
    // leaves the buffer before it, unshown: one past the last needed picture
    // holds the recovery point's showing back by a picture, so it does not
    // count towards the padding. (Those up to the last needed one hold it back
    // as much as they add before the padding.) Nor does a picture the request
    // leaves out (`left_out`).
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
        if (shown_from != NO_SAMPLE && leading < padding_pictures_ && shown_before(end, shown_from)) {
            ++leading;
        } else {
            ++pictures;
        }
    }
    return end;
}

std::optional<std::uint64_t> VideoIndex::frame_of_sample(std::uint32_t sample) const {
    const std::lock_guard lock(learning_);
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
    const std::int64_t pts = track_->samples[frames_[frame]].pts;
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
    const std::lock_guard lock(learning_);
    return track_->samples.capacity() * sizeof(TrackSample) + frames_.capacity() * sizeof(std::uint32_t) +
           orders_.capacity() * sizeof(std::int64_t) + points_.capacity() * sizeof(RandomAccessPoint) +
           headers_.bytes();
}

}  // namespace pytovrik::file
