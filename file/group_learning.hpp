// How samples' bytes teach the index what they hold: the analysis flags of
// each sample, where decoding can start (random access points, with the
// picture from which a decoder starting there shows frames) and what a
// request from there must carry (the stream header). At open for files read
// whole; group by group, when first asked for, for files opened from their
// index. Nothing here touches the index: each step returns what it learnt,
// and the index, which owns what is known about the file, takes it in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/outcome.hpp"
#include "stream_analysis.hpp"
#include "track.hpp"

namespace pytovrik::file {

inline constexpr std::uint32_t NO_SAMPLE = UINT32_MAX;

struct RandomAccessPoint {
    std::uint32_t sample = 0;
    // The picture from which a decoder starting here shows frames: the point
    // itself, or the recovery point its SEI names.
    std::uint32_t recovered_at = 0;
    std::uint32_t header = 0;  // into the HeaderStore
    // Read and confirmed; a point known only from the container's key flag
    // is not, until its group is first read.
    bool confirmed = false;
};

// The stream headers of a file's random access points, each kept once
// however many points share it. Fails when the headers would cost more than
// the file's samples justify.
class HeaderStore {
public:
    explicit HeaderStore(std::string name) : name_(std::move(name)) {}

    // The header's number, a new one unless an equal one is known;
    // `sample_bytes` is what the file's samples hold (or what a scan has
    // seen of them so far).
    Outcome<std::uint32_t> add(StreamHeader header, std::uint64_t sample_bytes);
    const StreamHeader& operator[](std::uint32_t index) const { return headers_[index]; }
    std::size_t size() const { return headers_.size(); }
    // Bytes kept: each unit once, however many headers share it.
    std::uint64_t bytes() const;

private:
    std::string name_;
    std::vector<StreamHeader> headers_;
    std::unordered_multimap<std::uint64_t, std::uint32_t> by_hash_;
    std::uint64_t units_ = 0;  // references to units, over every header
};

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

// What reading samples taught.
struct LearntSamples {
    std::vector<std::uint16_t> flags;  // analysis flags, by sample (0: not read)
    std::vector<std::int64_t> orders;  // picture orders, when every sample was read
    std::vector<RandomAccessPoint> points;
    // For a track read lazily: the state after the container's parameter sets
    // and the first sample, where each group's learning starts.
    StreamAnalyser base_analysis;
};

// Learns from a track's samples in decode order, as a scan passes them or by
// reading them.
class SampleLearner {
public:
    // `sample_bytes`: what the track's samples hold, 0 while a scan has not
    // seen them all.
    SampleLearner(HeaderStore& headers, std::string name, std::uint64_t sample_bytes)
        : headers_(headers), name_(std::move(name)), sample_bytes_(sample_bytes) {}

    // The next sample in decode order, as a scan passes it.
    Outcome<void> see(const Track& track, std::uint32_t sample, std::span<const std::uint8_t> bytes);
    // What was learnt once every sample was seen.
    LearntSamples finish();

    // For a track opened from its index: every sample read and seen.
    Outcome<LearntSamples> read_every_sample(Track& track);
    // For a track opened from its index and read lazily: the first sample is
    // read (and any the file's end cuts), and every sample the container
    // marks as a key frame becomes a random access point to be confirmed
    // when its group is read.
    Outcome<LearntSamples> read_first_sample(Track& track);

private:
    HeaderStore& headers_;
    std::string name_;
    std::uint64_t sample_bytes_;
    StreamAnalyser analyser_;
    DescriptionInForce description_;
    std::uint64_t bytes_seen_ = 0;
    LearntSamples learnt_;
    RecoveryTracker recovery_;
};

// What reading a group taught: the flags of samples first, first + 1, ...,
// and the random access points among them (confirmed, their recovery point
// and header), which replace the ones listed for those samples.
struct LearntGroup {
    std::uint32_t first = 0;
    std::vector<std::uint16_t> flags;
    std::vector<RandomAccessPoint> points;
};

Outcome<LearntGroup> learn_group(const Track& track, const StreamAnalyser& base, HeaderStore& headers,
                                 std::uint64_t sample_bytes, std::uint32_t first,
                                 std::span<const std::span<const std::uint8_t>> bytes);

}  // namespace pytovrik::file
