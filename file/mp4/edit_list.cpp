#include "mp4/edit_list.hpp"

#include <limits>
#include <optional>
#include <string>

#include "mp4/wrapping_math.hpp"

namespace pytovrik::file::mp4 {
namespace {

// More edits than this are never the reproduced shape anyway.
constexpr std::int64_t MAX_EDITS = 64;
constexpr std::uint32_t NORMAL_RATE = 0x00010000;

struct KeyBefore {
    std::size_t index = 0;
    std::size_t offset_index = 0;  // first composition offset the edit uses
};

// ff_index_search_timestamp, searching backwards over decode times.
std::int64_t search_decode_time(std::span<const TrackSample> samples, std::int64_t wanted, bool any) {
    const auto count = static_cast<std::int64_t>(samples.size());
    std::int64_t a = -1;
    std::int64_t b = count;
    if (b > 0 && samples[static_cast<std::size_t>(b - 1)].pts < wanted) {
        a = b - 1;
    }
    while (b - a > 1) {
        std::int64_t m = (a + b) >> 1;
        while ((samples[static_cast<std::size_t>(m)].flags & SAMPLE_DISCARD) != 0 && m < b && m < count - 1) {
            ++m;
            if (m == b && samples[static_cast<std::size_t>(m)].pts >= wanted) {
                m = b - 1;
                break;
            }
        }
        const std::int64_t time = samples[static_cast<std::size_t>(m)].pts;
        if (time >= wanted) {
            b = m;
        }
        if (time <= wanted) {
            a = m;
        }
    }
    std::int64_t m = a;
    if (!any) {
        while (m >= 0 && m < count && (samples[static_cast<std::size_t>(m)].flags & SAMPLE_KEY) == 0) {
            --m;
        }
    }
    return m == count ? -1 : m;
}

// find_prev_closest_index: the key frame at or before `media_time` whose
// presentation time is not past it.
std::optional<KeyBefore> find_key_before(const SampleIndex& index, std::int64_t media_time, bool any) {
    std::int64_t wanted = media_time;
    if (index.dts_shift > 0) {
        wanted = wrapping_sub(wanted, index.dts_shift);
    }
    const std::span<const TrackSample> samples = index.samples;
    std::int64_t found = search_decode_time(samples, wanted, any);
    if (found >= 0) {
        for (std::int64_t i = found;
             i > 0 && samples[static_cast<std::size_t>(i)].pts == samples[static_cast<std::size_t>(i - 1)].pts; --i) {
            if (any || (samples[static_cast<std::size_t>(i - 1)].flags & SAMPLE_KEY) != 0) {
                found = i - 1;
            }
        }
    }
    std::int64_t offset_index = 0;
    if (index.has_offset_table && found >= 0) {
        const auto covered = static_cast<std::int64_t>(index.offsets.size());
        offset_index = std::min(found, covered);
        while (found >= 0 && offset_index >= 0 && offset_index < covered) {
            const TrackSample& sample = samples[static_cast<std::size_t>(found)];
            if (wrapping_add(sample.pts, index.offsets[static_cast<std::size_t>(offset_index)]) <= wanted &&
                (sample.flags & SAMPLE_KEY) != 0) {
                break;
            }
            --found;
            --offset_index;
        }
    }
    if (found < 0) {
        return std::nullopt;
    }
    return KeyBefore{static_cast<std::size_t>(found), static_cast<std::size_t>(offset_index)};
}

}  // namespace

Mp4Outcome<std::vector<Edit>> read_edit_list(const FileBytes& file, const Box& elst) {
    auto payload = read_payload_head(file, elst, 8 + MAX_EDITS * 20 + 20);
    if (!payload) {
        return halt(payload.error());
    }
    FieldReader fields(*payload);
    const std::uint8_t version = fields.u8();
    fields.skip(3);
    std::int64_t count = static_cast<std::int32_t>(fields.u32());
    if (fields.overrun()) {
        return halt(malformed(file, "the edit list at byte " + std::to_string(elst.offset) + " is too short").error());
    }
    const std::int64_t entry_size = version == 1 ? 20 : 12;
    const auto table_size = static_cast<std::int64_t>(elst.payload_size() - 8);
    if (table_size != count * entry_size) {
        count = table_size / entry_size;  // libavformat believes the box size
    }
    if (count > MAX_EDITS) {
        return fall_back("the edit list has " + std::to_string(count) + " entries");
    }
    std::vector<Edit> edits;
    bool shows_media = false;
    for (std::int64_t i = 0; i < count; ++i) {
        Edit edit;
        if (version == 1) {
            edit.duration = static_cast<std::int64_t>(fields.u64());
            edit.media_time = static_cast<std::int64_t>(fields.u64());
        } else {
            edit.duration = fields.u32();
            edit.media_time = static_cast<std::int32_t>(fields.u32());
        }
        const std::uint32_t rate = fields.u32();
        if (edit.duration < 0) {
            return halt(malformed(file, "edit " + std::to_string(i + 1) + " has a negative duration").error());
        }
        if (rate != NORMAL_RATE) {
            return fall_back("edit " + std::to_string(i + 1) + " has a rate other than 1");
        }
        if (shows_media) {
            return fall_back("the edit list has more than one edit after its empty ones");
        }
        shows_media = edit.media_time != -1;
        edits.push_back(edit);
    }
    return edits;
}

namespace {

// One pass over a track's samples, rewriting them in place: the kept ones
// are a run of the old ones, in order, so the write position never passes
// the read position.
class EditPass {
public:
    explicit EditPass(SampleIndex& index)
        : index_(index), samples_(index.samples), old_count_(index.samples.size()),
          covered_(index.offsets.size()), shift_(index.dts_shift) {}

    // The samples one edit shows (and those around it a decoder needs), from
    // the key frame before its start; `counter` is where the edit starts on
    // the track's timeline.
    void take_edit(std::int64_t counter, std::int64_t duration, std::int64_t media_time);
    // Cuts the samples to those kept, and moves the times so that the first
    // shown starts at the first edit's (empty edits before it included).
    void finish(std::int64_t empty_sum);

private:
    // The samples discarded before the edit's start end where it starts,
    // each one frame duration before the next.
    void time_discarded(std::int64_t start, const std::vector<std::int64_t>& durations);

    SampleIndex& index_;
    std::vector<TrackSample>& samples_;
    const std::size_t old_count_;
    const std::size_t covered_;
    const std::int64_t shift_;
    std::size_t kept_ = 0;
    std::size_t kept_offsets_ = 0;
    std::int64_t min_corrected_pts_ = -1;
};

void EditPass::take_edit(std::int64_t counter, std::int64_t duration, std::int64_t media_time) {
    auto start = find_key_before(index_, media_time, false);
    if (!start) {
        start = find_key_before(index_, media_time, true);
    }
    const KeyBefore from = start.value_or(KeyBefore{});
    std::size_t offset_index = from.offset_index;
    const std::int64_t edit_end = wrapping_add(duration, media_time);
    bool start_found = false;
    bool key_after_end_found = false;
    std::vector<std::int64_t> discarded_durations;
    for (std::size_t current = from.index; current < old_count_; ++current) {
        const TrackSample old = samples_[current];
        const std::int64_t frame_duration =
            current + 1 < old_count_ ? wrapping_sub(samples_[current + 1].pts, old.pts) : duration;
        std::uint16_t flags = old.flags;
        std::int64_t cts = wrapping_add(old.pts, shift_);
        std::int64_t offset = 0;
        const bool has_offset = index_.has_offset_table && offset_index < covered_;
        if (has_offset) {
            offset = index_.offsets[offset_index++];
            cts = wrapping_add(cts, offset);
        }
        if (cts < media_time || cts >= edit_end) {
            flags |= SAMPLE_DISCARD;
            if (!start_found) {
                discarded_durations.push_back(frame_duration);
            }
        } else {
            const std::int64_t corrected = wrapping_add(wrapping_add(counter, offset), shift_);
            min_corrected_pts_ = min_corrected_pts_ < 0 ? corrected : std::min(min_corrected_pts_, corrected);
            if (!start_found) {
                start_found = true;
                time_discarded(counter, discarded_durations);
                discarded_durations = {};
            }
        }
        TrackSample& out = samples_[kept_++];
        out = old;
        out.flags = flags;
        out.pts = counter;
        if (has_offset) {
            index_.offsets[kept_offsets_++] = static_cast<std::int32_t>(offset);
        }
        if (start_found) {
            counter = wrapping_add(counter, frame_duration);
        }
        if (wrapping_add(cts, frame_duration) >= edit_end && (flags & SAMPLE_KEY) != 0) {
            // With composition offsets, B-frames after that key frame may
            // still belong to the edit: wait for one more.
            if (index_.has_offset_table && !key_after_end_found) {
                key_after_end_found = true;
                continue;
            }
            break;
        }
    }
}

void EditPass::time_discarded(std::int64_t start, const std::vector<std::int64_t>& durations) {
    std::int64_t end_time = start;
    for (std::size_t i = 0; i < durations.size(); ++i) {
        end_time = wrapping_sub(end_time, durations[durations.size() - 1 - i]);
        samples_[kept_ - 1 - i].pts = end_time;
    }
}

void EditPass::finish(std::int64_t empty_sum) {
    samples_.resize(kept_);
    index_.offsets.resize(kept_offsets_);
    min_corrected_pts_ = wrapping_sub(min_corrected_pts_, empty_sum);
    if (min_corrected_pts_ > 0) {
        for (TrackSample& sample : samples_) {
            sample.pts = wrapping_sub(sample.pts, min_corrected_pts_);
        }
    }
}

}  // namespace

void apply_edit_list(SampleIndex& index, std::span<const Edit> edits, std::int32_t track_time_scale,
                     std::int32_t movie_time_scale) {
    if (edits.empty() || index.samples.empty()) {
        return;
    }
    if (movie_time_scale == 0) {
        // libavformat cannot scale any edit then, and keeps no sample.
        index.samples.clear();
        index.offsets.clear();
        return;
    }
    EditPass pass(index);
    std::int64_t entry_end = index.dts_shift > 0 ? -index.dts_shift : 0;
    std::int64_t empty_sum = 0;
    bool found_media = false;
    for (const Edit& edit : edits) {
        std::int64_t duration = av_rescale(edit.duration, track_time_scale, movie_time_scale);
        const std::int64_t media_time = edit.media_time;
        if (static_cast<std::uint64_t>(duration) + static_cast<std::uint64_t>(media_time) >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            duration = 0;
        }
        const std::int64_t counter = entry_end;
        entry_end = av_sat_add64(entry_end, duration);
        if (entry_end == std::numeric_limits<std::int64_t>::max()) {
            break;
        }
        if (!found_media && media_time == -1) {
            empty_sum = wrapping_add(empty_sum, duration);
            continue;
        }
        found_media = true;
        pass.take_edit(counter, duration, media_time);
    }
    pass.finish(empty_sum);
}

std::int64_t fragment_time_offset(std::span<const Edit> edits, std::int32_t track_time_scale,
                                  std::int32_t movie_time_scale) {
    std::int64_t empty_duration = 0;
    std::int64_t start_time = 0;
    std::size_t first_shown = 0;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        if (i == 0 && edits[i].media_time == -1) {
            empty_duration = edits[i].duration;
            first_shown = 1;
        } else if (i == first_shown && edits[i].media_time >= 0) {
            start_time = edits[i].media_time;
        }
    }
    if ((empty_duration == 0 && start_time == 0) || movie_time_scale <= 0) {
        return 0;
    }
    if (empty_duration != 0) {
        empty_duration = av_rescale(empty_duration, track_time_scale, movie_time_scale);
    }
    return wrapping_sub(start_time, empty_duration);
}

}  // namespace pytovrik::file::mp4
