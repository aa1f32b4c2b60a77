#include "decode/decoded_frames.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "decode/ffmpeg_startup.hpp"

namespace pytovrik {

FrameSelection::FrameSelection(std::vector<std::uint64_t> positions) : positions_(std::move(positions)) {
    std::sort(positions_.begin(), positions_.end());
    positions_.erase(std::unique(positions_.begin(), positions_.end()), positions_.end());
}

bool FrameSelection::selects(std::uint64_t position) const {
    return positions_.empty() || std::binary_search(positions_.begin(), positions_.end(), position);
}

Outcome<UniqueAVPacket> packet_from_bytes(const OwnedPacket& bytes, std::uint64_t index) {
    // av_packet_alloc applies the defaults of the old av_init_packet (which
    // later libavcodec versions remove): no timestamps, no flags, no side data.
    UniqueAVPacket packet(av_packet_alloc());
    if (!packet) {
        return fail("failed to allocate FFmpeg packet for H.264 packet " + std::to_string(index));
    }
    if (bytes.empty()) {
        return packet;
    }
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return fail("H.264 packet " + std::to_string(index) + " of " + std::to_string(bytes.size()) +
                    " bytes exceeds FFmpeg's packet size limit");
    }
    if (const int code = av_new_packet(packet.get(), static_cast<int>(bytes.size())); code < 0) {
        return fail("failed to allocate FFmpeg packet for H.264 packet " + std::to_string(index) +
                    " of " + std::to_string(bytes.size()) + " bytes: " + ffmpeg_error_text(code));
    }
    std::memcpy(packet->data, bytes.data(), bytes.size());
    return packet;
}

FfmpegDecodedFrames::FfmpegDecodedFrames(DecoderHandle decoder, StreamKey key, UniqueAVFrame work_frame,
                                         PacketBatch packets) noexcept
    : decoder_(std::move(decoder)),
      key_(std::move(key)),
      frame_(std::move(work_frame)),
      packets_(std::move(packets)) {}

FfmpegDecodedFrames::~FfmpegDecodedFrames() {
    if (decoder_) {
        return_decoder_to_pool(std::move(decoder_), std::move(key_));
    }
    frame_.reset();
    packets_.clear();
}

Outcome<std::optional<FfmpegDecodedFrame>> FfmpegDecodedFrames::next() {
    for (;;) {
        const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (received >= 0) {
            UniqueAVFrame fresh(av_frame_alloc());
            if (!fresh) {
                finished_ = true;
                return fail("failed to allocate FFmpeg frame");
            }
            const bool concealed = frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
            // On one thread the flag is the decoder's last word: say so once,
            // as a warning on the calling thread, where the host reads it.
            if (concealed && !damaged_ && (decoder_->active_thread_type & FF_THREAD_FRAME) == 0) {
                av_log(nullptr, AV_LOG_WARNING, "pytovrik_video: output frame %llu of the batch is damaged and was concealed\n",
                       static_cast<unsigned long long>(frames_given_));
            }
            damaged_ = damaged_ || concealed;
            ++frames_given_;
            return FfmpegDecodedFrame(std::exchange(frame_, std::move(fresh)));
        }
        if (finished_) {
            return std::nullopt;
        }
        // With frame threading a picture's decode error surfaces here rather
        // than from the send that carried it; read as "no frame yet", it
        // would drop the pictures behind it and let the thread count decide
        // between a short success and a failure.
        if (received != AVERROR(EAGAIN) && received != AVERROR_EOF) {
            finished_ = true;
            damaged_ = true;
            return fail("failed to decode H.264 frame: " + ffmpeg_error_text(received));
        }
        if (eof_sent_) {
            finished_ = true;
            return std::nullopt;
        }
        if (packets_sent_ == packets_.size()) {
            if (const int code = avcodec_send_packet(decoder_.get(), nullptr); code < 0) {
                finished_ = true;
                return fail("failed to flush H.264 decoder: " + ffmpeg_error_text(code));
            }
            eof_sent_ = true;
            continue;
        }
        const std::uint64_t index = packets_sent_++;
        auto packet = packet_from_bytes(packets_[index], index);
        if (!packet) {
            finished_ = true;
            return propagate(packet);
        }
        const int code = avcodec_send_packet(decoder_.get(), packet->get());
        av_packet_unref(packet->get());
        if (code < 0) {
            finished_ = true;
            damaged_ = true;
            return fail("failed to decode H.264 packet " + std::to_string(index) + ": " +
                        ffmpeg_error_text(code) +
                        (key_.undefined_set.empty()
                             ? ""
                             : " (the batch refers to " + key_.undefined_set + " without defining it before)"));
        }
    }
}

bool FfmpegDecodedFrames::wants_one_thread() const noexcept {
    return damaged_ && decoder_ && (decoder_->active_thread_type & FF_THREAD_FRAME) != 0;
}

PacketBatch FfmpegDecodedFrames::take_packets() && {
    finished_ = true;
    if (decoder_) {
        return_decoder_to_pool(std::move(decoder_), std::move(key_));
    }
    return std::move(packets_);
}

Outcome<FfmpegDecodedFrames> decode_h264_packets(PacketBatch packets, DecoderThreads threads) {
    ensure_ffmpeg_initialized();
    // What earlier requests taught a pooled decoder must not change this one.
    StreamKey key = stream_key_of(packets);
    if (threads == DecoderThreads::One) {
        key.poolable = false;  // a decoder of its own, freed after the batch
    }
    auto decoder = threads == DecoderThreads::One ? create_h264_decoder(1) : take_or_create_decoder(key);
    if (!decoder) {
        return propagate(decoder);
    }
    UniqueAVFrame work_frame(av_frame_alloc());
    if (!work_frame) {
        return_decoder_to_pool(std::move(*decoder), std::move(key));
        return fail("failed to allocate FFmpeg frame");
    }
    return FfmpegDecodedFrames(std::move(*decoder), std::move(key), std::move(work_frame), std::move(packets));
}

}  // namespace pytovrik
