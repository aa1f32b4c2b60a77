#include "decode/decoder_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <new>
#include <utility>

#include "decode/ffmpeg_startup.hpp"
#include "decode/thread_count.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
}

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

struct DecoderPoolSlot {
    SlotState state;
    AVCodecContext* idle;
    std::uint64_t idle_generation;  // FORK_GENERATION when `idle` was parked
};

// Trivially destructible, so it stays readable while the thread's other
// thread_local objects are destroyed; the closer below empties it at exit.
constinit thread_local DecoderPoolSlot H264_DECODER_POOL{SlotState::Unused, nullptr, 0};

// Decoders abandoned after a fork stay reachable from here, so that leak
// checkers see memory kept on purpose rather than lost. Pushed without a
// lock: a lock held by a thread that a later fork leaves behind would never
// be released in that child.
struct AbandonedDecoder {
    AVCodecContext* decoder;
    AbandonedDecoder* next;
};
std::atomic<AbandonedDecoder*> ABANDONED_DECODERS{nullptr};

void abandon(AVCodecContext* decoder) noexcept {
    LIVE_DECODERS.fetch_sub(1, std::memory_order_relaxed);
    auto* entry = new (std::nothrow) AbandonedDecoder{decoder, ABANDONED_DECODERS.load(std::memory_order_relaxed)};
    if (entry != nullptr) {
        while (!ABANDONED_DECODERS.compare_exchange_weak(entry->next, entry, std::memory_order_release,
                                                         std::memory_order_relaxed)) {
        }
    }
}

// The slot's idle decoder, which the caller then owns. One parked before a
// fork is abandoned instead: it stays allocated for good, since freeing it
// would wait for its lost threads, and is no longer counted as alive.
DecoderHandle take_idle_decoder() {
    AVCodecContext* idle = std::exchange(H264_DECODER_POOL.idle, nullptr);
    if (idle != nullptr && H264_DECODER_POOL.idle_generation != FORK_GENERATION.load(std::memory_order_relaxed)) {
        abandon(idle);
        return nullptr;
    }
    return DecoderHandle(idle);
}

struct DecoderPoolSlotCloser {
    DecoderPoolSlotCloser() = default;
    DecoderPoolSlotCloser(const DecoderPoolSlotCloser&) = delete;
    DecoderPoolSlotCloser& operator=(const DecoderPoolSlotCloser&) = delete;
    ~DecoderPoolSlotCloser() {
        H264_DECODER_POOL.state = SlotState::Destroyed;
        take_idle_decoder();
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

// A flush drops frames and packets but not what the streams told the decoder.
// An SPS that signalled full range leaves color_range at JPEG in the context
// and in every frame-thread copy of it, and a later stream that does not
// signal its range would then decode as full range (YUVJ420P) on this
// decoder but not on a fresh one. Such a decoder is not reused.
bool decodes_like_a_fresh_decoder(const AVCodecContext& decoder) {
    return decoder.color_range != AVCOL_RANGE_JPEG;
}

}  // namespace

void H264DecoderDeleter::operator()(AVCodecContext* context) const noexcept {
    avcodec_free_context(&context);
    LIVE_DECODERS.fetch_sub(1, std::memory_order_relaxed);
}

Outcome<DecoderHandle> create_h264_decoder() {
    DecoderHandle decoder(avcodec_alloc_context3(nullptr));
    if (!decoder) {
        return fail("failed to allocate FFmpeg codec context");
    }
    LIVE_DECODERS.fetch_add(1, std::memory_order_relaxed);
    decoder->thread_type = FF_THREAD_FRAME;
    // FFmpeg takes an int; keeping the low 32 bits is the documented rule.
    decoder->thread_count = static_cast<int>(static_cast<std::uint32_t>(ffmpeg_thread_count_from_env()));
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

Outcome<DecoderHandle> take_or_create_decoder() {
    if (open_pool_slot()) {
        if (DecoderHandle idle = take_idle_decoder()) {
            return idle;
        }
    }
    return create_h264_decoder();
}

void return_decoder_to_pool(DecoderHandle decoder) {
    avcodec_flush_buffers(decoder.get());
    if (!decodes_like_a_fresh_decoder(*decoder) || !open_pool_slot() || H264_DECODER_POOL.idle != nullptr ||
        !fork_handler_registered()) {
        return;  // the handle frees the decoder
    }
    H264_DECODER_POOL.idle_generation = FORK_GENERATION.load(std::memory_order_relaxed);
    H264_DECODER_POOL.idle = decoder.release();
}

std::uint64_t opened_h264_decoder_count() noexcept {
    return OPENED_DECODERS.load(std::memory_order_relaxed);
}

std::int64_t live_h264_decoder_count() noexcept {
    return LIVE_DECODERS.load(std::memory_order_relaxed);
}

}  // namespace pytovrik
