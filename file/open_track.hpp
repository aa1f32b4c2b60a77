// Picks the reader for a file: the MP4/MOV index where the file has one the
// reader can follow, otherwise a scan of the whole file with libavformat.
#pragma once

#include <memory>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "track.hpp"

namespace pytovrik::file {

struct OpenedTrack {
    std::unique_ptr<Track> track;
    // True when `observe` saw every sample while the file was read.
    bool scanned = false;
};

Outcome<OpenedTrack> open_track(std::shared_ptr<FileBytes> file, const SampleObserver& observe);

}  // namespace pytovrik::file
