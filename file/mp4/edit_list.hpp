// Edit lists as libavformat applies them (mov_fix_index): samples before
// the edit's start back to the key frame it needs, and samples past its
// end up to the key frame after, stay in the track marked for discard;
// decode times are moved so the first shown picture starts at zero, or at
// the end of the empty edits before it. Only the shapes reproduced exactly
// are accepted: any number of empty edits, then at most one that shows
// media, at normal rate.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "file_bytes.hpp"
#include "mp4/mp4_boxes.hpp"
#include "mp4/mp4_outcome.hpp"
#include "mp4/sample_tables.hpp"

namespace pytovrik::file::mp4 {

struct Edit {
    std::int64_t duration = 0;    // in the movie's time scale
    std::int64_t media_time = 0;  // in the track's; -1 for an empty edit
};

Mp4Outcome<std::vector<Edit>> read_edit_list(const FileBytes& file, const Box& elst);

// Rewrites `index` (decode times in TrackSample::pts, composition offsets
// beside) as libavformat does when it applies `edits`.
void apply_edit_list(SampleIndex& index, std::span<const Edit> edits, std::int32_t track_time_scale,
                     std::int32_t movie_time_scale);

// The offset libavformat subtracts from fragment decode times: the first
// edit's media time less the empty edit before it.
std::int64_t fragment_time_offset(std::span<const Edit> edits, std::int32_t track_time_scale,
                                  std::int32_t movie_time_scale);

}  // namespace pytovrik::file::mp4
