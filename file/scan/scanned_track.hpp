// The track of a file whose container has no index to open from: MPEG-TS,
// raw H.264 (Annex B), Matroska, AVI, FLV, and MP4/MOV files too irregular
// for their sample tables to be read directly. libavformat's demuxer reads
// the whole file once; each packet of the first H.264 video stream becomes a
// sample, and its bytes are shown to `observe` then and kept nowhere.
//
// Reading bytes back later:
// - Raw H.264, Matroska (unlaced and laced blocks), AVI, FLV, MP4/MOV: a
//   packet's bytes lie contiguously in the file. The scan finds them (just
//   past the block, chunk or tag header, or right after the previous frame of
//   a lace), compares them byte for byte, and read_samples preads them.
// - MPEG-TS, and any packet not found that way (a Matroska block with header
//   stripping or zlib compression): the bytes come back by demuxing the file
//   again from shortly before the packet's position (a byte seek in MPEG-TS,
//   the demuxer's own seek elsewhere), matching packets to samples by
//   position and size. A request reads little more than its samples' stretch.
//
// Comparing a packet's bytes with the file's reads them a second time: from
// memory while a host opens the file (FileBytes::remember_reads), otherwise
// from the source again, and TrackInfo::bytes_read counts both reads.
//
// Damaged and truncated files give the packets the ffmpeg command line would
// decode: a read that fails with EAGAIN is retried (MPEG-TS gives it after
// losing sync over a damaged stretch, and reads on after it), any other
// failure ends the track there, and packets libavformat flags corrupt (cut
// by the end of the file; in MPEG-TS, missing transport packets) are kept,
// marked SAMPLE_TRUNCATED. An MPEG-TS or raw H.264 file cut inside its last
// access unit gives that unit as far as it goes, unmarked: neither states
// the unit's length.
#pragma once

#include <memory>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "track.hpp"

namespace pytovrik::file {

// Fails, naming the file, when libavformat cannot open it, it has no H.264
// video track, its extradata is malformed, or `observe` fails.
Outcome<std::unique_ptr<Track>> open_scanned_track(std::shared_ptr<FileBytes> file, const SampleObserver& observe);

}  // namespace pytovrik::file
