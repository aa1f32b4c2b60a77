/*
 * pytovrik_video — decode one batch of H.264 packets into pixel frames.
 *
 * The library exports three functions with C linkage. A host (a C or C++
 * program, or Python through ctypes) uses them in this order:
 *
 *   1. Prepare a RuntimeDecodeResponse with frames == NULL and frame_count == 0.
 *   2. Fill a RuntimeDecodeRequest and call pytovrik_video_decode_h264_v1().
 *   3. On status 0, read response.frames[0 .. frame_count - 1].
 *   4. Call pytovrik_video_free_response_v1() on the response. The response is
 *      then prepared again and may be reused for the next request.
 *
 * Everything runs synchronously on the calling thread. Any number of threads
 * may decode at once, each with its own request and response. A response may
 * be freed on any thread.
 *
 * Configuration: the environment variable TOVRIK_VIDEO_FFMPEG_THREADS, an
 * unsigned decimal number, sets the thread count of decoders created after it
 * is set (0, unset or invalid: FFmpeg chooses). Each thread keeps one idle
 * decoder between requests, so a change only reaches threads that have not
 * created their decoder yet. A process forked from a host leaves the idle
 * decoder it inherits alone (its worker threads did not survive the fork)
 * and opens its own.
 *
 * Records have a fixed layout (x86-64 System V ABI, little-endian); sizes and
 * offsets are given beside each record.
 */
#ifndef PYTOVRIK_VIDEO_H
#define PYTOVRIK_VIDEO_H

#include <stdint.h>

#if defined(__GNUC__)
#define PYTOVRIK_VIDEO_API __attribute__((visibility("default")))
#else
#define PYTOVRIK_VIDEO_API
#endif

/* No exception ever leaves the library; C++ hosts may rely on it. */
#ifdef __cplusplus
#define PYTOVRIK_VIDEO_NOEXCEPT noexcept
#else
#define PYTOVRIK_VIDEO_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Output format codes, used in RuntimeDecodeRequest.output_format and
 * RuntimeFrame.format. Only the lowest bit of a request's code is read:
 * odd codes mean YUV 4:2:0, even codes mean RGB. */
typedef enum RuntimeFormat {
    RuntimeFormatRgb = 0,    /* packed 8-bit R, G, B in RuntimeFrame.rgb */
    RuntimeFormatYuv420 = 1, /* luma in RuntimeFrame.y, Cb/Cr interleaved in .uv */
} RuntimeFormat;

/* A byte buffer handed out by the library (16 bytes). Absent: data NULL and
 * len 0. Present: data non-NULL and len bytes readable (a present buffer of
 * length 0 has a non-NULL data that must not be read). */
typedef struct RuntimeBytes {
    uint8_t *data; /* offset 0 */
    uint64_t len;  /* offset 8 */
} RuntimeBytes;

/* One encoded H.264 packet, owned by the host (16 bytes). Normally one access
 * unit in Annex B form. data may be NULL only when len is 0; an empty packet
 * is sent to the decoder as the end-of-stream signal, after which it accepts
 * no further packet. */
typedef struct RuntimePacket {
    const uint8_t *data; /* offset 0 */
    uint64_t len;        /* offset 8 */
} RuntimePacket;

/* One decode request, owned by the host and only read during the call
 * (56 bytes). The host may reuse or release everything it points to as soon
 * as the call returns. */
typedef struct RuntimeDecodeRequest {
    uint8_t reserved[8];    /* offset 0: never read or written */
    uint32_t output_width;  /* offset 8: RGB output width in pixels */
    uint32_t output_height; /* offset 12: RGB output height in pixels */
    uint32_t output_format; /* offset 16: a RuntimeFormat code (lowest bit decides) */
    /* offset 20: 4 bytes of padding, not read */
    const RuntimePacket *packets;      /* offset 24: packets in decode order */
    uint64_t packet_count;             /* offset 32 */
    const uint64_t *selected_positions; /* offset 40: 0-based output positions to keep */
    uint64_t selected_position_count;  /* offset 48: 0 keeps every frame */
} RuntimeDecodeRequest;

/* One output frame (64 bytes). Buffers belong to the library until the
 * response is freed.
 *   RGB frames (format 0): rgb holds width * height * 3 bytes, R G B per
 *     pixel, rows top to bottom without padding; y and uv are absent.
 *   YUV 4:2:0 frames (format 1): y holds width * height luma bytes; uv holds
 *     ceil(height / 2) rows of ceil(width / 2) Cb, Cr byte pairs (NV12 order);
 *     rgb is absent. */
typedef struct RuntimeFrame {
    uint32_t format; /* offset 0: RuntimeFormat code */
    uint32_t width;  /* offset 4 */
    uint32_t height; /* offset 8 */
    /* offset 12: 4 bytes of padding, unspecified content */
    RuntimeBytes rgb; /* offset 16 */
    RuntimeBytes y;   /* offset 32 */
    RuntimeBytes uv;  /* offset 48 */
} RuntimeFrame;

/* The result of one decode call (16 bytes). Prepared: frames NULL and
 * frame_count 0. After a successful decode frames is non-NULL, also when
 * frame_count is 0 (then it addresses no record). */
typedef struct RuntimeDecodeResponse {
    RuntimeFrame *frames; /* offset 0 */
    uint64_t frame_count; /* offset 8 */
} RuntimeDecodeResponse;

/* The version of the records and _v1 functions in this header: always 1. */
PYTOVRIK_VIDEO_API int32_t pytovrik_video_abi_version(void) PYTOVRIK_VIDEO_NOEXCEPT;

/* Decodes request->packets with FFmpeg's H.264 decoder and returns the
 * selected frames, in the decoder's output order, in *response.
 *
 * Positions count every frame the decoder outputs for this request, from 0.
 * A selection is a set: order and duplicates do not matter, positions past
 * the last frame are ignored. The whole batch is always decoded.
 *
 * RGB requests scale every kept frame to output_width x output_height, as
 * full-range RGB converted with the colour matrix and range the stream
 * signals (BT.601 and limited range when it signals none).
 * YUV 4:2:0 requests return frames at their decoded size, and fail if a kept
 * frame is not 8-bit limited-range 4:2:0.
 *
 * Returns 0 on success: *response is overwritten (without releasing what it
 * held, so free it before reusing it) and owns the frames until
 * pytovrik_video_free_response_v1(). Returns -1 on any failure (a NULL
 * pointer, a NULL array with a non-zero count, a stream the decoder rejects,
 * a conversion that cannot be made): *response is left exactly as it was and
 * no partial result is kept. The reason is logged once through FFmpeg's
 * av_log() at AV_LOG_ERROR, as "pytovrik_video: <reason>", on the calling
 * thread; a host that wants it installs an av_log_set_callback(). */
PYTOVRIK_VIDEO_API int32_t pytovrik_video_decode_h264_v1(const RuntimeDecodeRequest *request,
                                                         RuntimeDecodeResponse *response)
    PYTOVRIK_VIDEO_NOEXCEPT;

/* Releases every buffer and the frame array of a response filled by
 * pytovrik_video_decode_h264_v1() and sets frames to NULL and frame_count to
 * 0. Harmless on NULL, on a prepared response, and when called twice. */
PYTOVRIK_VIDEO_API void pytovrik_video_free_response_v1(RuntimeDecodeResponse *response)
    PYTOVRIK_VIDEO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* PYTOVRIK_VIDEO_H */
