#include "frame_plan.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <numeric>
#include <set>
#include <utility>

namespace pytovrik::file {

namespace {

// Starts tried before a job gives up: enough for a point FFmpeg does not take
// as one, not so many that a damaged file decodes its whole length per job.
constexpr int MAX_RETRIES = 3;

}  // namespace

Outcome<std::unique_ptr<FramePlan>> FramePlan::make(VideoIndex& index, std::span<const std::uint64_t> frames) {
    std::unique_ptr<FramePlan> plan(new FramePlan(index));
    for (std::size_t slot = 0; slot < frames.size(); ++slot) {
        if (frames[slot] >= index.frame_count()) {
            return fail("frame index " + std::to_string(frames[slot]) + " is out of range: '" + index.path() +
                        "' has " + std::to_string(index.frame_count()) + " frames");
        }
    }
    const std::vector<std::uint32_t> starts = index.starts_of(frames);
    std::map<std::uint32_t, std::size_t> job_of_start;
    for (std::size_t slot = 0; slot < frames.size(); ++slot) {
        auto [entry, added] = job_of_start.try_emplace(starts[slot], plan->jobs_.size());
        if (added) {
            plan->jobs_.emplace_back().start = starts[slot];
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

// Reads the job's samples, and what they teach the index (a file read
// lazily) may move its start earlier (a key frame that is no random access
// point, or one that recovers later than assumed) and where the request ends:
// a start now known to be an IDR picture needs no padding, a frame now known
// to span several samples needs them all.
Outcome<FramePlan::ReadSamples> FramePlan::read_and_learn(Job& job) const {
    ReadSamples read{job.start, index_.reach(job.frames, job.start), {}};
    for (;;) {
        std::vector<std::uint32_t> range(read.reach.last - read.first + 1);
        std::iota(range.begin(), range.end(), read.first);
        read.bytes.assign(range.size(), {});
        auto got = index_.read_samples(range, [&](std::uint32_t sample, std::span<const std::uint8_t> data) {
            read.bytes[sample - read.first].assign(data.begin(), data.end());
            return Outcome<void>{};
        });
        if (!got) {
            return propagate(got);
        }
        std::vector<std::span<const std::uint8_t>> spans(read.bytes.begin(), read.bytes.end());
        if (auto learnt = index_.learn(read.first, spans); !learnt) {
            return propagate(learnt);
        }
        const RequestReach learnt = index_.reach(job.frames, job.start);
        const bool same_start = learnt.start == job.start;
        job.start = learnt.start;
        if (same_start && learnt.last <= read.reach.last) {
            read.reach = learnt;
            read.bytes.resize(read.reach.last - read.first + 1);
            return read;
        }
        // A start before what was read is a key frame not yet read: the next
        // read reaches at least twice as far back, so a long run of key
        // frames the stream does not bear out (a file without a sync sample
        // table) costs reads that add up to a few times the group, not the
        // square of its length.
        if (learnt.start < read.first) {
            read.first = std::min(learnt.start, read.first - std::min(read.first, read.reach.last - read.first + 1));
        }
        read.reach = learnt;
    }
}

// Every reference picture goes, and the asked ones; a picture nothing refers
// to that is not asked for is left out. Units outside pictures (SEI,
// parameter sets) travel with the next picture sent. Near a cut sample
// everything goes, and so it does for a job the library said it concealed
// damage in: how FFmpeg conceals damage depends on what it decoded just
// before. Gives the frames sent, by their first sample.
Outcome<std::vector<std::uint32_t>> FramePlan::choose_samples(Job& job, const ReadSamples& read,
                                                              const RequestView& view) const {
    const Track& track = index_.track();
    const auto flags_of = [&](std::uint32_t sample) { return view.flags[sample - view.start]; };
    bool keep_all = job.keep_all || read.reach.last + 1 == track.samples.size();
    for (std::uint32_t sample = job.start; sample <= read.reach.last && !keep_all; ++sample) {
        keep_all = (flags_of(sample) & SAMPLE_TRUNCATED) != 0;
    }
    std::set<std::uint32_t> asked_samples;
    for (const std::uint64_t frame : job.frames) {
        asked_samples.insert(index_.sample_of_frame(frame));
    }
    std::vector<std::uint32_t> sent_frames;
    job.packet_samples.clear();
    job.left_out = false;
    RequestPackets builder(track, index_.request_byte_limit(), view.header, track.samples[job.start].description);
    bool frame_asked = false;
    for (std::uint32_t sample = job.start; sample <= read.reach.last; ++sample) {
        const std::uint16_t flags = flags_of(sample);
        const bool picture = is_picture(flags);
        if (picture && starts_frame(flags)) {
            frame_asked = asked_samples.contains(sample);
        }
        const bool needed = keep_all || !picture || frame_asked || sample > read.reach.last_needed ||
                            (flags & SAMPLE_ANALYSED) == 0 || (flags & (SAMPLE_REFERENCE | SAMPLE_PARAMETER_SETS)) != 0;
        if (!needed) {
            job.left_out = true;
            continue;
        }
        if (!builder.add(track.samples[sample], read.bytes[sample - read.first])) {
            return fail(frames_text(job) + " cannot be decoded: their request would hold more than " +
                        std::to_string(index_.request_byte_limit()) +
                        " bytes, out of proportion to the file (its sample descriptions change often, each with "
                        "its parameter sets)");
        }
        if (!picture) {
            continue;
        }
        if (starts_frame(flags)) {
            sent_frames.push_back(sample);
        }
        builder.end_packet();
        job.packet_samples.push_back(sample);
    }
    job.packets = builder.take();
    return sent_frames;
}

// The decoder returns the pictures sent in presentation order, without
// those it shows only from the recovery point on: each asked frame's place
// among them is its position, and the request also asks for the last
// picture it should yield and the one after it, so that exactly the first
// coming back confirms the count.
Outcome<void> FramePlan::match_pictures(Job& job, std::vector<std::uint32_t> sent_frames,
                                        std::uint32_t recovered_at) const {
    const auto before = [&](std::uint32_t a, std::uint32_t b) { return index_.shown_before(a, b); };
    std::sort(sent_frames.begin(), sent_frames.end(), before);
    const auto dropped = static_cast<std::uint64_t>(std::count_if(
        sent_frames.begin(), sent_frames.end(), [&](std::uint32_t sample) { return before(sample, recovered_at); }));
    job.expected = sent_frames.size() - dropped;
    job.position_of_slot.clear();
    for (const std::uint64_t frame : job.frames) {
        const std::uint32_t sample = index_.sample_of_frame(frame);
        // The container's index listed it as a picture; its bytes say not.
        if (!std::binary_search(sent_frames.begin(), sent_frames.end(), sample, before)) {
            return fail(frames_text(job) + " cannot be decoded: the sample of frame " + std::to_string(frame) +
                        " holds no picture");
        }
        const auto rank = static_cast<std::uint64_t>(
            std::lower_bound(sent_frames.begin(), sent_frames.end(), sample, before) - sent_frames.begin());
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
    return {};
}

Outcome<void> FramePlan::prepare(std::size_t number, RuntimeDecodeRequest& request) {
    Job& job = jobs_[number];
    auto read = read_and_learn(job);
    if (!read) {
        return propagate(read);
    }
    const RequestView view = index_.view(job.start, read->reach.last);
    auto sent_frames = choose_samples(job, *read, view);
    if (!sent_frames) {
        job.packets = {};
        return propagate(sent_frames);
    }
    read = {};
    if (auto matched = match_pictures(job, std::move(*sent_frames), view.recovered_at); !matched) {
        return matched;
    }
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
        if (const auto earlier = index_.point_before(job.start)) {
            job.start = *earlier;
            ++job.retries;
            return Verdict::Again;
        }
    }
    return fail(frames_text(job) + " decoded to " + (frame_count < wanted ? "fewer" : "more") + " pictures than the " +
                std::to_string(job.expected) +
                " the index expects; they are not returned, as they could not be matched to their indices");
}

}  // namespace pytovrik::file
