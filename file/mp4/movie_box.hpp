// The movie box (moov) as far as the H.264 track needs it: the movie time
// scale, the first track libavformat would make an H.264 video stream of,
// where that track's sample tables lie, and the fragment defaults (trex).
// Tables are located here and read later, front to back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_bytes.hpp"
#include "mp4/mp4_boxes.hpp"
#include "mp4/mp4_outcome.hpp"

namespace pytovrik::file::mp4 {

struct TrackBoxes {
    std::uint32_t track_id = 0;
    bool has_track_header = false;
    // tkhd's transformation matrix, row by row (a, b, u, c, d, v, x, y, w).
    std::array<std::int32_t, 9> matrix{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    // mdhd's time scale as libavformat keeps it (1 when not positive); 0
    // without an mdhd.
    std::int32_t time_scale = 0;
    // mvhd's time scale when this track was read (0 when the mvhd comes
    // later): libavformat applies the edit list with the value it has then.
    std::int32_t movie_time_scale = 0;
    std::uint32_t handler = 0;               // the last 'vide', 'soun', 'subp' or 'clcp' hdlr subtype
    std::optional<Box> edit_list;            // elst
    std::optional<Box> sample_descriptions;  // stsd
    std::optional<Box> time_to_sample;       // stts
    std::optional<Box> composition_offsets;  // ctts
    std::optional<Box> sync_samples;         // stss
    std::optional<Box> sample_to_chunk;      // stsc
    std::optional<Box> chunk_offsets;        // stco or co64
    std::optional<Box> sample_sizes;         // stsz or stz2
    std::optional<Box> data_references;      // dref
    // Why libavformat would read this track in a way not reproduced here;
    // empty when nothing such was seen.
    std::string unsupported;
};

// libavformat's per-track fragment defaults (trex).
struct TrackExtends {
    std::uint32_t track_id = 0;
    std::uint32_t description = 0;  // 1-based sample description index
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
};

struct MovieBoxes {
    std::int32_t time_scale = 0;  // mvhd's, 1 when not positive; 0 without an mvhd
    std::optional<TrackBoxes> video;
    std::vector<std::uint32_t> track_ids;  // of every trak, in order (0 without tkhd)
    std::vector<TrackExtends> extends;
};

// A movie box the end of the file cuts short (moov.end is then the file's
// end) is read as far as libavformat would: a cut in a box that does not
// describe the tracks (user data, say) loses nothing, a cut in a track does.
Mp4Outcome<MovieBoxes> read_movie_box(const FileBytes& file, const Box& moov, bool cut);

}  // namespace pytovrik::file::mp4
