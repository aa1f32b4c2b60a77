#include "frame_plan.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

#include "group_learning.hpp"

namespace pytovrik::file {

namespace {

// Starts tried before a job gives up: enough for a point FFmpeg does not take
// as one, not so many that a damaged file decodes its whole length per job.
constexpr int MAX_RETRIES = 3;

bool is_picture(std::uint16_t flags) {
    return (flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_PICTURE) != 0;
}

bool starts_frame(std::uint16_t flags) {
    return (flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_FRAME_START) != 0;
}

// Where decoding starts for the frame whose first field is `sample`: the
// latest random access point at or before it in decode order from which a
// decoder already shows it. Call with the learning lock held.
std::uint32_t start_for(const VideoIndex& index, std::uint32_t sample) {
    const auto& points = index.random_access_points();
    auto point = std::upper_bound(points.begin(), points.end(), sample,
                                  [](std::uint32_t s, const RandomAccessPoint& p) { return s < p.sample; });
    while (point != points.begin()) {
        --point;
        if (point->recovered_at != NO_SAMPLE && !shown_before(index.track(), sample, point->recovered_at)) {
            return point->sample;
        }
    }
    return points.empty() ? 0 : points.front().sample;
}

// The last sample of the frame that begins at `sample`: its second field.
std::uint32_t frame_end(const Track& track, std::uint32_t sample) {
    std::uint32_t end = sample;
    while (end + 1 < track.samples.size()) {
        const std::uint16_t flags = track.samples[end + 1].flags;
        if ((flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_PICTURE) == 0 || (flags & SAMPLE_FRAME_START) != 0) {
            break;
        }
        ++end;
    }
    return end;
}

const RandomAccessPoint* point_at(const VideoIndex& index, std::uint32_t sample) {
    const auto& points = index.random_access_points();
    const auto point = std::lower_bound(points.begin(), points.end(), sample,
                                        [](const RandomAccessPoint& p, std::uint32_t s) { return p.sample < s; });
    return point != points.end() && point->sample == sample ? &*point : nullptr;
}

}  // namespace

Outcome<std::unique_ptr<FramePlan>> FramePlan::make(VideoIndex& index, std::span<const std::uint64_t> frames) {
    std::unique_ptr<FramePlan> plan(new FramePlan(index));
    const std::lock_guard lock(index.learning());
    std::map<std::uint32_t, std::size_t> job_of_start;
    for (std::size_t slot = 0; slot < frames.size(); ++slot) {
        if (frames[slot] >= index.frame_count()) {
            return fail("frame index " + std::to_string(frames[slot]) + " is out of range: '" + index.path() +
                        "' has " + std::to_string(index.frame_count()) + " frames");
        }
        const std::uint32_t start = start_for(index, index.sample_of_frame(frames[slot]));
        auto [entry, added] = job_of_start.try_emplace(start, plan->jobs_.size());
        if (added) {
            plan->jobs_.emplace_back().start = start;
        }
        Job& job = plan->jobs_[entry->second];
        job.slots.push_back(slot);
        job.frames.push_back(frames[slot]);
    }
    return plan;
}

std::string FramePlan::frames_text(const Job& job) const {
    const auto [low, high] = std::minmax_element(job.frames.begin(), job.frames.end());
    const std::string range = *low == *high ? "frame " + std::to_string(*low)
                                            : "frames " + std::to_string(*low) + "-" + std::to_string(*high);
    return "'" + index_.path() + "': " + range;
}

// The library names a packet by its place in the request, which means
// nothing to whoever asked for frames: say which frame's picture it held.
std::string FramePlan::with_frames_for_packets(std::string_view failure, const Job& job) const {
    static constexpr std::string_view PACKET = "H.264 packet ";
    std::string text(failure);
    for (std::size_t at = text.find(PACKET); at != std::string::npos; at = text.find(PACKET, at + 1)) {
        std::size_t end = at + PACKET.size();
        std::uint64_t packet = 0;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0 && packet < UINT32_MAX) {
            packet = packet * 10 + static_cast<std::uint64_t>(text[end++] - '0');
        }
        if (end == at + PACKET.size() || packet >= job.packet_samples.size()) {
            continue;
        }
        const std::uint32_t sample = job.packet_samples[packet];
        const auto frame = index_.frame_of_sample(sample);
        text.replace(at, end - at, frame ? "the H.264 picture of frame " + std::to_string(*frame)
                                         : "the H.264 picture of sample " + std::to_string(sample) +
                                               " (decoded for later frames, never shown)");
    }
    return text;
}

Outcome<void> FramePlan::prepare(std::size_t number, RuntimeDecodeRequest& request) {
    Job& job = jobs_[number];
    Track& track = index_.track();
    std::vector<ByteVector> bytes;
    std::uint32_t last_needed = 0;
    std::uint32_t last = 0;
    // Where the bytes read begin: the start, or before it once learning
    // moved the start back past what was read.
    std::uint32_t first_read = job.start;
    // The last sample the asked frames need, and the last one the request
    // reads. From an IDR picture, every picture decoded is shown, also those
    // drained at the end. From another start, only those decoded once the
    // recovery point has been shown, and the recovery point leaves the
    // reorder buffer only after a few more pictures: so the request runs at
    // least a padding past the recovery point (as if it were the last picture
    // needed), and from there on it needs no more than after an IDR picture.
    // Call with the learning lock held.
    const auto request_end = [&] {
        std::uint32_t needed = 0;
        for (const std::uint64_t frame : job.frames) {
            needed = std::max(needed, frame_end(track, index_.sample_of_frame(frame)));
        }
        if ((track.samples[job.start].flags & SAMPLE_IDR) != 0) {
            return std::pair{needed, needed};
        }
        const RandomAccessPoint* point = point_at(index_, job.start);
        const std::uint32_t shown_from =
            point != nullptr && point->recovered_at != NO_SAMPLE ? point->recovered_at : job.start;
        // Pictures the loop below may leave out do not push others out of the buffer.
        const auto left_out = [&](std::uint32_t sample) {
            const std::uint16_t flags = track.samples[sample].flags;
            return sample <= needed && (flags & SAMPLE_ANALYSED) != 0 &&
                   (flags & (SAMPLE_REFERENCE | SAMPLE_PARAMETER_SETS)) == 0;
        };
        return std::pair{needed, std::max(needed, index_.padded_end(shown_from, shown_from, left_out))};
    };
    {
        const std::lock_guard lock(index_.learning());
        std::tie(last_needed, last) = request_end();
    }
    for (;;) {
        std::vector<std::uint32_t> range(last - first_read + 1);
        for (std::uint32_t i = 0; i < range.size(); ++i) {
            range[i] = first_read + i;
        }
        bytes.assign(range.size(), {});
        auto read = track.read_samples(range, [&](std::uint32_t sample, std::span<const std::uint8_t> data) {
            bytes[sample - first_read].assign(data.begin(), data.end());
            return Outcome<void>{};
        });
        if (!read) {
            return read;
        }
        if (index_.lazily_analysed()) {
            std::vector<std::span<const std::uint8_t>> spans(bytes.begin(), bytes.end());
            if (auto learnt = learn_group(index_, first_read, spans); !learnt) {
                return learnt;
            }
        }
        // What was learnt may move the start earlier (a key frame that is no
        // random access point, or one that recovers later than assumed), and
        // where the request ends: a start now known to be an IDR picture needs
        // no padding, a frame now known to span several samples needs them all.
        const std::lock_guard lock(index_.learning());
        std::uint32_t start = job.start;
        for (const std::uint64_t frame : job.frames) {
            start = std::min(start, start_for(index_, index_.sample_of_frame(frame)));
        }
        const bool same_start = start == job.start;
        job.start = start;
        const auto [learnt_needed, learnt_last] = request_end();
        if (same_start && learnt_last <= last) {
            last_needed = learnt_needed;
            last = learnt_last;
            bytes.resize(last - first_read + 1);
            break;
        }
        // A start before what was read is a key frame not yet read: the next
        // read reaches at least twice as far back, so a long run of key
        // frames the stream does not bear out (a file without a sync sample
        // table) costs reads that add up to a few times the group, not the
        // square of its length.
        if (start < first_read) {
            first_read = std::min(start, first_read - std::min(first_read, last - first_read + 1));
        }
        last_needed = learnt_needed;
        last = learnt_last;
    }

    const std::lock_guard lock(index_.learning());
    const RandomAccessPoint* point = point_at(index_, job.start);
    const std::uint32_t recovered_at = point != nullptr && point->recovered_at != NO_SAMPLE ? point->recovered_at
                                                                                             : job.start;
    const std::set<std::uint32_t> asked_samples = [&] {
        std::set<std::uint32_t> samples;
        for (const std::uint64_t frame : job.frames) {
            samples.insert(index_.sample_of_frame(frame));
        }
        return samples;
    }();

    // Every reference picture goes, and the asked ones; a picture nothing
    // refers to that is not asked for is left out. Units outside pictures
    // (SEI, parameter sets) travel with the next picture sent. Near a
    // damaged or cut sample everything goes: how FFmpeg conceals damage
    // depends on what it decoded just before.
    bool keep_all = job.keep_all || last + 1 == track.samples.size();
    for (std::uint32_t sample = job.start; sample <= last && !keep_all; ++sample) {
        keep_all = (track.samples[sample].flags & SAMPLE_TRUNCATED) != 0;
    }
    std::vector<std::uint32_t> sent_frames;
    job.packet_samples.clear();
    job.left_out = false;
    RequestPackets builder(track, index_.request_byte_limit(), index_.header(point != nullptr ? point->header : 0),
                           track.samples[job.start].description);
    bool frame_asked = false;
    for (std::uint32_t sample = job.start; sample <= last; ++sample) {
        const TrackSample& entry = track.samples[sample];
        const bool picture = is_picture(entry.flags);
        if (picture && starts_frame(entry.flags)) {
            frame_asked = asked_samples.contains(sample);
        }
        const bool needed = keep_all || !picture || frame_asked || sample > last_needed ||
                            (entry.flags & SAMPLE_ANALYSED) == 0 ||
                            (entry.flags & (SAMPLE_REFERENCE | SAMPLE_PARAMETER_SETS)) != 0;
        if (!needed) {
            job.left_out = true;
            continue;
        }
        if (!builder.add(entry, bytes[sample - first_read])) {
            job.packets = {};
            return fail(frames_text(job) + " cannot be decoded: their request would hold more than " +
                        std::to_string(index_.request_byte_limit()) +
                        " bytes, out of proportion to the file (its sample descriptions change often, each with "
                        "its parameter sets)");
        }
        if (!picture) {
            continue;
        }
        if (starts_frame(entry.flags)) {
            sent_frames.push_back(sample);
        }
        builder.end_packet();
        job.packet_samples.push_back(sample);
    }
    job.packets = builder.take();
    bytes = {};

    // The decoder returns the pictures sent in presentation order, without
    // those it shows only from the recovery point on.
    std::sort(sent_frames.begin(), sent_frames.end(),
              [&](std::uint32_t a, std::uint32_t b) { return shown_before(track, a, b); });
    const auto dropped = static_cast<std::uint64_t>(
        std::count_if(sent_frames.begin(), sent_frames.end(),
                      [&](std::uint32_t sample) { return shown_before(track, sample, recovered_at); }));
    job.expected = sent_frames.size() - dropped;
    job.position_of_slot.clear();
    for (const std::uint64_t frame : job.frames) {
        const std::uint32_t sample = index_.sample_of_frame(frame);
        // The container's index listed it as a picture; its bytes say not.
        if (!starts_frame(track.samples[sample].flags)) {
            return fail(frames_text(job) + " cannot be decoded: the sample of frame " + std::to_string(frame) +
                        " holds no picture");
        }
        const auto rank = static_cast<std::uint64_t>(
            std::lower_bound(sent_frames.begin(), sent_frames.end(), sample,
                             [&](std::uint32_t a, std::uint32_t b) { return shown_before(track, a, b); }) -
            sent_frames.begin());
        if (rank < dropped) {
            return fail(frames_text(job) + " cannot be decoded: no random access point before them shows them");
        }
        job.position_of_slot.push_back(rank - dropped);
    }
    std::set<std::uint64_t> positions(job.position_of_slot.begin(), job.position_of_slot.end());
    if (job.expected > 0) {
        positions.insert(job.expected - 1);
    }
    positions.insert(job.expected);
    job.positions.assign(positions.begin(), positions.end());

    job.runtime_packets.clear();
    for (const ByteVector& packet : job.packets) {
        job.runtime_packets.push_back(RuntimePacket{packet.data(), packet.size()});
    }
    request.packets = job.runtime_packets.data();
    request.packet_count = job.runtime_packets.size();
    request.selected_positions = job.positions.data();
    request.selected_position_count = job.positions.size();
    return {};
}

Outcome<FramePlan::Verdict> FramePlan::finish(std::size_t number, bool decoded, std::uint64_t frame_count,
                                              std::span<std::uint64_t> frame_of_slot,
                                              std::string_view decode_failure, bool concealed) {
    Job& job = jobs_[number];
    job.packets = {};
    job.runtime_packets = {};
    if (!decoded) {
        return fail(frames_text(job) + " could not be decoded" +
                    (decode_failure.empty() ? std::string() : ": " + with_frames_for_packets(decode_failure, job)));
    }
    // Every asked position below `expected` must come back, and nothing else.
    const auto wanted = static_cast<std::uint64_t>(
        std::count_if(job.positions.begin(), job.positions.end(), [&](std::uint64_t p) { return p < job.expected; }));
    if (frame_count == wanted && concealed && job.left_out) {
        job.keep_all = true;
        return Verdict::Again;
    }
    if (frame_count == wanted) {
        for (std::size_t k = 0; k < job.position_of_slot.size() && k < frame_of_slot.size(); ++k) {
            frame_of_slot[k] = static_cast<std::uint64_t>(
                std::lower_bound(job.positions.begin(), job.positions.end(), job.position_of_slot[k]) -
                job.positions.begin());
        }
        return Verdict::Done;
    }
    // A start the decoder does not recover from as the index expected (a key
    // frame FFmpeg's recovery rules do not honour alone): try again from the
    // point before it, a few times at most.
    if (job.retries < MAX_RETRIES) {
        const std::lock_guard lock(index_.learning());
        const auto& points = index_.random_access_points();
        const auto point = std::lower_bound(points.begin(), points.end(), job.start,
                                            [](const RandomAccessPoint& p, std::uint32_t s) { return p.sample < s; });
        if (point != points.begin()) {
            job.start = std::prev(point)->sample;
            ++job.retries;
            return Verdict::Again;
        }
    }
    return fail(frames_text(job) + " decoded to " + (frame_count < wanted ? "fewer" : "more") + " pictures than the " +
                std::to_string(job.expected) +
                " the index expects; they are not returned, as they could not be matched to their indices");
}

}  // namespace pytovrik::file
