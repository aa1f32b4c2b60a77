#include "scan/demuxed_samples.hpp"

#include <array>
#include <optional>
#include <string>

#include "scan/sample_position.hpp"

namespace pytovrik::file {
namespace {

// Demuxers kept for later calls. Each holds the container's header state
// and one I/O buffer; calls beyond this many at once open their own.
constexpr std::size_t IDLE_DEMUXERS_KEPT = 4;

// Each attempt starts this many samples before the one asked for: a
// demuxer repositioned mid-stream may first give packets that differ from
// the scan's (a parser that starts afresh). The last resort reads from the
// start of the file, as the scan did.
constexpr std::array<std::uint32_t, 4> START_BACKOFF = {0, 4, 32, 256};

// A sample asked for at most this many samples after the last one handed
// over is reached by reading on rather than by repositioning.
constexpr std::uint32_t READ_ON_SAMPLES = 8;

// Read past the position of the packet after a stretch: the demuxer ends a
// packet when the next one begins, a transport packet or a few later.
constexpr std::uint64_t STRETCH_MARGIN_BYTES = 16 << 10;

// Samples ahead of the expected one that a packet is matched against before
// the demuxer has given a packet the scan saw, and packets it may give
// before that.
constexpr std::uint32_t ALIGNMENT_WINDOW = 64;
constexpr std::size_t UNALIGNED_PACKETS_LIMIT = 4096;

// Samples before a sample whose packets share one position (the access
// units of one PES packet, the frames of one Matroska lace) looked back over.
constexpr std::uint32_t SHARED_POSITION_LOOKBACK = 1024;

// A sample read back with pread keeps where its bytes are, not its packet's
// position: passing over it, the size alone has to match.
bool is_packet_of(const TrackSample& sample, const AVPacket& packet) {
    return sample.size == static_cast<std::uint32_t>(packet.size) &&
           (!is_demuxed(sample) || sample.position == demuxed_position(packet.pos));
}

// The first of the samples that share `index`'s packet position: a demuxer
// repositioned there gives that one first.
std::uint32_t first_at_same_position(std::span<const TrackSample> samples, std::uint32_t index) {
    for (std::uint32_t steps = 0; index > 0 && steps < SHARED_POSITION_LOOKBACK; ++steps) {
        if (samples[index - 1].position != samples[index].position) {
            break;
        }
        --index;
    }
    return index;
}

// Reads packets from where the demuxer stands, matching them to samples
// from `cursor` on; hands over the ones in `indices`. Returns how many of
// them it handed over: none when the demuxer did not give indices[0] in
// step with the scan.
Outcome<std::size_t> follow_packets(TrackDemuxer& demuxer, std::span<const TrackSample> samples, std::uint32_t cursor,
                                    std::span<const std::uint32_t> indices, bool from_file_start,
                                    const SampleConsumer& consume) {
    UniqueAVPacket packet(av_packet_alloc());
    if (packet == nullptr) {
        return fail("out of memory reading samples back");
    }
    const std::uint32_t target = indices[0];
    const std::int64_t target_position = packet_position(samples[target]);
    std::size_t delivered = 0;
    std::size_t unaligned = 0;
    bool aligned = false;
    while (demuxer.read_packet(packet.get())) {
        if (!aligned) {
            std::optional<std::uint32_t> match;
            for (std::uint32_t m = cursor; m <= target && m - cursor <= ALIGNMENT_WINDOW; ++m) {
                if (is_packet_of(samples[m], *packet)) {
                    match = m;
                    break;
                }
            }
            if (!match) {
                const bool passed = target_position >= 0 && packet->pos > target_position;
                if (passed || (!from_file_start && ++unaligned > UNALIGNED_PACKETS_LIMIT)) {
                    break;
                }
                continue;
            }
            cursor = *match;
            aligned = true;
        } else if (cursor >= samples.size() || !is_packet_of(samples[cursor], *packet)) {
            break;
        }
        if (cursor == indices[delivered]) {
            const std::span<const std::uint8_t> bytes(packet->data, static_cast<std::size_t>(packet->size));
            if (auto consumed = consume(cursor, bytes); !consumed) {
                return propagate(consumed);
            }
            ++delivered;
            if (delivered == indices.size() || indices[delivered] - cursor > READ_ON_SAMPLES) {
                break;
            }
        }
        ++cursor;
    }
    return delivered;
}

// Where the bytes a stretch reads from `indices[0]` on end, as far as the
// scan's positions tell: the position of the packet after the last sample
// reached by reading on, and a margin for the demuxer to see that packet
// begin. -1 when a position is unknown.
std::int64_t stretch_end(std::span<const TrackSample> samples, std::span<const std::uint32_t> indices) {
    std::size_t last = 0;
    while (last + 1 < indices.size() && indices[last + 1] - indices[last] <= READ_ON_SAMPLES) {
        ++last;
    }
    const std::int64_t next = packet_position(samples[std::min<std::size_t>(indices[last] + 1, samples.size() - 1)]);
    return next >= 0 ? next + static_cast<std::int64_t>(STRETCH_MARGIN_BYTES) : -1;
}

}  // namespace

Outcome<void> DemuxedSamples::read(std::span<const TrackSample> samples, std::span<const std::uint32_t> indices,
                                   const SampleConsumer& consume) {
    auto demuxer = take_demuxer();
    if (!demuxer) {
        return propagate(demuxer);
    }
    while (!indices.empty()) {
        auto delivered = read_stretch(*demuxer, samples, indices, consume);
        if (!delivered) {
            return propagate(delivered);
        }
        indices = indices.subspan(*delivered);
    }
    keep_demuxer(std::move(*demuxer));
    return {};
}

Outcome<std::size_t> DemuxedSamples::read_stretch(std::unique_ptr<TrackDemuxer>& demuxer,
                                                  std::span<const TrackSample> samples,
                                                  std::span<const std::uint32_t> indices,
                                                  const SampleConsumer& consume) {
    const std::uint32_t target = indices[0];
    std::optional<std::uint32_t> tried;
    for (const std::uint32_t backoff : START_BACKOFF) {
        const std::uint32_t start = first_at_same_position(samples, target - std::min(backoff, target));
        if (tried == start) {
            continue;
        }
        tried = start;
        if (!demuxer->seek_near(packet_position(samples[start]), samples[start].pts, stretch_end(samples, indices))) {
            continue;
        }
        auto delivered = follow_packets(*demuxer, samples, start, indices, false, consume);
        if (!delivered || *delivered > 0) {
            return delivered;
        }
        if (!demuxer->read_failure().empty()) {
            return fail(demuxer->read_failure());
        }
    }
    auto fresh = TrackDemuxer::reopen(file_, stream_);
    if (!fresh) {
        return propagate(fresh);
    }
    demuxer = std::move(*fresh);
    auto delivered = follow_packets(*demuxer, samples, 0, indices, true, consume);
    if (!delivered || *delivered > 0) {
        return delivered;
    }
    if (!demuxer->read_failure().empty()) {
        return fail(demuxer->read_failure());
    }
    return fail("'" + file_->path() + "': sample " + std::to_string(target) +
                " cannot be read back: demuxing the file again does not give its packet");
}

Outcome<std::unique_ptr<TrackDemuxer>> DemuxedSamples::take_demuxer() {
    {
        const std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            std::unique_ptr<TrackDemuxer> demuxer = std::move(idle_.back());
            idle_.pop_back();
            return demuxer;
        }
    }
    return TrackDemuxer::reopen(file_, stream_);
}

void DemuxedSamples::keep_demuxer(std::unique_ptr<TrackDemuxer> demuxer) {
    const std::lock_guard lock(mutex_);
    if (idle_.size() < IDLE_DEMUXERS_KEPT && demuxer->read_failure().empty()) {
        idle_.push_back(std::move(demuxer));
    }
}

}  // namespace pytovrik::file
