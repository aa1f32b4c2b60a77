// What a container reader hands the file index: the samples of one H.264
// track in decode order, where their bytes are, their presentation times as
// FFmpeg's demuxer reports them (edit lists applied), and the parameter sets
// the container keeps outside the samples. Every reader yields exactly the
// packet list libavformat's demuxer would give for the same file: same
// samples, same sizes, same pts, same key and discard flags.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/outcome.hpp"

namespace pytovrik::file {

using ByteVector = std::vector<std::uint8_t>;

// A pts the container does not give (raw streams, AVI).
inline constexpr std::int64_t NO_PTS = std::numeric_limits<std::int64_t>::min();

// Bits of TrackSample::flags. The low byte is the container reader's; the
// high byte is the index's, filled once it has read the sample's NAL units.
enum SampleFlag : std::uint16_t {
    // The container marks the sample as a random access point (MP4 sync
    // sample, Matroska/AVI key frame, MPEG-TS random access indicator).
    SAMPLE_KEY = 1U << 0,
    // The edit list hides it: it is decoded where later pictures need it,
    // never shown (libavformat's AV_PKT_FLAG_DISCARD).
    SAMPLE_DISCARD = 1U << 1,
    // The file ends inside the sample: `size` is what the file still holds.
    SAMPLE_TRUNCATED = 1U << 2,
    // The container's own index says the sample is a sync sample (an MP4
    // sync sample table, a fragment's sample flags), rather than libavformat
    // guessing it from the bitstream or the file having no such table.
    SAMPLE_SYNC_STATED = 1U << 3,
    SAMPLE_CONTAINER_FLAGS = 0x00FF,
};

struct TrackSample {
    // Where the reader finds the bytes again; for most readers the offset of
    // the sample's first byte in the file.
    std::uint64_t position = 0;
    std::uint32_t size = 0;
    std::uint16_t description = 0;  // index into Track::descriptions
    std::uint16_t flags = 0;        // SampleFlag bits
    std::int64_t pts = NO_PTS;      // in Track::info.time_base
};
// The index keeps one of these per sample; together with the frame order it
// must stay within 32 bytes a frame.
static_assert(sizeof(TrackSample) == 24);

// How samples carry their NAL units, and the parameter sets the container
// keeps beside them (an avcC record, Matroska's CodecPrivate, new extradata
// in a packet's side data). A track whose stream changes gets one
// description per change; each sample names the one in force.
struct SampleDescription {
    // 0: the samples are Annex B byte streams; 1 to 4: every NAL unit has a
    // big-endian length prefix of that many bytes.
    std::uint8_t length_size = 0;
    // SPS and PPS NAL units, each without start code or length prefix.
    std::vector<ByteVector> parameter_sets;
    // As the container states them; 0 when it does not.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct Rational {
    std::int64_t num = 0;
    std::int64_t den = 1;
};

struct TrackInfo {
    // libavformat's short name of the demuxer that reads such files
    // ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "mpegts", "avi", "h264").
    std::string container;
    Rational time_base;   // of TrackSample::pts
    Rational frame_rate;  // as the container states it; num 0 when it does not
    // Bytes of the file the reader took to build the track (for benchmarks).
    std::uint64_t bytes_read = 0;
    // How a player turns the stored pictures for display: the container's
    // display matrix (MP4 tkhd, libavformat's display matrix side data) as
    // libavformat lays it out, row by row; the identity when it gives none.
    std::array<std::int32_t, 9> display_matrix{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
};

class Track;

// Called by readers that see every sample's bytes while they open the file
// (the ones that scan it): in decode order, once per sample, after the
// sample's entry exists in `track.samples` with its container flags and its
// description in `track.descriptions`.
using SampleObserver =
    std::function<Outcome<void>(const Track& track, std::uint32_t index, std::span<const std::uint8_t> bytes)>;

// Gets the bytes of one sample during Track::read_samples; the span lives
// only for the call.
using SampleConsumer = std::function<Outcome<void>(std::uint32_t index, std::span<const std::uint8_t> bytes)>;

class Track {
public:
    Track() = default;
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;
    virtual ~Track() = default;

    TrackInfo info;
    std::vector<SampleDescription> descriptions;
    std::vector<TrackSample> samples;  // decode order

    // Hands the bytes of the samples at `indices` (ascending, distinct) to
    // `consume`, in that order. A sample whose bytes cannot be read fails the
    // call with a message naming the file and the sample. May be called from
    // several threads at once.
    virtual Outcome<void> read_samples(std::span<const std::uint32_t> indices, const SampleConsumer& consume) = 0;
};

}  // namespace pytovrik::file
