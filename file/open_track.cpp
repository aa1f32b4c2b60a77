#include "open_track.hpp"

#include "scan/scanned_track.hpp"

namespace pytovrik::file {

Outcome<OpenedTrack> open_track(std::shared_ptr<FileBytes> file, const SampleObserver& observe) {
    auto scanned = open_scanned_track(std::move(file), observe);
    if (!scanned) {
        return std::unexpected(std::move(scanned.error()));
    }
    return OpenedTrack{std::move(*scanned), true};
}

}  // namespace pytovrik::file
