// Movie fragments as libavformat reads them (mov_read_tfhd, mov_read_tfdt,
// mov_read_trun): every run of the track's samples is appended to its index
// in file order, with the defaults of the track extends box, decode times
// from tfdt (or from where the previous run ended), key flags from the
// sample flags, and runs that overlap earlier ones in time discarded.
#pragma once

#include <cstdint>
#include <span>

#include "file_bytes.hpp"
#include "mp4/movie_box.hpp"
#include "mp4/mp4_outcome.hpp"
#include "mp4/sample_tables.hpp"

namespace pytovrik::file::mp4 {

struct FragmentedTrack {
    std::uint32_t track_id = 0;
    std::span<const TrackExtends> extends;  // every track's defaults
    int pseudo_stream_id = 0;
    // Subtracted from fragment decode times (the edit list's start).
    std::int64_t time_offset = 0;
    // A segment index gives libavformat another source of fragment times.
    bool has_segment_index = false;
    // An edit list rebuilt libavformat's composition offset table.
    bool edited_offsets = false;
};

class FragmentReader {
public:
    FragmentReader(const FileBytes& file, const FragmentedTrack& track, SampleIndex& index);

    // Reads one moof box; the file's moof boxes come in file order.
    Mp4Outcome<void> read(const Box& moof);

private:
    Mp4Outcome<void> read_track_fragment(const Box& traf, bool first_in_moof);
    Mp4Outcome<void> read_header(const Box& tfhd, bool first_in_moof);
    Mp4Outcome<bool> header_read_first(const Box& box) const;
    Mp4Outcome<void> read_decode_time(const Box& tfdt);
    // One sample of a run, its defaults overridden by what the run lists.
    struct RunEntry {
        std::uint32_t duration;
        std::uint32_t size;
        std::uint32_t flags;
        std::int32_t composition;
    };
    // Where the next sample of a run goes, in the file and in time.
    struct RunPosition {
        std::uint64_t offset;
        std::int64_t decode_time;
        std::int64_t previous_decode_time;  // of the sample before the run
    };
    Mp4Outcome<void> read_run(const Box& trun);
    Mp4Outcome<std::int64_t> run_decode_time() const;
    static void read_run_entry(std::span<const std::uint8_t> bytes, std::uint32_t flags, RunEntry& entry);
    Mp4Outcome<void> add_run_sample(const RunEntry& entry, RunPosition& at);
    Mp4Outcome<void> extend_offset_table();
    bool runs_are_ours() const;

    const FileBytes& file_;
    FragmentedTrack track_;
    SampleIndex& index_;
    std::int64_t track_end_;
    std::int64_t last_decode_time_;  // of the index's last sample
    // State of the moof being read, as libavformat keeps it.
    std::uint64_t moof_offset_ = 0;
    std::uint64_t implicit_offset_ = 0;
    bool header_in_fragment_ = false;
    std::uint32_t header_track_ = 0;  // the track the current traf is for
    std::uint64_t base_offset_ = 0;
    std::uint32_t description_ = 0;
    std::uint32_t default_duration_ = 0;
    std::uint32_t default_size_ = 0;
    std::uint32_t default_flags_ = 0;
    std::int64_t fragment_decode_time_ = 0;  // tfdt of this moof, or NO_PTS
    std::int64_t next_run_decode_time_ = 0;  // where the last run ended, or NO_PTS
    bool offset_table_extended_ = false;
    // libavformat's read cursor over composition offsets is stuck on an
    // empty entry: every sample from there on gets offset 0.
    bool offsets_stuck_ = false;
};

}  // namespace pytovrik::file::mp4
