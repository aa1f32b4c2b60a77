#include "mp4/movie_fragments.hpp"

#include <bit>
#include <limits>
#include <string>

#include "mp4/table_reader.hpp"
#include "mp4/wrapping_math.hpp"

namespace pytovrik::file::mp4 {
namespace {

// tfhd flags
constexpr std::uint32_t BASE_DATA_OFFSET = 0x01;
constexpr std::uint32_t SAMPLE_DESCRIPTION = 0x02;
constexpr std::uint32_t DEFAULT_DURATION = 0x08;
constexpr std::uint32_t DEFAULT_SIZE = 0x10;
constexpr std::uint32_t DEFAULT_FLAGS = 0x20;
constexpr std::uint32_t DEFAULT_BASE_IS_MOOF = 0x020000;
// trun flags
constexpr std::uint32_t DATA_OFFSET = 0x01;
constexpr std::uint32_t FIRST_SAMPLE_FLAGS = 0x04;
constexpr std::uint32_t SAMPLE_DURATION = 0x100;
constexpr std::uint32_t SAMPLE_SIZE = 0x200;
constexpr std::uint32_t SAMPLE_FLAGS = 0x400;
constexpr std::uint32_t SAMPLE_COMPOSITION = 0x800;
// sample flags that make a sample not a key frame
constexpr std::uint32_t NOT_SYNC = 0x00010000;
constexpr std::uint32_t DEPENDS_ON_OTHERS = 0x01000000;

}  // namespace

FragmentReader::FragmentReader(const FileBytes& file, const FragmentedTrack& track, SampleIndex& index)
    : file_(file),
      track_(track),
      index_(index),
      track_end_(index.track_end),
      last_decode_time_(index.samples.empty() ? NO_PTS : index.samples.back().pts) {}

bool FragmentReader::runs_are_ours() const {
    return header_track_ == track_.track_id &&
           (track_.pseudo_stream_id == -1 || std::int64_t{track_.pseudo_stream_id} + 1 == description_);
}

Mp4Outcome<void> FragmentReader::read(const Box& moof) {
    // libavformat takes the moof's offset as 8 bytes before its payload.
    moof_offset_ = moof.payload - 8;
    implicit_offset_ = moof_offset_;
    fragment_decode_time_ = NO_PTS;
    next_run_decode_time_ = NO_PTS;
    bool first = true;
    return walk_children(file_, moof, [&](const Box& child) -> Mp4Outcome<bool> {
        if (child.type == box_type("traf")) {
            auto read = read_track_fragment(child, first);
            first = false;
            if (!read) {
                return propagate(read);
            }
        } else if (child.type == box_type("tfhd") || child.type == box_type("tfdt") || child.type == box_type("trun")) {
            return fall_back("a movie fragment holds a " + box_at(child) + " outside a track fragment");
        }
        return true;
    });
}

Mp4Outcome<void> FragmentReader::read_track_fragment(const Box& traf, bool first_in_moof) {
    header_in_fragment_ = false;
    return walk_children(file_, traf, [&](const Box& child) -> Mp4Outcome<bool> {
        Mp4Outcome<void> read;
        if (child.type == box_type("tfhd")) {
            read = read_header(child, first_in_moof);
        } else if (child.type == box_type("tfdt")) {
            read = read_decode_time(child);
        } else if (child.type == box_type("trun")) {
            read = read_run(child);
        }
        if (!read) {
            return propagate(read);
        }
        return true;
    });
}

Mp4Outcome<bool> FragmentReader::header_read_first(const Box& box) const {
    // Without a tfhd first, libavformat files the box under whichever track
    // an earlier fragment named.
    if (!header_in_fragment_) {
        return fall_back("the " + box_at(box) + " comes before its track fragment header");
    }
    return runs_are_ours();
}

Mp4Outcome<void> FragmentReader::read_header(const Box& tfhd, bool first_in_moof) {
    auto payload = read_payload_head(file_, tfhd, 32);
    if (!payload) {
        return halt(payload.error());
    }
    FieldReader fields(*payload);
    const std::uint32_t flags = fields.u32() & 0xFFFFFFU;
    const std::uint32_t track_id = fields.u32();
    if (fields.overrun() || track_id == 0) {
        return halt(malformed(file_, "the " + box_at(tfhd) + " names no track").error());
    }
    const TrackExtends* defaults = nullptr;
    for (const TrackExtends& extends : track_.extends) {
        if (extends.track_id == track_id) {
            defaults = &extends;
            break;
        }
    }
    if (defaults == nullptr) {
        return fall_back("a track fragment names track " + std::to_string(track_id) +
                         ", which has no track extends box");
    }
    header_in_fragment_ = true;
    header_track_ = track_id;
    if (track_id != track_.track_id) {
        return {};
    }
    if ((flags & BASE_DATA_OFFSET) != 0) {
        base_offset_ = fields.u64();
    } else if ((flags & DEFAULT_BASE_IS_MOOF) != 0) {
        base_offset_ = moof_offset_;
    } else if (first_in_moof) {
        base_offset_ = implicit_offset_;
    } else {
        // Where the previous track fragment's data ended: that depends on
        // other tracks' runs.
        return fall_back("a track fragment's data follows another track's");
    }
    description_ = (flags & SAMPLE_DESCRIPTION) != 0 ? fields.u32() : defaults->description;
    default_duration_ = (flags & DEFAULT_DURATION) != 0 ? fields.u32() : defaults->duration;
    default_size_ = (flags & DEFAULT_SIZE) != 0 ? fields.u32() : defaults->size;
    default_flags_ = (flags & DEFAULT_FLAGS) != 0 ? fields.u32() : defaults->flags;
    if (fields.overrun()) {
        return halt(malformed(file_, "the " + box_at(tfhd) + " is too short for its fields").error());
    }
    next_run_decode_time_ = NO_PTS;
    return {};
}

Mp4Outcome<void> FragmentReader::read_decode_time(const Box& tfdt) {
    auto ours = header_read_first(tfdt);
    if (!ours) {
        return propagate(ours);
    }
    if (!*ours) {
        return {};
    }
    auto payload = read_payload_head(file_, tfdt, 12);
    if (!payload) {
        return halt(payload.error());
    }
    FieldReader fields(*payload);
    const std::uint8_t version = fields.u8();
    fields.skip(3);
    const auto time = version != 0 ? static_cast<std::int64_t>(fields.u64()) : std::int64_t{fields.u32()};
    if (fields.overrun()) {
        return halt(malformed(file_, "the " + box_at(tfdt) + " is too short").error());
    }
    fragment_decode_time_ = time;
    track_end_ = time;
    return {};
}

// libavformat grows its composition offset table to cover the fragments'
// samples when the first run arrives. Entries for samples of the movie box
// that had none come out zeroed, count included, and its read cursor stops
// on the first of them; an edit list or a dropped table leave memory it
// never initialised instead.
Mp4Outcome<void> FragmentReader::extend_offset_table() {
    if (offset_table_extended_) {
        return {};
    }
    offset_table_extended_ = true;
    if (index_.offset_table_dropped) {
        return fall_back("fragments follow a composition offset table libavformat dropped");
    }
    if (index_.offsets.size() < index_.samples.size()) {
        if (track_.edited_offsets) {
            return fall_back("fragments follow edited samples that lack composition offsets");
        }
        offsets_stuck_ = true;
    }
    // A table longer than the index (built only in part) is overwritten.
    index_.offsets.resize(index_.samples.size(), 0);
    return {};
}

Mp4Outcome<void> FragmentReader::read_run(const Box& trun) {
    auto ours = header_read_first(trun);
    if (!ours) {
        return propagate(ours);
    }
    if (!*ours) {
        return {};
    }
    auto payload = read_payload_head(file_, trun, 16);
    if (!payload) {
        return halt(payload.error());
    }
    FieldReader fields(*payload);
    const std::uint32_t flags = fields.u32() & 0xFFFFFFU;
    const std::uint32_t count = fields.u32();
    std::int32_t data_offset = 0;
    std::uint32_t first_flags = default_flags_;
    if ((flags & DATA_OFFSET) != 0) {
        data_offset = static_cast<std::int32_t>(fields.u32());
    }
    if ((flags & FIRST_SAMPLE_FLAGS) != 0) {
        first_flags = fields.u32();
    }
    const auto entry_bytes = static_cast<std::uint32_t>(
        4 * std::popcount(flags & (SAMPLE_DURATION | SAMPLE_SIZE | SAMPLE_FLAGS | SAMPLE_COMPOSITION)));
    const std::uint64_t entries_at = trun.payload + fields.position();
    if (fields.overrun() || (entry_bytes != 0 && count > (trun.end - entries_at) / entry_bytes) ||
        index_.samples.size() + std::uint64_t{count} > file_.size() / LEAST_BYTES_PER_SAMPLE) {
        return halt(malformed(file_, "the " + box_at(trun) + " declares " + std::to_string(count) +
                                         " samples, more than it or the file holds")
                        .error());
    }
    auto decode_time = run_decode_time();
    if (!decode_time) {
        return propagate(decode_time);
    }
    if (count == 0) {
        return {};
    }
    if (auto extended = extend_offset_table(); !extended) {
        return extended;
    }
    RunPosition at{base_offset_ + static_cast<std::uint64_t>(std::int64_t{data_offset}), *decode_time,
                   last_decode_time_};
    TableReader entries(file_, entries_at, entry_bytes != 0 ? count : 0, std::max<std::uint32_t>(entry_bytes, 1));
    for (std::uint32_t i = 0; i < count; ++i) {
        RunEntry entry{default_duration_, default_size_, i != 0 ? default_flags_ : first_flags, 0};
        if (entry_bytes != 0) {
            auto bytes = entries.next();
            if (!bytes) {
                return halt(bytes.error());
            }
            read_run_entry(std::span(*bytes, entry_bytes), flags, entry);
        }
        if (auto added = add_run_sample(entry, at); !added) {
            return added;
        }
    }
    next_run_decode_time_ = wrapping_add(at.decode_time, track_.time_offset);
    implicit_offset_ = at.offset;
    track_end_ = wrapping_add(at.decode_time, track_.time_offset);
    return {};
}

// Where a run's decode times start: the run before it in the fragment, the
// fragment's own decode time, or where the track ended.
Mp4Outcome<std::int64_t> FragmentReader::run_decode_time() const {
    if (next_run_decode_time_ != NO_PTS) {
        return wrapping_sub(next_run_decode_time_, track_.time_offset);
    }
    if (fragment_decode_time_ != NO_PTS) {
        return wrapping_sub(fragment_decode_time_, track_.time_offset);
    }
    if (track_.has_segment_index) {
        return fall_back("a track fragment has no decode time but the file has a segment index");
    }
    return wrapping_sub(track_end_, track_.time_offset);
}

void FragmentReader::read_run_entry(std::span<const std::uint8_t> bytes, std::uint32_t flags, RunEntry& entry) {
    FieldReader values(bytes);
    if ((flags & SAMPLE_DURATION) != 0) {
        entry.duration = values.u32();
    }
    if ((flags & SAMPLE_SIZE) != 0) {
        entry.size = values.u32();
    }
    if ((flags & SAMPLE_FLAGS) != 0) {
        entry.flags = values.u32();
    }
    if ((flags & SAMPLE_COMPOSITION) != 0) {
        entry.composition = static_cast<std::int32_t>(values.u32());
    }
}

Mp4Outcome<void> FragmentReader::add_run_sample(const RunEntry& entry, RunPosition& at) {
    if (entry.composition < 0) {
        const std::int32_t shift = entry.composition == std::numeric_limits<std::int32_t>::min()
                                       ? std::numeric_limits<std::int32_t>::max()
                                       : -entry.composition;
        index_.dts_shift = std::max(index_.dts_shift, shift);
    }
    std::uint16_t sample_bits =
        (entry.flags & (NOT_SYNC | DEPENDS_ON_OTHERS)) == 0 ? SAMPLE_KEY | SAMPLE_SYNC_STATED : 0;
    // Fragments may overlap in time: libavformat discards what starts
    // before the end of what came earlier.
    if (at.previous_decode_time >= at.decode_time) {
        sample_bits |= SAMPLE_DISCARD;
    }
    TrackSample& sample = index_.samples.emplace_back();
    sample.position = at.offset;
    sample.size = entry.size;
    sample.description = static_cast<std::uint16_t>(description_ - 1);
    sample.flags = sample_bits;
    sample.pts = at.decode_time;
    index_.offsets.push_back(offsets_stuck_ ? 0 : entry.composition);
    last_decode_time_ = at.decode_time;
    if (av_sat_add64(at.decode_time, entry.duration) != wrapping_add(at.decode_time, entry.duration) ||
        entry.size == 0 || entry.size > MAX_INDEXED_SAMPLE_SIZE) {
        return fall_back("a track fragment run has an empty or huge sample, or a decode time out of range");
    }
    at.decode_time += entry.duration;
    at.offset += entry.size;
    if (std::int64_t{entry.duration} <= std::numeric_limits<std::int64_t>::max() - index_.duration_for_rate &&
        index_.frames_for_rate < std::numeric_limits<int>::max()) {
        index_.duration_for_rate += entry.duration;
        ++index_.frames_for_rate;
    }
    return {};
}

}  // namespace pytovrik::file::mp4
