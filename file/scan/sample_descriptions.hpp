// The parameter sets a container keeps beside the samples (the stream's
// extradata, new extradata in a packet's side data), read the way FFmpeg's
// H.264 decoder reads them, and kept once however often a file repeats them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/outcome.hpp"
#include "track.hpp"

namespace pytovrik::file {

// An avcC record (first byte 1) gives length-prefixed samples and its SPS and
// PPS; anything else is Annex B, whose SPS and PPS units are kept. Fails on an
// avcC record whose counts or sizes run past its end, which the decoder
// refuses too.
Outcome<SampleDescription> describe_extradata(std::span<const std::uint8_t> extradata);

// Appends descriptions to a track's list, handing back the index of one with
// the same length size and parameter sets instead of adding it again.
class DescriptionTable {
public:
    explicit DescriptionTable(std::vector<SampleDescription>& descriptions) : descriptions_(descriptions) {}

    // Fails when the track would need more descriptions than a sample can name.
    Outcome<std::uint16_t> intern(SampleDescription description);

private:
    std::vector<SampleDescription>& descriptions_;
    std::unordered_multimap<std::size_t, std::uint16_t> by_hash_;
};

}  // namespace pytovrik::file
