#include "open_track.hpp"

#include "mp4/mp4_track.hpp"
#include "scan/scanned_track.hpp"

namespace pytovrik::file {

Outcome<OpenedTrack> open_track(std::shared_ptr<FileBytes> file, const SampleObserver& observe) {
    // The file's own index first: it opens without reading the media data.
    auto indexed = open_mp4_track(file);
    if (!indexed) {
        return propagate(indexed);
    }
    if (*indexed != nullptr) {
        return OpenedTrack{std::move(*indexed), false};
    }
    auto scanned = open_scanned_track(std::move(file), observe);
    if (!scanned) {
        return propagate(scanned);
    }
    return OpenedTrack{std::move(*scanned), true};
}

}  // namespace pytovrik::file
