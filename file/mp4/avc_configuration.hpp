// The decoder configuration an H.264 sample entry carries (its avcC box, or
// whatever box libavformat takes as the stream's extradata), read the way
// libavcodec's H.264 decoder reads extradata: a record whose first byte is 1
// is an avcC (length-prefixed samples); anything else is Annex B.
#pragma once

#include <span>
#include <string>

#include "common/outcome.hpp"
#include "track.hpp"

namespace pytovrik::file::mp4 {

// Fills `description.length_size` and `description.parameter_sets`. An avcC
// whose counts or lengths run past its end fails with a message naming what
// is wrong (the caller adds the file).
Outcome<void> read_avc_configuration(std::span<const std::uint8_t> extradata, SampleDescription& description);

}  // namespace pytovrik::file::mp4
