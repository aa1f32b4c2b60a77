#include "group_learning.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_set>

namespace pytovrik::file {

namespace {

// Each header the store keeps costs a reference per unit in force, up to
// 32 SPS and 256 PPS: a stream may change one at every random access point,
// but the headers may not cost more than a fraction of its samples' bytes.
constexpr std::uint64_t SAMPLE_BYTES_PER_HEADER_UNIT = 8;
constexpr std::uint64_t MIN_HEADER_UNITS = 4096;

// Where decoding can start cleanly: an IDR picture, a recovery point SEI
// (its recovery frame count honoured by RecoveryTracker), an intra picture
// that clears every reference, or an intra picture the container's own index
// calls a sync sample. An intra picture libavformat's parser flags, or one in
// a file whose index states no sync samples, is none: later pictures may
// still refer to pictures before it, and a request from there would show
// pictures no whole decode shows.
bool is_random_access_point(std::uint16_t container_flags, const SampleFacts& facts) {
    if ((facts.flags & SAMPLE_PICTURE) == 0) {
        return false;
    }
    if ((facts.flags & (SAMPLE_IDR | SAMPLE_RECOVERY_POINT)) != 0) {
        return true;
    }
    return (facts.flags & SAMPLE_INTRA) != 0 &&
           (facts.clears_references || (container_flags & SAMPLE_SYNC_STATED) != 0);
}

// Analyses one sample with the description in force; a sample naming no
// description the track has is read as Annex B.
SampleFacts analyse_sample(StreamAnalyser& analyser, DescriptionInForce& description, const Track& track,
                           const TrackSample& entry, std::span<const std::uint8_t> bytes) {
    const auto length_size = description.enter(
        track, entry, [&](std::span<const ByteVector> sets) { analyser.use_parameter_sets(sets); });
    return analyser.analyse(bytes, length_size.value_or(0));
}

}  // namespace

Outcome<std::uint32_t> HeaderStore::add(StreamHeader header, std::uint64_t sample_bytes) {
    const std::uint64_t hash = header.hash();
    const auto [first, last] = by_hash_.equal_range(hash);
    for (auto known = first; known != last; ++known) {
        if (headers_[known->second] == header) {
            return known->second;
        }
    }
    units_ += header.units.size();
    if (units_ > std::max(MIN_HEADER_UNITS, sample_bytes / SAMPLE_BYTES_PER_HEADER_UNIT)) {
        return fail("'" + name_ + "': its parameter sets change at more than " + std::to_string(headers_.size()) +
                    " random access points, too often for its " + std::to_string(sample_bytes) +
                    " bytes of samples");
    }
    const auto index = static_cast<std::uint32_t>(headers_.size());
    headers_.push_back(std::move(header));
    by_hash_.emplace(hash, index);
    return index;
}

std::uint64_t HeaderStore::bytes() const {
    std::uint64_t bytes = 0;
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

void RecoveryTracker::see(std::uint32_t sample, const SampleFacts& facts, std::vector<RandomAccessPoint>& points) {
    if (open_ && (facts.flags & SAMPLE_PICTURE) != 0 && (facts.flags & SAMPLE_REFERENCE) != 0 &&
        facts.frame_num == open_->frame_num) {
        for (auto point = points.rbegin(); point != points.rend(); ++point) {
            if (point->sample == open_->point_sample) {
                point->recovered_at = sample;
                break;
            }
        }
        open_.reset();
    }
    if ((facts.flags & SAMPLE_IDR) != 0) {
        open_.reset();
    }
}

std::uint32_t RecoveryTracker::recovered_at(std::uint32_t sample, const SampleFacts& facts,
                                            std::uint32_t max_frame_num) {
    const bool waits = (facts.flags & SAMPLE_IDR) == 0 && (facts.flags & SAMPLE_RECOVERY_POINT) != 0 &&
                       (facts.recovery_frame_count > 0 || (facts.flags & SAMPLE_REFERENCE) == 0);
    if (!waits) {
        return sample;
    }
    open_ = Open{sample, (facts.frame_num + facts.recovery_frame_count) % max_frame_num};
    return NO_SAMPLE;
}

Outcome<void> SampleLearner::see(const Track& track, std::uint32_t sample, std::span<const std::uint8_t> bytes) {
    if (sample != learnt_.flags.size() || sample >= track.samples.size()) {
        return fail("'" + name_ + "': samples were read out of order");
    }
    const TrackSample& entry = track.samples[sample];
    if (entry.description >= track.descriptions.size()) {
        return fail("'" + name_ + "': sample " + std::to_string(sample) + " names no sample description");
    }
    // A scan learns before the index knows the track: what the headers may
    // cost grows with the samples seen.
    bytes_seen_ += bytes.size();
    const SampleFacts facts = analyse_sample(analyser_, description_, track, entry, bytes);
    learnt_.flags.push_back(facts.flags);
    learnt_.orders.push_back(facts.order.value_or(UNKNOWN_ORDER));
    recovery_.see(sample, facts, learnt_.points);
    if (is_random_access_point(entry.flags, facts)) {
        auto header = headers_.add(analyser_.header(), std::max(sample_bytes_, bytes_seen_));
        if (!header) {
            return propagate(header);
        }
        learnt_.points.push_back(RandomAccessPoint{
            sample, recovery_.recovered_at(sample, facts, analyser_.max_frame_num()), *header, true});
    }
    return {};
}

LearntSamples SampleLearner::finish() {
    // A point whose recovery never comes shows nothing.
    std::erase_if(learnt_.points, [](const RandomAccessPoint& point) { return point.recovered_at == NO_SAMPLE; });
    return std::move(learnt_);
}

Outcome<LearntSamples> SampleLearner::read_every_sample(Track& track) {
    std::vector<std::uint32_t> all(track.samples.size());
    std::iota(all.begin(), all.end(), 0U);
    auto read = track.read_samples(all, [&](std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        return see(track, sample, bytes);
    });
    if (!read) {
        return propagate(read);
    }
    return finish();
}

Outcome<LearntSamples> SampleLearner::read_first_sample(Track& track) {
    const std::uint32_t first = 0;
    auto read = track.read_samples(std::span(&first, 1), [&](std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        return see(track, sample, bytes);
    });
    if (!read) {
        return propagate(read);
    }
    learnt_.base_analysis = analyser_;
    auto header = headers_.add(analyser_.header(), sample_bytes_);
    if (!header) {
        return propagate(header);
    }
    // A sample the file's end cuts may hold no whole unit, so no picture:
    // read those few now, as the frame count depends on them.
    std::vector<std::uint32_t> cut;
    for (std::uint32_t sample = 1; sample < track.samples.size(); ++sample) {
        if ((track.samples[sample].flags & SAMPLE_TRUNCATED) != 0) {
            cut.push_back(sample);
        }
    }
    auto read_cut = track.read_samples(cut, [&](std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        StreamAnalyser analyser = learnt_.base_analysis;
        DescriptionInForce description;
        learnt_.flags.resize(std::max<std::size_t>(learnt_.flags.size(), sample + 1), 0);
        learnt_.flags[sample] = analyse_sample(analyser, description, track, track.samples[sample], bytes).flags;
        return Outcome<void>{};
    });
    if (!read_cut) {
        return propagate(read_cut);
    }
    learnt_.orders.clear();
    for (std::uint32_t sample = 1; sample < track.samples.size(); ++sample) {
        if ((track.samples[sample].flags & SAMPLE_KEY) != 0) {
            learnt_.points.push_back(RandomAccessPoint{sample, sample, *header, false});
        }
    }
    return finish();
}

Outcome<LearntGroup> learn_group(const Track& track, const StreamAnalyser& base, HeaderStore& headers,
                                 std::uint64_t sample_bytes, std::uint32_t first,
                                 std::span<const std::span<const std::uint8_t>> bytes) {
    StreamAnalyser analyser = base;
    DescriptionInForce description;
    RecoveryTracker recovery;
    LearntGroup learnt{first, {}, {}};
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const auto sample = static_cast<std::uint32_t>(first + k);
        const TrackSample& entry = track.samples[sample];
        const SampleFacts facts = analyse_sample(analyser, description, track, entry, bytes[k]);
        learnt.flags.push_back(facts.flags);
        recovery.see(sample, facts, learnt.points);
        if (!is_random_access_point(entry.flags, facts)) {
            continue;
        }
        auto header = headers.add(analyser.header(), sample_bytes);
        if (!header) {
            return propagate(header);
        }
        learnt.points.push_back(
            RandomAccessPoint{sample, recovery.recovered_at(sample, facts, analyser.max_frame_num()), *header, true});
    }
    return learnt;
}

}  // namespace pytovrik::file
