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
//
// The index is the only owner of what is known about the file. What is
// learnt after open (the samples' analysis flags, the random access points of
// groups read later) changes under its own lock; callers see it only through
// the copies and answers below.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "group_learning.hpp"
#include "stream_analysis.hpp"
#include "track.hpp"

struct RuntimeDecodeRequest;
struct RuntimeDecodeResponse;

namespace pytovrik::file {

// The host's decoding library, used at open when a file does not start
// cleanly: which of its first pictures a decoder shows is found by decoding.
struct DecoderFunctions {
    int (*decode_h264)(const RuntimeDecodeRequest* request, RuntimeDecodeResponse* response) = nullptr;
    void (*free_response)(RuntimeDecodeResponse* response) = nullptr;
};

// Where a request for some frames starts, and how far it must run.
struct RequestReach {
    std::uint32_t start = 0;        // a random access point
    std::uint32_t last_needed = 0;  // the last sample the frames need
    std::uint32_t last = 0;         // the last sample to send
};

// What a request from `start` to `last` knows of its samples, as one
// consistent copy.
struct RequestView {
    std::uint32_t start = 0;
    std::uint32_t last = 0;
    std::vector<std::uint16_t> flags;  // of samples start..last
    // The picture from which a decoder starting here shows frames.
    std::uint32_t recovered_at = 0;
    StreamHeader header;  // what the request carries in front
};

class VideoIndex {
public:
    static Outcome<std::unique_ptr<VideoIndex>> open(const std::string& path, const DecoderFunctions& decoder);
    static Outcome<std::unique_ptr<VideoIndex>> open(std::shared_ptr<FileBytes> file, const DecoderFunctions& decoder);
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

    // The track's container facts: descriptions, sample sizes and times. The
    // samples' analysis flags change as groups are learnt: read them through
    // view().
    const Track& track() const { return *track_; }
    std::uint32_t sample_of_frame(std::uint64_t frame) const { return frames_[frame]; }
    // The frame a sample shows (its first field's, for a second field), if any.
    std::optional<std::uint64_t> frame_of_sample(std::uint32_t sample) const;
    // Presentation order of two samples: the order the decoder shows them in.
    bool shown_before(std::uint32_t a, std::uint32_t b) const;
    bool timed() const { return timed_; }
    bool lazily_analysed() const { return lazy_; }
    // The frames at the random access points, ascending.
    std::vector<std::uint64_t> key_frames() const;

    // Where decoding starts for each of `frames`, alone.
    std::vector<std::uint32_t> starts_of(std::span<const std::uint64_t> frames) const;
    // Where a request for `frames` starts (the latest random access point,
    // not after `start`, from which a decoder shows every one of them) and
    // how far it runs.
    RequestReach reach(std::span<const std::uint64_t> frames, std::uint32_t start) const;
    // The random access point before `start`, if any.
    std::optional<std::uint32_t> point_before(std::uint32_t start) const;
    // A copy of what a request from `start` to `last` needs to know.
    RequestView view(std::uint32_t start, std::uint32_t last) const;
    // Reads samples (a host may ask from several threads at once).
    Outcome<void> read_samples(std::span<const std::uint32_t> samples, const SampleConsumer& consume) const {
        return track_->read_samples(samples, consume);
    }
    // Takes in what the samples first, first + 1, ... say, given their bytes
    // in that order (for a file read lazily; a no-op otherwise).
    Outcome<void> learn(std::uint32_t first, std::span<const std::span<const std::uint8_t>> bytes);

    // The most bytes a request's packets may hold: a few times the track's
    // samples, so that a request never costs more than the file justifies.
    std::uint64_t request_byte_limit() const;

private:
    VideoIndex(std::string path, std::shared_ptr<FileBytes> file) : path_(std::move(path)), file_(std::move(file)), headers_(path_) {}

    Outcome<void> measure_samples();
    void take_in(LearntSamples learnt);
    Outcome<void> finish_opening(const DecoderFunctions& decoder);
    void settle_reorder_padding();
    void choose_presentation_order(std::vector<std::int64_t> orders);
    Outcome<void> probe_start(const DecoderFunctions& decoder);
    Outcome<std::uint64_t> frames_a_decoder_shows(std::uint32_t end_sample, const DecoderFunctions& decoder);
    void list_frames();
    void settle_picture_size();

    // With the lock held:
    std::uint32_t start_for(std::uint32_t sample) const;
    const RandomAccessPoint* point_at(std::uint32_t sample) const;
    std::uint32_t frame_end(std::uint32_t sample) const;
    std::uint32_t padded_end(std::uint32_t last_needed, std::uint32_t shown_from = NO_SAMPLE,
                             const std::function<bool(std::uint32_t)>& left_out = {}) const;

    std::string path_;
    std::shared_ptr<FileBytes> file_;
    std::unique_ptr<Track> track_;
    std::vector<std::uint32_t> frames_;  // frame -> sample of its first field
    // Each sample's place in the order of presentation, kept only where the
    // samples' pts do not give it: a track without times, or one whose
    // pictures' own order counts contradict its pts (see
    // choose_presentation_order). The pts stay each frame's time.
    std::vector<std::int64_t> orders_;
    bool times_ascend_ = true;
    std::vector<RandomAccessPoint> points_;
    HeaderStore headers_;
    std::uint64_t sample_bytes_ = 0;
    StreamAnalyser base_analysis_;
    bool lazy_ = false;
    bool timed_ = true;
    std::uint32_t padding_pictures_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    Rational frame_rate_{25, 1};
    std::uint64_t bytes_read_at_open_ = 0;
    // Guards what is learnt after open: the samples' analysis flags and the
    // random access points.
    mutable std::mutex learning_;
};

// Annex B bytes of a stream header's units, each behind a start code.
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
    DescriptionInForce description_;
    std::uint64_t held_ = 0;
    ByteVector pending_;
    std::vector<ByteVector> packets_;
};

}  // namespace pytovrik::file
