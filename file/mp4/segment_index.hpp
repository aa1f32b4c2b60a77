// Segment index boxes (sidx) as libavformat reads them: they matter only in
// telling it that the file's fragments are all indexed, after which it
// reads each moof when the packets before it are used up, not all at open.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "file_bytes.hpp"
#include "mp4/mp4_boxes.hpp"
#include "mp4/mp4_outcome.hpp"

namespace pytovrik::file::mp4 {

// The byte where the segments the index lists end; std::nullopt when
// libavformat ignores the box (a version it does not read, or a track the
// movie does not have).
Mp4Outcome<std::optional<std::uint64_t>> read_segment_index_end(const FileBytes& file, const Box& sidx,
                                                                std::span<const std::uint32_t> track_ids);

// Whether segments ending at `end` reach the end of the file, or the movie
// fragment random access box (mfra) that may close it, whose size the
// file's last four bytes give.
Outcome<bool> segments_reach_end(const FileBytes& file, std::uint64_t end);

}  // namespace pytovrik::file::mp4
