// The H.264 track of an ISO base media file (MP4, MOV, 3GP, M4V), built from
// the container's own index: box headers, the movie box and any movie
// fragment boxes are read, the media data never. The samples equal, one for
// one, the packets libavformat's mov demuxer yields for the first H.264
// video stream through av_read_frame, with two exceptions by design: a
// sample's description is the one its sample-to-chunk entry names, and its
// key flag is the container's sync flag (libavformat's parser may add key
// flags from the NAL units).
#pragma once

#include <memory>
#include <string>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "track.hpp"

namespace pytovrik::file {

// Returns one of:
// - the track;
// - nullptr when the file is not one libavformat reads with its mov demuxer,
//   or when libavformat reads it in a way not reproduced here (several
//   edits that show media, edit rates other than 1, partial sync samples,
//   sample entries of mixed formats, irregular fragment layouts, ...): the
//   caller then scans the file with libavformat. `fallback_reason`, when
//   given, says which;
// - a failure "'{path}': ..." when the file is malformed beyond doubt (sizes
//   or counts that point outside their box or the file, a movie box cut
//   short or missing, no sample of the track inside the file) or cannot be
//   read.
Outcome<std::unique_ptr<Track>> open_mp4_track(std::shared_ptr<FileBytes> file, std::string* fallback_reason = nullptr);

}  // namespace pytovrik::file
