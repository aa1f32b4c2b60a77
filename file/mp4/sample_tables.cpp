#include "mp4/sample_tables.hpp"

#include <limits>
#include <optional>
#include <string>

#include "mp4/table_reader.hpp"
#include "mp4/wrapping_math.hpp"

namespace pytovrik::file::mp4 {
namespace {

// libavformat's default max_stts_delta: larger time deltas are taken for
// negative corrections written as unsigned values.
constexpr std::uint32_t MAX_STTS_DELTA = UINT32_MAX - 48000 * 10;

struct Table {
    std::uint64_t entries = 0;  // offset of the first entry
    std::uint32_t count = 0;
};

// Version and flags, a 32-bit entry count, then the entries, which must fit
// in the box.
Outcome<Table> read_table_header(const FileBytes& file, const Box& box, std::uint32_t entry_size) {
    auto head = read_payload_head(file, box, 8);
    if (!head) {
        return propagate(head);
    }
    if (head->size() < 8) {
        return malformed(file, "the " + box_at(box) + " is too short for its entry count");
    }
    Table table;
    table.count = read_be32(head->data() + 4);
    table.entries = box.payload + 8;
    if (table.count > (box.payload_size() - 8) / entry_size) {
        return malformed(file, "the " + box_at(box) + " declares " + std::to_string(table.count) +
                                   " entries, more than its " + std::to_string(box.payload_size()) + " bytes hold");
    }
    return table;
}

std::int32_t as_int(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>(read_be32(bytes));
}

// The time-to-sample table, one entry at a time, with libavformat's repair
// of deltas too large to be true (mov_read_stts), and the sums it keeps.
class TimeToSample {
public:
    TimeToSample(const FileBytes& file, const Table& table) : reader_(file, table.entries, table.count, 8) {}

    bool has_next() const { return reader_.remaining() > 0; }
    std::uint32_t count() const { return count_; }
    std::uint32_t duration() const { return duration_; }

    Outcome<void> load_next() {
        auto entry = reader_.next();
        if (!entry) {
            return propagate(entry);
        }
        count_ = read_be32(*entry);
        const std::uint32_t raw = read_be32(*entry + 4);
        duration_ = raw;
        if (raw > MAX_STTS_DELTA) {
            const auto magnitude = static_cast<std::int32_t>(raw);
            const auto factor = magnitude < 0 ? static_cast<std::uint64_t>(std::int64_t{magnitude}) : 1;
            duration_ = 1;
            corrected_dts_ = wrapping_add(corrected_dts_, static_cast<std::int64_t>(factor * count_));
        } else {
            corrected_dts_ = wrapping_add(corrected_dts_, static_cast<std::int64_t>(std::uint64_t{raw} * count_));
        }
        current_dts_ = wrapping_add(current_dts_, static_cast<std::int64_t>(std::uint64_t{duration_} * count_));
        if (current_dts_ > corrected_dts_) {
            const std::int64_t drift = wrapping_sub(current_dts_, corrected_dts_) / std::max<std::int64_t>(count_, 1);
            const auto correction =
                static_cast<std::uint32_t>(std::int64_t{duration_} > drift ? drift : std::int64_t{duration_} - 1);
            current_dts_ = wrapping_sub(current_dts_, static_cast<std::int64_t>(std::uint64_t{correction} * count_));
            duration_ -= correction;
        }
        duration_sum_ = wrapping_add(duration_sum_, static_cast<std::int64_t>(std::uint64_t{duration_} * count_));
        sample_sum_ += count_;
        return {};
    }

    // Reads the entries no sample reached, for the sums.
    Outcome<void> drain() {
        while (has_next()) {
            if (auto loaded = load_next(); !loaded) {
                return loaded;
            }
        }
        return {};
    }

    std::int64_t duration_sum() const { return duration_sum_; }
    std::int64_t sample_sum() const { return sample_sum_; }

private:
    TableReader reader_;
    std::uint32_t count_ = 0;
    std::uint32_t duration_ = 0;
    std::int64_t current_dts_ = 0;
    std::int64_t corrected_dts_ = 0;
    std::int64_t duration_sum_ = 0;
    std::int64_t sample_sum_ = 0;
};

// Sample sizes from stsz (one size for all, or 32-bit entries) or stz2
// (4-, 8-, 16- or 32-bit entries, two 4-bit ones to a byte, high first).
class SampleSizes {
public:
    Outcome<void> open(const FileBytes& file, const Box& box) {
        file_ = &file;
        auto head = read_payload_head(file, box, 12);
        if (!head) {
            return propagate(head);
        }
        if (head->size() < 12) {
            return malformed(file, "the " + box_at(box) + " is too short");
        }
        count_ = read_be32(head->data() + 8);
        if (box.type == box_type("stsz")) {
            constant_ = read_be32(head->data() + 4);
            bits_ = 32;
        } else {
            bits_ = (*head)[7];
            if (bits_ != 4 && bits_ != 8 && bits_ != 16 && bits_ != 32) {
                return malformed(file, "the " + box_at(box) + " has entries of " + std::to_string(bits_) + " bits");
            }
        }
        if (constant_ != 0 || count_ == 0) {
            return {};
        }
        const std::uint64_t table_bytes = (std::uint64_t{count_} * bits_ + 4) >> 3;
        if (table_bytes > box.payload_size() - 12) {
            return malformed(file, "the " + box_at(box) + " declares " + std::to_string(count_) +
                                       " sizes, more than its " + std::to_string(box.payload_size()) + " bytes hold");
        }
        const std::uint32_t entry_bytes = bits_ == 4 ? 1U : bits_ / 8U;
        const std::uint64_t entries = bits_ == 4 ? (std::uint64_t{count_} + 1) / 2 : count_;
        reader_ = TableReader(file, box.payload + 12, entries, entry_bytes);
        return {};
    }

    std::uint32_t count() const { return count_; }
    std::uint32_t constant() const { return constant_; }

    Outcome<std::uint32_t> next() {
        if (constant_ != 0) {
            return constant_;
        }
        ++read_;
        auto size = next_entry();
        if (size && *size > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
            // libavformat keeps sizes as int and refuses the file.
            return malformed(*file_,
                             "sample " + std::to_string(read_) + " has a size of " + std::to_string(*size) + " bytes");
        }
        return size;
    }

    // Reads the sizes no sample reached, which libavformat checks all the same.
    Outcome<void> check_rest() {
        while (constant_ == 0 && read_ < count_) {
            if (auto size = next(); !size) {
                return propagate(size);
            }
        }
        return {};
    }

private:
    Outcome<std::uint32_t> next_entry() {
        if (bits_ == 4 && low_nibble_pending_) {
            low_nibble_pending_ = false;
            return static_cast<std::uint32_t>(pending_byte_ & 0x0FU);
        }
        auto entry = reader_.next();
        if (!entry) {
            return propagate(entry);
        }
        switch (bits_) {
            case 4:
                pending_byte_ = **entry;
                low_nibble_pending_ = true;
                return static_cast<std::uint32_t>(pending_byte_ >> 4U);
            case 8:
                return std::uint32_t{**entry};
            case 16:
                return static_cast<std::uint32_t>(((*entry)[0] << 8) | (*entry)[1]);
            default:
                return read_be32(*entry);
        }
    }

    const FileBytes* file_ = nullptr;
    TableReader reader_;
    std::uint32_t read_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t constant_ = 0;
    std::uint8_t bits_ = 32;
    std::uint8_t pending_byte_ = 0;
    bool low_nibble_pending_ = false;
};

// One sample-to-chunk entry, with libavformat's signed reading.
struct ChunkRun {
    std::int32_t first = 0;        // 1-based index of the run's first chunk
    std::int32_t samples = 0;      // per chunk
    std::int32_t description = 0;  // 1-based sample description index
};

ChunkRun chunk_run_of(const std::uint8_t* entry) {
    return {as_int(entry), as_int(entry + 4), as_int(entry + 8)};
}

// libavformat rewrites sample-to-chunk entries that are out of order or
// zero; such a table, and one naming a description libavformat does not
// demux, is not reproduced. Also finds the last entry's first chunk.
Mp4Outcome<std::int32_t> check_sample_to_chunk(const FileBytes& file, const Table& table,
                                               const SampleEntries& entries) {
    TableReader reader(file, table.entries, table.count, 12);
    ChunkRun previous;
    for (std::uint32_t index = 0; index < table.count; ++index) {
        auto entry = reader.next();
        if (!entry) {
            return halt(entry.error());
        }
        const ChunkRun run = chunk_run_of(*entry);
        if ((index > 0 && run.first <= previous.first) || std::int64_t{run.first} < std::int64_t{index} + 1 ||
            run.samples < 1 || run.description < 1) {
            return fall_back("sample-to-chunk entry " + std::to_string(index + 1) + " is out of order or zero");
        }
        const auto description = static_cast<std::size_t>(run.description - 1);
        if (description >= entries.descriptions.size()) {
            return fall_back("sample-to-chunk entry " + std::to_string(index + 1) + " names sample description " +
                             std::to_string(run.description) + " of " + std::to_string(entries.descriptions.size()));
        }
        if ((entries.pseudo_stream_id == 0 && description != 0) || entries.skipped[description]) {
            return fall_back("samples use a sample entry of another format than the first");
        }
        previous = run;
    }
    return previous.first;
}

// The composition offset table (mov_read_ctts), expanded to one offset per
// sample for the first `sample_count` samples, and the decode time shift
// that libavformat derives from all but its last two entries.
Outcome<void> read_composition_offsets(const FileBytes& file, const Box& box, std::uint32_t sample_count,
                                       SampleIndex& index) {
    auto table = read_table_header(file, box, 8);
    if (!table) {
        return propagate(table);
    }
    if (table->count == 0) {
        return {};
    }
    index.has_offset_table = true;
    index.offsets.reserve(sample_count);
    TableReader reader(file, table->entries, table->count, 8);
    for (std::uint32_t i = 0; i < table->count; ++i) {
        auto entry = reader.next();
        if (!entry) {
            return propagate(entry);
        }
        const std::int32_t count = as_int(*entry);
        std::int32_t offset = as_int(*entry + 4);
        if (count <= 0) {
            continue;
        }
        for (std::int32_t k = 0; k < count && index.offsets.size() < sample_count; ++k) {
            index.offsets.push_back(offset);
        }
        const bool counts_for_shift = std::uint64_t{i} + 2 < table->count;
        if (counts_for_shift && (offset < -(1 << 28) || offset > (1 << 28))) {
            // libavformat drops the whole table, but keeps the shift so far.
            index.offsets.clear();
            index.offsets.shrink_to_fit();
            index.has_offset_table = false;
            index.offset_table_dropped = true;
            return {};
        }
        if (counts_for_shift && offset < 0) {
            if (offset == std::numeric_limits<std::int32_t>::min()) {
                ++offset;
            }
            index.dts_shift = std::max(index.dts_shift, -offset);
        }
    }
    return {};
}

class IndexBuilder {
public:
    IndexBuilder(const FileBytes& file, const TrackBoxes& track, const SampleEntries& entries)
        : file_(file), track_(track), entries_(entries) {}

    Mp4Outcome<SampleIndex> build() {
        auto stts = read_optional_table(track_.time_to_sample, 8);
        auto stsc = read_optional_table(track_.sample_to_chunk, 12);
        const bool large_offsets = track_.chunk_offsets && track_.chunk_offsets->type == box_type("co64");
        auto chunks = read_optional_table(track_.chunk_offsets, large_offsets ? 8 : 4);
        for (const auto* table : {&stts, &stsc, &chunks}) {
            if (!*table) {
                return halt(table->error());
            }
        }
        if (track_.sample_sizes) {
            if (auto opened = sizes_.open(file_, *track_.sample_sizes); !opened) {
                return halt(opened.error());
            }
        }
        // mov_read_trak's sanity checks: a track missing a table it needs
        // gets no samples there, and one contradicting itself fails.
        if (chunks->count == 0 && stts->count == 0) {
            stsc->count = 0;
        }
        const bool sizes_missing = sizes_.constant() == 0 && sizes_.count() == 0;
        if ((chunks->count != 0 && (stts->count == 0 || stsc->count == 0 || sizes_missing)) ||
            (chunks->count == 0 && sizes_.count() != 0)) {
            return fall_back("the track lacks a sample table it needs");
        }
        if (sizes_.count() > file_.size() / LEAST_BYTES_PER_SAMPLE ||
            std::uint64_t{sizes_.count()} * sizes_.constant() > file_.size()) {
            return halt(malformed(file_, "the sample size table claims " + std::to_string(sizes_.count()) +
                                             " samples, more than a file of " + std::to_string(file_.size()) +
                                             " bytes holds")
                            .error());
        }
        if (stsc->count != 0) {
            auto last_first = check_sample_to_chunk(file_, *stsc, entries_);
            if (!last_first) {
                return propagate(last_first);
            }
            if (*last_first > std::int64_t{chunks->count}) {
                return halt(malformed(file_, "the sample-to-chunk table names chunk " + std::to_string(*last_first) +
                                                 " of " + std::to_string(chunks->count))
                                .error());
            }
        }
        if (track_.composition_offsets) {
            if (auto read = read_composition_offsets(file_, *track_.composition_offsets, sizes_.count(), index_);
                !read) {
                return halt(read.error());
            }
        }
        TimeToSample times(file_, *stts);
        if (sizes_.count() != 0) {
            if (auto built = add_samples(*stts, *stsc, *chunks, times); !built) {
                return halt(built.error());
            }
        }
        if (auto drained = times.drain(); !drained) {
            return halt(drained.error());
        }
        if (auto checked = sizes_.check_rest(); !checked) {
            return halt(checked.error());
        }
        const std::int64_t duration = times.duration_sum();
        if (duration > 0 && times.sample_sum() <= std::numeric_limits<int>::max()) {
            index_.duration_for_rate = duration;
            index_.frames_for_rate = times.sample_sum();
        }
        index_.track_end = duration;
        return std::move(index_);
    }

private:
    // A table the track may lack: then empty.
    Outcome<Table> read_optional_table(const std::optional<Box>& box, std::uint32_t entry_size) const {
        if (!box) {
            return Table{};
        }
        return read_table_header(file_, *box, entry_size);
    }

    // mov_build_index: chunk by chunk, the samples each chunk holds.
    Outcome<void> add_samples(const Table& stts, const Table& stsc, const Table& chunks, TimeToSample& times) {
        if (auto reserved = reserve(sizes_.count()); !reserved) {
            return reserved;
        }
        if (stts.count != 0) {
            if (auto loaded = times.load_next(); !loaded) {
                return loaded;
            }
        }
        if (auto keys = open_sync_samples(); !keys) {
            return propagate(keys);
        }
        ChunkRuns runs(file_, stsc);
        if (auto started = runs.start(); !started) {
            return started;
        }
        const bool large_offsets = track_.chunk_offsets && track_.chunk_offsets->type == box_type("co64");
        TableReader offsets(file_, chunks.entries, chunks.count, large_offsets ? 8 : 4);
        Timeline timeline{-std::int64_t{index_.dts_shift}, 0, 0};
        for (std::uint32_t chunk = 0; chunk < chunks.count; ++chunk) {
            auto entry = offsets.next();
            if (!entry) {
                return propagate(entry);
            }
            std::int64_t offset =
                large_offsets ? static_cast<std::int64_t>(read_be64(*entry)) : std::int64_t{read_be32(*entry)};
            if (offset < 0) {
                offset = 0;  // libavformat's answer to an impossible chunk offset
            }
            if (auto entered = runs.enter(chunk); !entered) {
                return entered;
            }
            auto complete = add_chunk(chunk, offset, runs.current(), times, timeline);
            if (!complete || !*complete) {
                return complete ? Outcome<void>{} : propagate(complete);
            }
        }
        return {};
    }

    // Where the samples go in time as they are added.
    struct Timeline {
        std::int64_t dts;
        std::uint32_t stts_sample;  // within the time-to-sample entry
        std::uint32_t current;      // samples added
    };

    // The sample-to-chunk entries in force as chunks go by.
    class ChunkRuns {
    public:
        ChunkRuns(const FileBytes& file, const Table& stsc) : runs_(file, stsc.entries, stsc.count, 12) {}
        Outcome<void> start() {
            for (auto* slot : {&run_, &next_run_}) {
                auto read = read_next();
                if (!read) {
                    return propagate(read);
                }
                *slot = *read;
            }
            return {};
        }
        // Moves to the entry in force at `chunk` (0-based).
        Outcome<void> enter(std::uint32_t chunk) {
            while (next_run_ && std::int64_t{chunk} + 1 == next_run_->first) {
                run_ = next_run_;
                auto read = read_next();
                if (!read) {
                    return propagate(read);
                }
                next_run_ = *read;
            }
            return {};
        }
        const ChunkRun& current() const { return *run_; }

    private:
        Outcome<std::optional<ChunkRun>> read_next() {
            if (runs_.remaining() == 0) {
                return std::optional<ChunkRun>{};
            }
            auto entry = runs_.next();
            if (!entry) {
                return propagate(entry);
            }
            return std::optional<ChunkRun>{chunk_run_of(*entry)};
        }

        TableReader runs_;
        std::optional<ChunkRun> run_;
        std::optional<ChunkRun> next_run_;
    };

    // The samples of one chunk; false once the index ends short (more
    // samples in chunks than sizes, or a sample out of range).
    Outcome<bool> add_chunk(std::uint32_t chunk, std::int64_t offset, const ChunkRun& run, TimeToSample& times,
                            Timeline& timeline) {
        for (std::int32_t j = 0; j < run.samples; ++j) {
            if (timeline.current >= sizes_.count()) {
                index_.complete = false;
                return false;
            }
            auto key = next_is_key(timeline.current, chunk == 0 && j == 0);
            if (!key) {
                return propagate(key);
            }
            auto size = sizes_.next();
            if (!size) {
                return propagate(size);
            }
            if (offset > std::numeric_limits<std::int64_t>::max() - std::int64_t{*size} ||
                *size > MAX_INDEXED_SAMPLE_SIZE) {
                index_.complete = false;
                return false;
            }
            TrackSample& sample = index_.samples.emplace_back();
            sample.position = static_cast<std::uint64_t>(offset);
            sample.size = *size;
            sample.description = static_cast<std::uint16_t>(run.description - 1);
            sample.flags = *key ? (track_.sync_samples ? SAMPLE_KEY | SAMPLE_SYNC_STATED : SAMPLE_KEY) : 0;
            sample.pts = timeline.dts;
            offset += *size;
            timeline.dts = wrapping_add(timeline.dts, times.duration());
            ++timeline.stts_sample;
            ++timeline.current;
            if (times.has_next() && timeline.stts_sample == times.count()) {
                timeline.stts_sample = 0;
                if (auto loaded = times.load_next(); !loaded) {
                    return propagate(loaded);
                }
            }
        }
        return true;
    }

    // Whether the sample `current` is a sync sample; `first` is the track's
    // first sample, a key frame also when the sync sample table is empty.
    Outcome<bool> next_is_key(std::uint32_t current, bool first) {
        if (keys_absent_) {
            return first;
        }
        if (key_count_ != 0 && current + key_offset_ != next_key_) {
            return false;
        }
        if (key_index_ + 1 < key_count_) {
            if (auto advanced = advance_sync_sample(); !advanced) {
                return propagate(advanced);
            }
        }
        return true;
    }

    Outcome<void> reserve(std::uint32_t count) {
        try {
            index_.samples.reserve(count);
        } catch (const std::exception&) {
            return malformed(file_, "cannot hold the index of " + std::to_string(count) + " samples");
        }
        return {};
    }

    // The sync sample table: none means every sample is a key frame, an
    // empty one only the first. Its numbers are 1-based, but libavformat
    // reads 0-based ones too, by its first entry.
    Outcome<void> open_sync_samples() {
        if (!track_.sync_samples) {
            return {};
        }
        auto table = read_table_header(file_, *track_.sync_samples, 4);
        if (!table) {
            return propagate(table);
        }
        key_count_ = table->count;
        if (key_count_ == 0) {
            keys_absent_ = true;
            return {};
        }
        sync_reader_ = TableReader(file_, table->entries, table->count, 4);
        if (auto first = advance_sync_sample(); !first) {
            return first;
        }
        key_offset_ = static_cast<std::int32_t>(next_key_) > 0 ? 1 : 0;
        return {};
    }

    Outcome<void> advance_sync_sample() {
        auto entry = sync_reader_.next();
        if (!entry) {
            return propagate(entry);
        }
        if (sync_read_ > 0) {
            ++key_index_;
        }
        ++sync_read_;
        next_key_ = read_be32(*entry);
        return {};
    }

    const FileBytes& file_;
    const TrackBoxes& track_;
    const SampleEntries& entries_;
    SampleSizes sizes_;
    SampleIndex index_;
    TableReader sync_reader_;
    std::uint32_t key_count_ = 0;
    std::uint32_t key_index_ = 0;
    std::uint32_t sync_read_ = 0;
    std::uint32_t next_key_ = 0;
    std::uint32_t key_offset_ = 0;
    bool keys_absent_ = false;
};

}  // namespace

void set_presentation_times(SampleIndex& index, std::size_t first) {
    for (std::size_t i = first; i < index.samples.size(); ++i) {
        TrackSample& sample = index.samples[i];
        if (i < index.offsets.size()) {
            sample.pts = av_sat_add64(sample.pts, av_sat_add64(index.dts_shift, index.offsets[i]));
        }
    }
}

Mp4Outcome<SampleIndex> build_sample_index(const FileBytes& file, const TrackBoxes& track,
                                           const SampleEntries& entries) {
    return IndexBuilder(file, track, entries).build();
}

}  // namespace pytovrik::file::mp4
