// Reads samples back by demuxing their stretch of the file again, for samples
// whose bytes are not contiguous in it. Each call takes a demuxer of its own
// from a small pool, repositions it shortly before the first sample asked
// for, and reads packets until those asked for are matched to the scan's
// samples by position and size, in decode order.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "scan/track_demuxer.hpp"
#include "track.hpp"

namespace pytovrik::file {

class DemuxedSamples {
public:
    DemuxedSamples(std::shared_ptr<FileBytes> file, TrackStreamId stream) : file_(std::move(file)), stream_(stream) {}

    // Hands the samples at `indices` (ascending) of `samples` to `consume`.
    // May be called from several threads at once.
    Outcome<void> read(std::span<const TrackSample> samples, std::span<const std::uint32_t> indices,
                       const SampleConsumer& consume);

private:
    Outcome<std::unique_ptr<TrackDemuxer>> take_demuxer();
    void keep_demuxer(std::unique_ptr<TrackDemuxer> demuxer);

    // Reads from shortly before indices[0] on; returns how many of `indices`
    // it handed over (at least one).
    Outcome<std::size_t> read_stretch(std::unique_ptr<TrackDemuxer>& demuxer, std::span<const TrackSample> samples,
                                      std::span<const std::uint32_t> indices, const SampleConsumer& consume);

    std::shared_ptr<FileBytes> file_;
    TrackStreamId stream_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<TrackDemuxer>> idle_;
};

}  // namespace pytovrik::file
