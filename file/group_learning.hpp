// How the index learns from samples' bytes: what each sample holds (the
// analysis flags), where decoding can start (random access points, with the
// picture from which a decoder starting there shows frames) and what a
// request from there must carry (the stream header). At open for files read
// whole; group by group, when first asked for, for files opened from their
// index.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "stream_analysis.hpp"
#include "track.hpp"
#include "video_index.hpp"

namespace pytovrik::file {

// Follows recovery point SEI messages to the picture they name: FFmpeg shows
// frames from the reference picture whose frame_num is the SEI picture's
// plus recovery_frame_cnt.
class RecoveryTracker {
public:
    // Called for each sample in decode order, before it may become a point.
    void see(std::uint32_t sample, const SampleFacts& facts, std::vector<RandomAccessPoint>& points);
    // For a new point at `sample`: where it recovers, NO_SAMPLE while unknown.
    std::uint32_t recovered_at(std::uint32_t sample, const SampleFacts& facts, std::uint32_t max_frame_num);

private:
    struct Open {
        std::uint32_t point_sample;
        std::uint32_t frame_num;
    };
    std::optional<Open> open_;
};

class SampleLearner {
public:
    explicit SampleLearner(VideoIndex& index) : index_(index) {}

    // The next sample in decode order, as a scan passes it.
    Outcome<void> see(const Track& track, std::uint32_t sample, std::span<const std::uint8_t> bytes);
    // Hands what was learnt to the index once every sample was seen.
    void finish();

    // For a track opened from its index: every sample read and seen.
    Outcome<void> read_every_sample();
    // For a track opened from its index and read lazily: the first sample is
    // read, and every sample the container marks as a key frame becomes a
    // random access point to be confirmed when its group is read.
    Outcome<void> read_first_sample();

private:
    VideoIndex& index_;
    StreamAnalyser analyser_;
    std::uint32_t description_ = UINT32_MAX;
    std::uint64_t bytes_seen_ = 0;
    std::vector<std::uint16_t> flags_;
    std::vector<std::int64_t> orders_;
    std::vector<RandomAccessPoint> points_;
    RecoveryTracker recovery_;
};

// Learns from the samples first, first + 1, ... of a track opened lazily,
// given their bytes in that order: their flags, and the random access points
// among them (confirmed, refuted, their recovery point and header). Takes
// the index's learning lock.
Outcome<void> learn_group(VideoIndex& index, std::uint32_t first, std::span<const std::span<const std::uint8_t>> bytes);

}  // namespace pytovrik::file
