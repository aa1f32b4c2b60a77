// The frames of a video file's H.264 track as a player shows them, and where
// a decoder can start to get each one.
//
// Frame i is the i-th frame shown: the track's pictures that start a frame
// (a field pair is one frame), without those an edit list hides, in
// presentation order, and without the first pictures that no decoder shows
// cleanly (those before the first random access point, and the leading
// pictures of a start that is not an IDR picture) exactly as FFmpeg drops
// them. A random access point is where a decoder starts cleanly: an IDR
// picture, a recovery point SEI (an open GOP's key frame, an intra-refresh
// stream's recovery), an intra picture that clears every reference, or an
// intra picture the container's own index calls a sync sample (see
// group_learning.cpp). A decoder that starts there shows the pictures from
// its recovery point on.
//
// Containers with an index (MP4/MOV) are opened from it alone: a group's
// samples are read, and what they say is learnt, only when a frame of the
// group is first asked for. Which frame is which never depends on that
// reading: only where decoding starts does. Other containers are read once
// at open, every sample's units analysed as they pass.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "stream_analysis.hpp"
#include "track.hpp"

struct RuntimeDecodeRequest;
struct RuntimeDecodeResponse;

namespace pytovrik::file {

inline constexpr std::uint32_t NO_SAMPLE = UINT32_MAX;

// The host's decoding library, used at open when a file does not start
// cleanly: which of its first pictures a decoder shows is found by decoding.
struct DecoderFunctions {
    int (*decode_h264)(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response) = nullptr;
    void (*free_response)(RuntimeDecodeResponse* response) = nullptr;
};

struct RandomAccessPoint {
    std::uint32_t sample = 0;
    // The picture from which a decoder starting here shows frames: the point
    // itself, or the recovery point its SEI names.
    std::uint32_t recovered_at = 0;
    std::uint32_t header = 0;  // into VideoIndex::header()
    // Read and confirmed; a point known only from the container's key flag
    // is not, until its group is first read.
    bool confirmed = false;
};

class VideoIndex {
public:
    static Outcome<std::unique_ptr<VideoIndex>> open(const std::string& path, const DecoderFunctions& decoder);
    // An index of a track read by other means (tests): every sample is read
    // and analysed at once.
    static Outcome<std::unique_ptr<VideoIndex>> from_track(std::string name, std::unique_ptr<Track> track,
                                                           const DecoderFunctions& decoder);

    const std::string& path() const { return path_; }
    std::uint64_t frame_count() const { return frames_.size(); }
    const TrackInfo& info() const { return track_->info; }
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    Rational frame_rate() const { return frame_rate_; }
    // Presentation times in seconds: the container's, or frame i / frame rate
    // where the container has none.
    double frame_seconds(std::uint64_t frame) const;
    double duration_seconds() const;
    // The frame shown at `seconds` (its [pts, next pts) holds it), if any.
    std::optional<std::uint64_t> frame_at(double seconds) const;
    // Bytes of the file read to open it, read so far (at open and for
    // requests), and bytes the index keeps.
    std::uint64_t bytes_read_at_open() const { return bytes_read_at_open_; }
    std::uint64_t bytes_read() const { return file_ ? file_->bytes_read() : track_->info.bytes_read; }
    std::uint64_t index_bytes() const;

    const Track& track() const { return *track_; }
    Track& track() { return *track_; }
    std::uint32_t sample_of_frame(std::uint64_t frame) const { return frames_[frame]; }
    // The frame a sample shows (its first field's, for a second field), if any.
    std::optional<std::uint64_t> frame_of_sample(std::uint32_t sample) const;
    // The order of presentation: pts, or the picture order where the
    // container gives none.
    std::int64_t order_of_sample(std::uint32_t sample) const { return track_->samples[sample].pts; }
    bool timed() const { return timed_; }

    // The lock that guards what is learnt after open: the samples' analysis
    // flags and the random access points of unread groups.
    std::mutex& learning() const { return learning_; }
    std::vector<RandomAccessPoint>& random_access_points() { return points_; }
    const std::vector<RandomAccessPoint>& random_access_points() const { return points_; }
    const StreamHeader& header(std::uint32_t index) const { return headers_[index]; }
    // The header's number, a new one unless an equal one is known. Fails
    // when the headers would cost more than the samples justify.
    Outcome<std::uint32_t> add_header(StreamHeader header);
    // Where to learn from for a group read later: the state after the
    // container's parameter sets and the first sample.
    const StreamAnalyser& base_analysis() const { return base_analysis_; }
    bool lazily_analysed() const { return lazy_; }

    // A request that starts at a picture other than an IDR one runs this
    // far past the last picture it needs. FFmpeg shows a picture that leaves
    // the reorder buffer while decoding goes on once the recovery point has
    // been shown; one that is only drained at the end of the packets it
    // shows only if it was decoded after that. Running one reorder depth past
    // the last needed picture lets every needed one leave while decoding
    // goes on, and a second depth makes every drained one follow the
    // recovery point's showing, so a request shows exactly the pictures
    // from the recovery point on, as a decode of the whole file would.
    // A picture shown before the recovery point `shown_from` (a leading
    // picture of an open GOP) leaves the buffer before it, unshown: one past
    // the last needed picture holds the recovery point's showing back by a
    // picture, so it does not count towards the padding. (Those up to the
    // last needed one hold it back as much as they add before the padding.)
    // Nor does a picture the request leaves out (`left_out`). Returns the
    // last sample to send.
    std::uint32_t padded_end(std::uint32_t last_needed, std::uint32_t shown_from = NO_SAMPLE,
                             const std::function<bool(std::uint32_t)>& left_out = {}) const;

    // The most bytes a request's packets may hold: a few times the track's
    // samples, so that a request never costs more than the file justifies.
    std::uint64_t request_byte_limit() const;

private:
    friend class SampleLearner;
    VideoIndex() = default;

    Outcome<void> measure_samples();
    Outcome<void> finish_opening(const DecoderFunctions& decoder);
    Outcome<void> order_frames(const DecoderFunctions& decoder);
    Outcome<std::uint64_t> frames_a_decoder_shows(std::uint32_t end_sample, const DecoderFunctions& decoder);
    void settle_picture_size();

    std::string path_;
    std::shared_ptr<FileBytes> file_;
    std::unique_ptr<Track> track_;
    std::vector<std::uint32_t> frames_;  // frame -> sample of its first field
    // Each frame's pts, kept apart only when the samples are ordered by their
    // picture order counts instead (see order_frames).
    std::vector<std::int64_t> frame_times_;
    bool times_ascend_ = true;
    std::vector<RandomAccessPoint> points_;
    std::vector<StreamHeader> headers_;
    std::unordered_multimap<std::uint64_t, std::uint32_t> header_of_hash_;
    std::uint64_t header_units_ = 0;  // references to units, over every header
    std::uint64_t sample_bytes_ = 0;
    // Each sample's picture order, while the index is built for a track
    // without timestamps.
    std::vector<std::int64_t> picture_orders_;
    StreamAnalyser base_analysis_;
    bool lazy_ = false;
    bool timed_ = true;
    std::uint32_t padding_pictures_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    Rational frame_rate_{25, 1};
    std::uint64_t bytes_read_at_open_ = 0;
    mutable std::mutex learning_;
};

// Presentation order of two samples of a track: pts, then decode order.
inline bool shown_before(const Track& track, std::uint32_t a, std::uint32_t b) {
    const std::int64_t pa = track.samples[a].pts;
    const std::int64_t pb = track.samples[b].pts;
    return pa != pb ? pa < pb : a < b;
}

// Annex B bytes of `units`, each behind a four-byte start code.
void append_annexb_units(ByteVector& out, std::span<const ByteVector> units);
void append_annexb_units(ByteVector& out, const StreamHeader& header);
// A sample in its container's framing (length_size 0: Annex B already) as
// Annex B, appended to `out`.
void append_sample_as_annexb(ByteVector& out, std::span<const std::uint8_t> bytes, std::uint8_t length_size);

// A request's packets, built from samples in decode order: each sample in
// Annex B form, behind its sample description's parameter sets where the
// description changes, the whole bounded by `limit` bytes.
class RequestPackets {
public:
    RequestPackets(const Track& track, std::uint64_t limit, const StreamHeader& header, std::uint32_t description);
    // Adds a sample to the packet being built; false once the request would
    // hold more than the limit.
    [[nodiscard]] bool add(const TrackSample& entry, std::span<const std::uint8_t> bytes);
    // Ends the packet being built with the sample added last.
    void end_packet();
    std::vector<ByteVector> take() { return std::move(packets_); }

private:
    const Track& track_;
    std::uint64_t limit_;
    std::uint32_t description_;
    std::uint64_t held_ = 0;
    ByteVector pending_;
    std::vector<ByteVector> packets_;
};

}  // namespace pytovrik::file
