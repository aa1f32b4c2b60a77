#include "decode/decoder_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "decode/ffmpeg_startup.hpp"
#include "decode/thread_count.hpp"

namespace pytovrik {

namespace {

std::atomic<std::uint64_t> OPENED_DECODERS{0};
std::atomic<std::int64_t> LIVE_DECODERS{0};

// Counts the forks this process descends from since the library was loaded.
// A forked child has only the thread that called fork(): the worker threads
// of every decoder it inherited are gone, and both decoding with such a
// decoder and freeing it wait for them forever.
std::atomic<std::uint64_t> FORK_GENERATION{0};

void after_fork_in_child() noexcept {
    FORK_GENERATION.fetch_add(1, std::memory_order_relaxed);
}

// Registered before the first decoder is parked, so that no parked decoder
// can outlive a fork unnoticed. glibc drops the handler when the library is
// unloaded. Without it decoders are not parked at all.
bool fork_handler_registered() {
    static const bool registered = pthread_atfork(nullptr, nullptr, &after_fork_in_child) == 0;
    return registered;
}

enum class SlotState : unsigned char { Unused, Open, Destroyed };

// A decoder at rest, with the key of the stream it has decoded so far.
struct ParkedDecoder {
    AVCodecContext* decoder;
    std::uint64_t generation;  // FORK_GENERATION when it was parked
    StreamKey key;
    ParkedDecoder* next_abandoned;
};

struct DecoderPoolSlot {
    SlotState state;
    ParkedDecoder* idle;
};

// Trivially destructible, so it stays readable while the thread's other
// thread_local objects are destroyed; the closer below empties it at exit.
constinit thread_local DecoderPoolSlot H264_DECODER_POOL{SlotState::Unused, nullptr};

// Decoders abandoned after a fork stay reachable from here, so that leak
// checkers see memory kept on purpose rather than lost. Pushed without a
// lock: a lock held by a thread that a later fork leaves behind would never
// be released in that child.
std::atomic<ParkedDecoder*> ABANDONED_DECODERS{nullptr};

void abandon(ParkedDecoder* parked) noexcept {
    LIVE_DECODERS.fetch_sub(1, std::memory_order_relaxed);
    parked->next_abandoned = ABANDONED_DECODERS.load(std::memory_order_relaxed);
    while (!ABANDONED_DECODERS.compare_exchange_weak(parked->next_abandoned, parked, std::memory_order_release,
                                                     std::memory_order_relaxed)) {
    }
}

// The slot's idle decoder with its key, which the caller then owns. One
// parked before a fork is abandoned instead: it stays allocated for good,
// since freeing it would wait for its lost threads, and is no longer counted
// as alive.
std::unique_ptr<ParkedDecoder> take_idle_decoder() {
    ParkedDecoder* idle = std::exchange(H264_DECODER_POOL.idle, nullptr);
    if (idle != nullptr && idle->generation != FORK_GENERATION.load(std::memory_order_relaxed)) {
        abandon(idle);
        return nullptr;
    }
    return std::unique_ptr<ParkedDecoder>(idle);
}

// Frees a decoder taken out of the slot.
void free_idle_decoder(std::unique_ptr<ParkedDecoder> idle) {
    if (idle) {
        DecoderHandle(idle->decoder).reset();
    }
}

struct DecoderPoolSlotCloser {
    DecoderPoolSlotCloser() = default;
    DecoderPoolSlotCloser(const DecoderPoolSlotCloser&) = delete;
    DecoderPoolSlotCloser& operator=(const DecoderPoolSlotCloser&) = delete;
    ~DecoderPoolSlotCloser() {
        H264_DECODER_POOL.state = SlotState::Destroyed;
        free_idle_decoder(take_idle_decoder());
    }
};

// Registers the thread-exit destructor on first use. False once the slot has
// been destroyed (a request made from a thread-exit destructor of the host).
bool open_pool_slot() {
    if (H264_DECODER_POOL.state == SlotState::Unused) {
        thread_local DecoderPoolSlotCloser closer;
        H264_DECODER_POOL.state = SlotState::Open;
    }
    return H264_DECODER_POOL.state == SlotState::Open;
}

}  // namespace

void H264DecoderDeleter::operator()(AVCodecContext* context) const noexcept {
    avcodec_free_context(&context);
    LIVE_DECODERS.fetch_sub(1, std::memory_order_relaxed);
}

Outcome<DecoderHandle> create_h264_decoder(std::optional<std::uint64_t> thread_count) {
    DecoderHandle decoder(avcodec_alloc_context3(nullptr));
    if (!decoder) {
        return fail("failed to allocate FFmpeg codec context");
    }
    LIVE_DECODERS.fetch_add(1, std::memory_order_relaxed);
    decoder->thread_type = FF_THREAD_FRAME;
    // FFmpeg takes an int; keeping the low 32 bits is the documented rule.
    decoder->thread_count =
        static_cast<int>(static_cast<std::uint32_t>(thread_count.value_or(ffmpeg_thread_count_from_env())));
    // An SPS without bitstream_restriction never says how many pictures wait
    // for output. By default the decoder grows its reorder buffer only when a
    // picture arrives out of order, drops the pictures it has already let out
    // too early, and keeps the grown depth across a flush. Strict compliance
    // makes it hold back the largest depth the stream's level allows instead;
    // in the H.264 decoder it changes nothing else that reaches our output.
    decoder->strict_std_compliance = FF_COMPLIANCE_STRICT;

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        return fail("failed to locate FFmpeg H.264 decoder");
    }
    int code = 0;
    if (av_codec_is_decoder(codec) == 0) {
        code = AVERROR_DECODER_NOT_FOUND;
    } else if (const int opened = avcodec_open2(decoder.get(), codec, nullptr); opened != 0) {
        code = opened;
    } else if (decoder->codec_type != AVMEDIA_TYPE_VIDEO) {
        code = AVERROR_INVALIDDATA;
    }
    if (code != 0) {
        return fail("failed to create FFmpeg H.264 decoder: " + ffmpeg_error_text(code));
    }
    OPENED_DECODERS.fetch_add(1, std::memory_order_relaxed);
    return decoder;
}

Outcome<DecoderHandle> take_or_create_decoder(StreamKey& key) {
    if (!key.poolable || !key.defines_its_parameter_sets || !open_pool_slot()) {
        // The idle decoder stays for the next batch of its own stream.
        return create_h264_decoder();
    }
    std::unique_ptr<ParkedDecoder> idle = take_idle_decoder();
    if (idle && key.blank) {
        key = std::move(idle->key);
        return DecoderHandle(idle->decoder);
    }
    if (idle && (idle->key.blank || idle->key.units == key.units)) {
        return DecoderHandle(idle->decoder);
    }
    free_idle_decoder(std::move(idle));
    return create_h264_decoder();
}

void return_decoder_to_pool(DecoderHandle decoder, StreamKey key) {
    avcodec_flush_buffers(decoder.get());
    if (!key.poolable || !key.defines_its_parameter_sets || !open_pool_slot() ||
        H264_DECODER_POOL.idle != nullptr || !fork_handler_registered()) {
        return;  // the handle frees the decoder
    }
    auto* parked = new (std::nothrow)
        ParkedDecoder{decoder.get(), FORK_GENERATION.load(std::memory_order_relaxed), std::move(key), nullptr};
    if (parked != nullptr) {
        decoder.release();
        H264_DECODER_POOL.idle = parked;
    }
}

std::uint64_t opened_h264_decoder_count() noexcept {
    return OPENED_DECODERS.load(std::memory_order_relaxed);
}

std::int64_t live_h264_decoder_count() noexcept {
    return LIVE_DECODERS.load(std::memory_order_relaxed);
}

}  // namespace pytovrik
