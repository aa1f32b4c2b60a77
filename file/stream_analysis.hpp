// What the H.264 units of each sample say, read in decode order: whether it
// holds a picture and starts a frame (a field pair is one frame), whether a
// decoder can start there, and the parameter sets and encoder identification
// a request starting there must carry. Only headers are read, never slice
// data.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/h264_headers.hpp"
#include "track.hpp"

namespace pytovrik::file {

// The index's bits of TrackSample::flags.
enum AnalysisFlag : std::uint16_t {
    SAMPLE_ANALYSED = 1U << 8,
    SAMPLE_PICTURE = 1U << 9,      // holds at least one slice
    SAMPLE_FRAME_START = 1U << 10,  // begins a frame: a frame picture or a first (or lone) field
    SAMPLE_IDR = 1U << 11,
    SAMPLE_INTRA = 1U << 12,       // its first picture has only I or SI slices
    SAMPLE_REFERENCE = 1U << 13,   // some picture in it is used for reference
    SAMPLE_RECOVERY_POINT = 1U << 14,  // carries a recovery point SEI
    SAMPLE_PARAMETER_SETS = 1U << 15,  // carries an SPS or a PPS
};

// A picture order that could not be worked out.
inline constexpr std::int64_t UNKNOWN_ORDER = std::numeric_limits<std::int64_t>::min();

// Whether a sample holds a picture; one not yet read may.
inline bool is_picture(std::uint16_t flags) {
    return (flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_PICTURE) != 0;
}
// Whether a sample begins a frame (a field pair is one); one not yet read may.
inline bool starts_frame(std::uint16_t flags) {
    return (flags & SAMPLE_ANALYSED) == 0 || (flags & SAMPLE_FRAME_START) != 0;
}

// The sample description in force as a track's samples go by in decode
// order: where it changes, its parameter sets take effect.
class DescriptionInForce {
public:
    DescriptionInForce() = default;
    explicit DescriptionInForce(std::uint32_t current) : current_(current) {}

    // Enters `entry`: calls `changed(parameter_sets)` when its description
    // is another than the last one's. Returns the length size of its
    // framing. A description the track does not have leaves the one before
    // in force (std::nullopt when there is none).
    template <class Changed>
    std::optional<std::uint8_t> enter(const Track& track, const TrackSample& entry, Changed&& changed) {
        if (entry.description >= track.descriptions.size()) {
            return current_ < track.descriptions.size() ? std::optional(track.descriptions[current_].length_size)
                                                        : std::nullopt;
        }
        if (entry.description != current_) {
            current_ = entry.description;
            changed(std::span<const ByteVector>(track.descriptions[current_].parameter_sets));
        }
        return track.descriptions[current_].length_size;
    }

private:
    std::uint32_t current_ = UINT32_MAX;
};

// Appends one NAL unit behind a four-byte start code.
inline void append_annexb_unit(ByteVector& out, std::span<const std::uint8_t> nal) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
}

// What a sample says beyond its flags.
struct SampleFacts {
    std::uint16_t flags = SAMPLE_ANALYSED;
    // Of the sample's first picture.
    std::uint32_t frame_num = 0;
    // The picture order count of its first picture within its IDR period;
    // std::nullopt when it cannot be worked out (no picture, POC type 1).
    std::optional<std::int64_t> order;
    std::uint32_t recovery_frame_count = 0;  // with SAMPLE_RECOVERY_POINT
    // Its first picture is intra and leaves nothing before it for later
    // pictures to refer to: its memory management operations clear every
    // reference (operation 5), or it is a reference frame in a stream that
    // keeps one reference frame at most, so marking it drops all others.
    bool clears_references = false;
};

// One NAL unit of a stream header, without start code. Headers share the
// units they have in common: a stream whose every random access point
// changes one parameter set then costs each point what changed, not again
// every unit in force, however large those are.
struct HeaderUnit {
    ByteVector bytes;
    std::uint64_t hash = 0;  // of the bytes, so that headers compare without reading them

    explicit HeaderUnit(std::span<const std::uint8_t> nal);
};
using SharedUnit = std::shared_ptr<const HeaderUnit>;

// The units a decoder needs before a request's first picture: every
// parameter set in force (the latest of each id) and the latest x264
// version SEI, which the decoder reads old encoders' workarounds from.
struct StreamHeader {
    std::vector<SharedUnit> units;  // SPS first, then PPS, then SEI

    static StreamHeader of(std::span<const ByteVector> units);
    // Same units, by content; the shared ones without reading them.
    bool operator==(const StreamHeader& other) const;
    std::uint64_t hash() const;
};

// Whether every length prefix of a sample in length-prefixed framing stays
// within it.
bool sample_framing_holds(std::span<const std::uint8_t> bytes, std::uint8_t length_size);

// Calls `visit(nal)` for each NAL unit of a sample in its container's
// framing (length_size 0: Annex B). A sample whose length prefixes run past
// its end (cut short by the end of the file, or damaged) is visited not at
// all and gives false: FFmpeg's decoder rejects such a packet whole, its
// parameter sets included, so it holds no picture.
template <class Visit>
bool for_each_sample_unit(std::span<const std::uint8_t> bytes, std::uint8_t length_size, Visit&& visit) {
    if (length_size == 0) {
        h264::for_each_nal_unit(bytes, [&](h264::Bytes nal) {
            visit(nal);
            return true;
        });
        return true;
    }
    if (!sample_framing_holds(bytes, length_size)) {
        return false;
    }
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t size = 0;
        for (std::size_t i = 0; i < length_size; ++i) {
            size = size << 8 | bytes[at + i];
        }
        at += length_size;
        if (size > 0) {
            visit(bytes.subspan(at, size));
        }
        at += size;
    }
    return true;
}

class StreamAnalyser {
public:
    // The parameter sets a container keeps outside the samples take effect
    // when a sample of that description comes.
    void use_parameter_sets(std::span<const ByteVector> units);

    // Reads one sample, the next in decode order.
    SampleFacts analyse(std::span<const std::uint8_t> bytes, std::uint8_t length_size);

    // What a request starting at the sample just analysed must carry.
    StreamHeader header() const;

    // Forget the previous picture, as at a request's start: the next field is
    // then never taken for the second of a pair begun before.
    void restart_pairing() { pending_first_field_.reset(); }

    // The frame_num bits of the SPS in force (for recovery point arithmetic).
    std::uint32_t max_frame_num() const { return max_frame_num_; }

private:
    struct PendingField {
        std::uint32_t frame_num;
        bool bottom;
        bool reference;
    };
    struct PictureOrder {
        std::int64_t prev_msb = 0;
        std::uint32_t prev_lsb = 0;
        std::int64_t frame_num_offset = 0;
        std::uint32_t prev_frame_num = 0;
    };

    // What reading one sample's units has found so far.
    struct SampleReading {
        SampleFacts facts;
        bool slice_seen = false;
        bool in_first_picture = false;
        bool frame_started = false;
    };

    void see_parameter_set(h264::Bytes nal);
    void see_sei(h264::Bytes nal, SampleFacts& facts);
    void see_slice(h264::Bytes nal, SampleReading& reading);
    bool pair_fields(const std::optional<h264::SliceHeaderStart>& slice, bool reference);
    std::optional<std::int64_t> order_of(const h264::SliceHeaderStart& slice, const h264::SequenceParameterSet& sps,
                                         bool idr, bool reference);

    std::array<std::optional<h264::SequenceParameterSet>, h264::MAX_SPS_ID + 1> sps_{};
    std::array<std::optional<h264::PictureParameterSet>, h264::MAX_PPS_ID + 1> pps_{};
    std::array<SharedUnit, h264::MAX_SPS_ID + 1> sps_units_{};
    std::array<SharedUnit, h264::MAX_PPS_ID + 1> pps_units_{};
    SharedUnit encoder_sei_;
    std::optional<PendingField> pending_first_field_;
    PictureOrder order_;
    std::int64_t period_ = 0;  // IDR pictures seen: orders of later periods sort after
    std::uint32_t max_frame_num_ = 16;
};

}  // namespace pytovrik::file
