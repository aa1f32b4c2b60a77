// A track's samples from its sample tables, as libavformat's index holds
// them before edit lists apply (mov_build_index): in decode order, with
// position, size, key flag, description and decode time. The tables are
// read front to back through bounded buffers.
#pragma once

#include <cstdint>
#include <vector>

#include "file_bytes.hpp"
#include "mp4/movie_box.hpp"
#include "mp4/mp4_outcome.hpp"
#include "mp4/sample_entries.hpp"
#include "track.hpp"

namespace pytovrik::file::mp4 {

// libavformat's index keeps a sample size in a signed 30-bit field: it stops
// indexing a table at a larger sample, and cannot read one from bit 29 on.
inline constexpr std::uint32_t MAX_INDEXED_SAMPLE_SIZE = 0x3FFFFFFF;
inline constexpr std::uint32_t NEGATIVE_INDEXED_SAMPLE_SIZE = 0x20000000;
// A sample costs the file at least its 4-byte size table entry: a count
// beyond what the file can hold that way is a lie, whatever the table says.
inline constexpr std::uint64_t LEAST_BYTES_PER_SAMPLE = 4;

struct SampleIndex {
    // Decode order. `pts` holds the decode time until presentation times
    // are worked out from it.
    std::vector<TrackSample> samples;
    // Composition offsets (ctts) of the first offsets.size() samples: a
    // table may cover fewer samples than there are, and libavformat then
    // presents the rest at their decode time.
    std::vector<std::int32_t> offsets;
    // libavformat kept a composition offset table, even one that covers no
    // sample; edits then wait for a second key frame past their end.
    bool has_offset_table = false;
    // libavformat read a composition offset table, then dropped it as
    // invalid: the memory it had for it is reused uninitialised by fragments.
    bool offset_table_dropped = false;
    // How far decode times are moved back so that negative composition
    // offsets still give a presentation time at or after the decode time.
    std::int32_t dts_shift = 0;
    // False when libavformat stopped building the index early (a table
    // disagreeing with another); it then leaves the edit list unapplied.
    bool complete = true;
    // Sums over the time-to-sample table for the frame rate, and the media
    // duration it gives (where the first fragment starts without a tfdt).
    std::int64_t frames_for_rate = 0;
    std::int64_t duration_for_rate = 0;
    std::int64_t track_end = 0;
};

// Presentation times from decode times, as libavformat's packets carry
// them, for the samples from `first` on: a sample with a composition offset
// is shown at decode time + dts_shift + offset, one without at its decode
// time.
void set_presentation_times(SampleIndex& index, std::size_t first);

// `entries` is the track's sample description box, read already.
Mp4Outcome<SampleIndex> build_sample_index(const FileBytes& file, const TrackBoxes& track,
                                           const SampleEntries& entries);

}  // namespace pytovrik::file::mp4
