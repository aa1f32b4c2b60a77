// The sample description box (stsd) of a track: which codec libavformat
// sees in it, and for an H.264 track one SampleDescription per entry.
#pragma once

#include <cstdint>
#include <vector>

#include "file_bytes.hpp"
#include "mp4/mp4_boxes.hpp"
#include "mp4/mp4_outcome.hpp"
#include "track.hpp"

namespace pytovrik::file::mp4 {

// The format (four-character code) of a track's first sample entry; 0 when
// the box holds none.
Outcome<std::uint32_t> read_first_sample_format(const FileBytes& file, const Box& stsd);

// Whether libavformat makes an H.264 video stream of a track with this
// handler (hdlr subtype) and first sample entry format: the same tag tables,
// in the same order, as its own lookup.
bool is_h264_video(std::uint32_t handler, std::uint32_t format);

struct SampleEntries {
    // One per entry, in order, so a sample-to-chunk index minus one names
    // its description. Entries libavformat skips (another format than the
    // first) stay empty.
    std::vector<SampleDescription> descriptions;
    std::vector<bool> skipped;
    // libavformat's pseudo stream id: -1 when a later entry repeats the first
    // entry's format, else 0 (only samples of the first entry are demuxed).
    int pseudo_stream_id = 0;
    // The data reference of the last entry libavformat reads (1-based).
    std::uint16_t data_reference = 1;
};

Mp4Outcome<SampleEntries> read_sample_entries(const FileBytes& file, const Box& stsd);

}  // namespace pytovrik::file::mp4
