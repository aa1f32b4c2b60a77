// Each host thread keeps at most one idle H.264 decoder, so opening a decoder
// and starting its frame-threading workers happens once per thread and
// stream, not once per request. A parked decoder serves only requests of the
// stream it has decoded so far (stream_key.hpp says why that is enough for
// every request to decode as on a fresh decoder). After fork() a child never
// uses or frees a decoder its parent parked: it opens its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "common/outcome.hpp"
#include "decode/stream_key.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pytovrik {

struct H264DecoderDeleter {
    void operator()(AVCodecContext* context) const noexcept;
};

// An open H.264 decoder, owned by one pool slot or one frame sequence.
using DecoderHandle = std::unique_ptr<AVCodecContext, H264DecoderDeleter>;

// The calling thread's idle decoder when `key` lets the batch use it, else a
// new one (create_h264_decoder). An idle decoder of another stream is freed
// first when the batch is poolable, since its own decoder will be parked. A
// blank batch takes the idle decoder whatever its stream, and `key` becomes
// that decoder's, under which it goes back.
Outcome<DecoderHandle> take_or_create_decoder(StreamKey& key);

// A new decoder with the thread count of TOVRIK_VIDEO_FFMPEG_THREADS (or the
// one given), leaving any idle decoder in the pool.
Outcome<DecoderHandle> create_h264_decoder(std::optional<std::uint64_t> thread_count = std::nullopt);

// Flushes the decoder and parks it in the calling thread's slot under the
// key of the batch it decoded. It is freed instead when that batch was not
// poolable, or when the slot is taken or destroyed.
void return_decoder_to_pool(DecoderHandle decoder, StreamKey key);

// Process-wide counts, for tests and diagnostics: decoders opened so far, and
// decoders currently alive (pooled or in use).
std::uint64_t opened_h264_decoder_count() noexcept;
std::int64_t live_h264_decoder_count() noexcept;

}  // namespace pytovrik
