// Where the frames come from: an Annex B stream the tool cuts into batches
// itself, or a video file decoded through the file layer's index. Either
// hands the kept frames to the outputs in order, each with its position: its
// place in the decoder's output over the whole stream, or, for a file, its
// index in the file's frame order (frame i is the i-th frame a player shows).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "batch_decoder.hpp"
#include "batch_reader.hpp"
#include "frame_selection.hpp"
#include "output/frame_sink.hpp"
#include "progress.hpp"
#include "result.hpp"

namespace pytovrik::cli {

struct DecodeSettings {
    RuntimeFormat format = RuntimeFormatYuv420;
    // std::nullopt: RGB at the decoded size (a stream's) or the first frame's
    // size (a file's).
    std::optional<FrameSize> rgb_size;
    FrameSelection frames;
    // How an Annex B stream is cut into library calls; a file's calls follow
    // its index.
    BatchMode batch = BatchMode::group_of_pictures;
    // The most frame bytes one library call may return (0: no limit). An
    // Annex B stream decoded in one batch goes without.
    std::uint64_t memory_budget = 0;
    // A file's frames turned as its display matrix says, as ffmpeg does
    // unless told -noautorotate; --size is then the turned frame's.
    bool autorotate = true;
};

struct DecodeTotals {
    // A stream's frames decoded up to the last kept one; a file's frames
    // handed on.
    std::uint64_t frames = 0;
    std::uint64_t kept = 0;
    std::uint64_t batches = 0;  // library calls
    std::optional<FrameSize> last_size;
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // What the user gave us, e.g. "Annex B" or "container mpegts, 150 frames".
    virtual std::string description() const = 0;
    virtual FrameRate frame_rate() const = 0;
    // The times --framecrc prints beside each frame, as ffmpeg's framecrc of
    // the same input does; std::nullopt when it prints none.
    virtual Outcome<std::optional<FrameTimes>> frame_times() = 0;
    // Hands the kept frames to `consume` in position order.
    virtual Outcome<DecodeTotals> decode(const DecodeSettings& settings, const FrameConsumer& consume,
                                        Progress& progress) = 0;
};

Outcome<std::unique_ptr<FrameSource>> open_annexb_frames(const std::string& path);
Outcome<std::unique_ptr<FrameSource>> open_file_frames(const std::string& path);

// Picks the input by content: a stream that begins with a start code is read
// as Annex B, anything else is opened as a video file.
Outcome<std::unique_ptr<FrameSource>> open_input(const std::string& path);

}  // namespace pytovrik::cli
