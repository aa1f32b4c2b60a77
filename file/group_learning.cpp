#include "group_learning.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <numeric>

namespace pytovrik::file {

namespace {

constexpr std::int64_t UNKNOWN_ORDER = std::numeric_limits<std::int64_t>::min();

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

}  // namespace

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
    if (sample != flags_.size() || sample >= track.samples.size()) {
        return fail("'" + index_.path() + "': samples were read out of order");
    }
    const TrackSample& entry = track.samples[sample];
    if (entry.description >= track.descriptions.size()) {
        return fail("'" + index_.path() + "': sample " + std::to_string(sample) + " names no sample description");
    }
    if (entry.description != description_) {
        description_ = entry.description;
        analyser_.use_parameter_sets(track.descriptions[description_].parameter_sets);
    }
    // A scan learns before the index knows the track: what the headers may
    // cost grows with the samples seen.
    bytes_seen_ += bytes.size();
    index_.sample_bytes_ = std::max(index_.sample_bytes_, bytes_seen_);
    const SampleFacts facts = analyser_.analyse(bytes, track.descriptions[description_].length_size);
    flags_.push_back(facts.flags);
    orders_.push_back(facts.order.value_or(UNKNOWN_ORDER));
    recovery_.see(sample, facts, points_);
    if (is_random_access_point(entry.flags, facts)) {
        auto header = index_.add_header(analyser_.header());
        if (!header) {
            return std::unexpected(std::move(header.error()));
        }
        points_.push_back(RandomAccessPoint{sample, recovery_.recovered_at(sample, facts, analyser_.max_frame_num()),
                                            *header, true});
    }
    return {};
}

void SampleLearner::finish() {
    std::vector<TrackSample>& samples = index_.track_->samples;
    for (std::size_t i = 0; i < flags_.size() && i < samples.size(); ++i) {
        samples[i].flags |= flags_[i];
    }
    // A point whose recovery never comes shows nothing.
    std::erase_if(points_, [](const RandomAccessPoint& point) { return point.recovered_at == NO_SAMPLE; });
    index_.points_ = std::move(points_);
    index_.picture_orders_ = std::move(orders_);
    flags_ = {};
}

Outcome<void> SampleLearner::read_every_sample() {
    Track& track = *index_.track_;
    std::vector<std::uint32_t> all(track.samples.size());
    std::iota(all.begin(), all.end(), 0U);
    auto read = track.read_samples(all, [&](std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        return see(track, sample, bytes);
    });
    if (!read) {
        return read;
    }
    finish();
    return {};
}

Outcome<void> SampleLearner::read_first_sample() {
    Track& track = *index_.track_;
    const std::uint32_t first = 0;
    auto read = track.read_samples(std::span(&first, 1), [&](std::uint32_t sample, std::span<const std::uint8_t> bytes) {
        return see(track, sample, bytes);
    });
    if (!read) {
        return read;
    }
    index_.base_analysis_ = analyser_;
    auto header = index_.add_header(analyser_.header());
    if (!header) {
        return std::unexpected(std::move(header.error()));
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
        StreamAnalyser analyser = index_.base_analysis_;
        const SampleDescription& description = track.descriptions[track.samples[sample].description];
        analyser.use_parameter_sets(description.parameter_sets);
        flags_.resize(std::max<std::size_t>(flags_.size(), sample + 1), 0);
        flags_[sample] = analyser.analyse(bytes, description.length_size).flags;
        return Outcome<void>{};
    });
    if (!read_cut) {
        return read_cut;
    }
    orders_.clear();
    for (std::uint32_t sample = 1; sample < track.samples.size(); ++sample) {
        if ((track.samples[sample].flags & SAMPLE_KEY) != 0) {
            points_.push_back(RandomAccessPoint{sample, sample, *header, false});
        }
    }
    finish();
    return {};
}

Outcome<void> learn_group(VideoIndex& index, std::uint32_t first,
                          std::span<const std::span<const std::uint8_t>> bytes) {
    const std::lock_guard lock(index.learning());
    Track& track = index.track();
    StreamAnalyser analyser = index.base_analysis();
    RecoveryTracker recovery;
    std::vector<RandomAccessPoint>& points = index.random_access_points();
    auto point_index = [&](std::uint32_t sample) {
        return std::lower_bound(points.begin(), points.end(), sample,
                                [](const RandomAccessPoint& point, std::uint32_t s) { return point.sample < s; }) -
               points.begin();
    };
    // The points of the samples read replace the ones listed for them, in
    // one splice: a run of key frames the stream does not bear out would
    // otherwise cost a shift of every later point each.
    const auto listed_begin = point_index(first);
    const auto listed_end = point_index(static_cast<std::uint32_t>(first + bytes.size()));
    std::vector<RandomAccessPoint> learnt;
    std::uint32_t description = UINT32_MAX;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const auto sample = static_cast<std::uint32_t>(first + k);
        TrackSample& entry = track.samples[sample];
        if (entry.description != description && entry.description < track.descriptions.size()) {
            description = entry.description;
            analyser.use_parameter_sets(track.descriptions[description].parameter_sets);
        }
        const std::uint8_t length_size =
            description < track.descriptions.size() ? track.descriptions[description].length_size : 0;
        const SampleFacts facts = analyser.analyse(bytes[k], length_size);
        entry.flags = static_cast<std::uint16_t>((entry.flags & SAMPLE_CONTAINER_FLAGS) | facts.flags);
        recovery.see(sample, facts, learnt);
        if (!is_random_access_point(entry.flags, facts)) {
            // The file's first point stays whatever its sample holds.
            if (sample == 0 && listed_begin != listed_end && points[0].sample == 0) {
                learnt.push_back(points[0]);
            }
            continue;
        }
        auto header = index.add_header(analyser.header());
        if (!header) {
            return std::unexpected(std::move(header.error()));
        }
        learnt.push_back(
            RandomAccessPoint{sample, recovery.recovered_at(sample, facts, analyser.max_frame_num()), *header, true});
    }
    points.erase(points.begin() + listed_begin, points.begin() + listed_end);
    points.insert(points.begin() + listed_begin, learnt.begin(), learnt.end());
    return {};
}

}  // namespace pytovrik::file
