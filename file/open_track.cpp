#include "open_track.hpp"

namespace pytovrik::file {

Outcome<OpenedTrack> open_track(std::shared_ptr<FileBytes> file, const SampleObserver&) {
    return fail("'" + file->path() + "': no container reader yet");
}

}  // namespace pytovrik::file
