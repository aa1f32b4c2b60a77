// Each host thread keeps at most one idle H.264 decoder, so opening a decoder
// and starting its frame-threading workers happens once per thread, not once
// per request. After fork() a child never uses or frees a decoder its parent
// parked: it opens its own.
#pragma once

#include <cstdint>
#include <memory>

#include "common/outcome.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pytovrik {

struct H264DecoderDeleter {
    void operator()(AVCodecContext* context) const noexcept;
};

// An open H.264 decoder, owned by one pool slot or one frame sequence.
using DecoderHandle = std::unique_ptr<AVCodecContext, H264DecoderDeleter>;

// The calling thread's idle decoder, or a new one (create_h264_decoder).
Outcome<DecoderHandle> take_or_create_decoder();

// A new decoder with the thread count of TOVRIK_VIDEO_FFMPEG_THREADS, leaving
// any idle decoder in the pool.
Outcome<DecoderHandle> create_h264_decoder();

// Flushes the decoder and parks it in the calling thread's slot. It is freed
// instead when the slot is taken or destroyed, or when the batch left state
// in it that a fresh decoder would not have.
void return_decoder_to_pool(DecoderHandle decoder);

// Process-wide counts, for tests and diagnostics: decoders opened so far, and
// decoders currently alive (pooled or in use).
std::uint64_t opened_h264_decoder_count() noexcept;
std::int64_t live_h264_decoder_count() noexcept;

}  // namespace pytovrik
