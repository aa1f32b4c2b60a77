// Reading back samples whose bytes lie contiguously in the source (MP4, and
// the scanned containers that store packets whole), a run of samples close
// together in one read: for a remote source a call costs more than the few
// kilobytes between a group's samples (another track's chunk, a container's
// block headers). A source in memory hands them out in place.
#pragma once

#include <cstdint>
#include <span>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "track.hpp"

namespace pytovrik::file {

// Hands the samples at `indices` (valid, ascending) of `samples`, whose
// positions are offsets in `file`, to `consume`. A sample the source no
// longer holds whole fails the call, naming the source and the sample.
Outcome<void> read_close_samples(const FileBytes& file, std::span<const TrackSample> samples,
                                 std::span<const std::uint32_t> indices, const SampleConsumer& consume);

}  // namespace pytovrik::file
