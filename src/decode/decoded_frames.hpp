// The lazy frame sequence of one batch: each pull sends packets only until
// the decoder has a frame to give, so frames are converted as they come out
// and at most one decoded picture is held besides the decoder's own.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/ffmpeg_owners.hpp"
#include "common/outcome.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/packet_batch.hpp"
#include "decode/stream_key.hpp"

namespace pytovrik {

// A sorted set of distinct frame positions; empty selects every frame.
class FrameSelection {
public:
    FrameSelection() = default;
    explicit FrameSelection(std::vector<std::uint64_t> positions);  // sorts, drops duplicates

    [[nodiscard]] bool selects(std::uint64_t position) const;
    [[nodiscard]] std::size_t size() const noexcept { return positions_.size(); }

private:
    std::vector<std::uint64_t> positions_;
};

// One decoded picture, exactly as avcodec_receive_frame filled it.
class FfmpegDecodedFrame {
public:
    explicit FfmpegDecodedFrame(UniqueAVFrame frame) noexcept : frame_(std::move(frame)) {}
    [[nodiscard]] const AVFrame& frame() const noexcept { return *frame_; }

private:
    UniqueAVFrame frame_;
};

// An FFmpeg packet carrying a copy of the bytes. Empty bytes give a packet
// with no data, which the decoder takes as end of stream. `index` names the
// packet in failure messages.
Outcome<UniqueAVPacket> packet_from_bytes(const OwnedPacket& bytes, std::uint64_t index);

// Which decoder runs a batch: the calling thread's, with the configured
// thread count, or a fresh one on the calling thread alone, freed after.
enum class DecoderThreads { Configured, One };

class FfmpegDecodedFrames {
public:
    FfmpegDecodedFrames(DecoderHandle decoder, StreamKey key, UniqueAVFrame work_frame, PacketBatch packets) noexcept;
    FfmpegDecodedFrames(FfmpegDecodedFrames&&) noexcept = default;
    FfmpegDecodedFrames& operator=(FfmpegDecodedFrames&&) = delete;
    FfmpegDecodedFrames(const FfmpegDecodedFrames&) = delete;
    FfmpegDecodedFrames& operator=(const FfmpegDecodedFrames&) = delete;
    // Flushes the decoder and returns it to the calling thread's pool, under
    // the batch's stream key.
    ~FfmpegDecodedFrames();

    // The next frame, std::nullopt at the end of the sequence, or a failure.
    Outcome<std::optional<FfmpegDecodedFrame>> next();

    // Whether the batch should be decoded again on one thread: its decoder
    // runs frame threads, and a frame it gave was concealed or flagged
    // corrupt (or, after a failure, whatever it gave). How FFmpeg conceals
    // damage with frame threads depends on their timing, so the same
    // request would give other pixels from run to run; on one thread it
    // gives the same every time, and FFmpeg's messages about it come on the
    // calling thread, where the host can read them.
    [[nodiscard]] bool wants_one_thread() const noexcept;
    // Ends the sequence (its decoder goes back to the pool) and gives the
    // batch back.
    PacketBatch take_packets() &&;

private:
    DecoderHandle decoder_;
    StreamKey key_;
    UniqueAVFrame frame_;
    PacketBatch packets_;  // packets_[packets_sent_..] are not sent yet
    std::uint64_t packets_sent_ = 0;
    bool eof_sent_ = false;
    bool finished_ = false;
    bool damaged_ = false;
    std::uint64_t frames_given_ = 0;
};

// Starts decoding a batch (consumed, and kept until the sequence ends).
Outcome<FfmpegDecodedFrames> decode_h264_packets(PacketBatch packets,
                                                 DecoderThreads threads = DecoderThreads::Configured);

}  // namespace pytovrik
