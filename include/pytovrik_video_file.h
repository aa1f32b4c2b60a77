/*
 * pytovrik_video_file — the frames of a video file's H.264 track, by index,
 * as decode requests for the pytovrik_video library.
 *
 * A host-side library beside the decoder. It opens a file (MP4/MOV from its
 * own index; MPEG-TS, Matroska, AVI, raw H.264 and anything else libavformat
 * reads by reading it once) and indexes its frames: frame i is the i-th
 * frame a player shows, with edit lists applied and a field pair counted
 * once. For frames asked by index it plans decode requests; the host sends
 * each to pytovrik_video_decode_h264_v1() and hands the outcome back:
 *
 *   1. pytovrik_video_file_open() a file (or _open_reader(), _open_memory()
 *      a source that is not a path), with the decoding library's functions
 *      (used at open for files that do not start cleanly).
 *   2. pytovrik_video_file_plan() the frames wanted: one or more jobs.
 *   3. For each job, on any thread: pytovrik_frame_plan_prepare() fills a
 *      request's packets and positions; set its output format (and size for
 *      RGB); decode it; pytovrik_frame_plan_finish() says which returned
 *      frame is which asked one (1), or to prepare and decode the job again
 *      (0), or that it failed (-1); free the response.
 *   4. pytovrik_frame_plan_free(), pytovrik_video_file_close().
 *
 * Every function that can fail returns -1 (or NULL) and leaves a message for
 * pytovrik_video_file_last_error() on the calling thread. A file object may
 * be used from several threads at once; each job of a plan by one thread at
 * a time. A plan must be freed before its file is closed.
 */
#ifndef PYTOVRIK_VIDEO_FILE_H
#define PYTOVRIK_VIDEO_FILE_H

#include <stdint.h>

#include "pytovrik_video.h"

#if defined(__GNUC__)
#define PYTOVRIK_VIDEO_FILE_API __attribute__((visibility("default")))
#else
#define PYTOVRIK_VIDEO_FILE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PytovrikVideoFile PytovrikVideoFile;
typedef struct PytovrikFramePlan PytovrikFramePlan;

/* The decoding library's two functions, as the host loaded it. */
typedef struct PytovrikDecoder {
    int32_t (*decode_h264)(const RuntimeDecodeRequest *request, RuntimeDecodeResponse *response);
    void (*free_response)(RuntimeDecodeResponse *response);
} PytovrikDecoder;

typedef struct PytovrikVideoFileInfo {
    uint64_t frame_count;
    uint32_t width;  /* of the first frame, after cropping */
    uint32_t height;
    int64_t frame_rate_num; /* the container's average rate, else 25/1 */
    int64_t frame_rate_den;
    double duration_seconds;   /* from the first frame's start to the last one's end */
    uint64_t bytes_read_at_open; /* of the file, to index it */
    uint64_t index_bytes;      /* kept by the index */
    char container[64];        /* libavformat's name of the format, NUL-terminated */
} PytovrikVideoFileInfo;

/* What a player needs to know of a video track beside its frames. */
typedef struct PytovrikVideoTrackInfo {
    char codec[32];      /* libavcodec's name of the codec ("h264", "hevc", "vp9"), NUL-terminated */
    char container[64];  /* libavformat's name of the format, NUL-terminated */
    uint32_t stored_width;  /* of the pictures as stored (the first frame's, after cropping) */
    uint32_t stored_height;
    /* The display matrix's turn: degrees clockwise a player turns the stored
     * pictures (0, 90, 180, 270), after mirroring them left to right when
     * mirrored is 1. */
    uint32_t rotation;
    uint32_t mirrored;
    int64_t frame_rate_num; /* 0 when unknown (probe only) */
    int64_t frame_rate_den;
    double start_seconds; /* when the first frame is shown */
    double end_seconds;   /* when the last frame ends */
    uint64_t frame_count; /* an open file's frames; for a probe, the container's count, 0 when it gives none */
} PytovrikVideoTrackInfo;

/* The kinds of failure, for pytovrik_video_file_last_error_kind(). */
enum {
    PYTOVRIK_VIDEO_FILE_ERROR_NONE = 0,
    PYTOVRIK_VIDEO_FILE_ERROR_ARGUMENT = 1, /* a null pointer, a job the plan does not have */
    PYTOVRIK_VIDEO_FILE_ERROR_SOURCE = 2,   /* the file cannot be read or indexed */
    PYTOVRIK_VIDEO_FILE_ERROR_CODEC = 3,    /* its video track is not H.264 (the message names the codec) */
    PYTOVRIK_VIDEO_FILE_ERROR_RANGE = 4,    /* a frame or time outside the file */
    PYTOVRIK_VIDEO_FILE_ERROR_DECODE = 5    /* frames could not be read or decoded */
};

/* The message of the calling thread's last failure; "" when none. Valid until
 * the thread's next call into this library. */
PYTOVRIK_VIDEO_FILE_API const char *pytovrik_video_file_last_error(void) PYTOVRIK_VIDEO_NOEXCEPT;
/* The kind of that failure, one of PYTOVRIK_VIDEO_FILE_ERROR_*. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_last_error_kind(void) PYTOVRIK_VIDEO_NOEXCEPT;

/* The video track of any file libavformat reads, whatever its codec, from its
 * headers and first packets, without indexing frames. 0 or -1. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_probe(const char *path,
                                                          PytovrikVideoTrackInfo *info) PYTOVRIK_VIDEO_NOEXCEPT;

/* Opens and indexes a file. 0 and *file on success, -1 otherwise (a file that
 * cannot be read, holds no H.264 video track, or lies about its sizes). */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_open(const char *path, const PytovrikDecoder *decoder,
                                                         PytovrikVideoFile **file) PYTOVRIK_VIDEO_NOEXCEPT;

/* A source that is not a path: the host's reader. read() fills up to `size`
 * bytes at `offset` into `buffer` and returns how many it gave (0 at the end,
 * fewer than asked when it chooses; it is asked again for the rest), or -1 on
 * failure. It is called during open and during pytovrik_frame_plan_prepare(),
 * on the calling thread, perhaps from several threads at once, never past
 * `size`; reads are few and large (a request's stretch of samples at once).
 * `context` must stay valid until pytovrik_video_file_close() returns. */
typedef struct PytovrikVideoReader {
    void *context;
    int64_t (*read)(void *context, uint64_t offset, uint8_t *buffer, uint64_t size);
    uint64_t size; /* of the whole source, in bytes */
} PytovrikVideoReader;

/* As pytovrik_video_file_open(), for a source read through `reader` (copied),
 * or for the `size` bytes at `data`, read in place: they must stay valid and
 * unchanged until the file is closed. `name` (NULL for none) stands for the
 * source in messages; an extension in it helps recognise raw streams. Every
 * container reads the same way as from a path. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_open_reader(const PytovrikVideoReader *reader, const char *name,
                                                                const PytovrikDecoder *decoder,
                                                                PytovrikVideoFile **file) PYTOVRIK_VIDEO_NOEXCEPT;
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_open_memory(const void *data, uint64_t size, const char *name,
                                                                const PytovrikDecoder *decoder,
                                                                PytovrikVideoFile **file) PYTOVRIK_VIDEO_NOEXCEPT;
PYTOVRIK_VIDEO_FILE_API void pytovrik_video_file_close(PytovrikVideoFile *file) PYTOVRIK_VIDEO_NOEXCEPT;
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_info(const PytovrikVideoFile *file,
                                                         PytovrikVideoFileInfo *info) PYTOVRIK_VIDEO_NOEXCEPT;

/* An open file's track, as pytovrik_video_file_probe() gives it, from the index. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_track_info(const PytovrikVideoFile *file,
                                                               PytovrikVideoTrackInfo *info) PYTOVRIK_VIDEO_NOEXCEPT;

/* The frames at which decoding starts cleanly (the pictures the random access
 * points recover at), ascending, written to frames[0 .. min(n, capacity) - 1];
 * returns n. Points an MP4 file's index has not read yet are its key samples. */
PYTOVRIK_VIDEO_FILE_API uint64_t pytovrik_video_file_key_frames(const PytovrikVideoFile *file, uint64_t *frames,
                                                                uint64_t capacity) PYTOVRIK_VIDEO_NOEXCEPT;

/* The presentation times of frames first .. first + count - 1, in seconds:
 * the container's pts (what FFmpeg reports), or frame / frame rate for
 * containers that have none. -1 when the range passes the last frame. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_frame_seconds(const PytovrikVideoFile *file, uint64_t first,
                                                                  uint64_t count, double *seconds) PYTOVRIK_VIDEO_NOEXCEPT;

/* For each time, the frame shown then (its [pts, next pts) holds the time,
 * the last frame's lasting one frame duration), or -1 when no frame is. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_frames_at(const PytovrikVideoFile *file, const double *seconds,
                                                              uint64_t count, int64_t *frames) PYTOVRIK_VIDEO_NOEXCEPT;

/* Plans the decoding of frames[0 .. count - 1] (any order, repeats allowed;
 * each is a slot of the result). -1 when a frame is out of range. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_plan(PytovrikVideoFile *file, const uint64_t *frames,
                                                         uint64_t count, PytovrikFramePlan **plan) PYTOVRIK_VIDEO_NOEXCEPT;
PYTOVRIK_VIDEO_FILE_API uint64_t pytovrik_frame_plan_job_count(const PytovrikFramePlan *plan) PYTOVRIK_VIDEO_NOEXCEPT;
/* The slots a job fills, written to slots[0 .. min(n, capacity) - 1]; returns n. */
PYTOVRIK_VIDEO_FILE_API uint64_t pytovrik_frame_plan_job_slots(const PytovrikFramePlan *plan, uint64_t job,
                                                               uint64_t *slots, uint64_t capacity) PYTOVRIK_VIDEO_NOEXCEPT;
/* Reads the job's samples and sets request->packets, packet_count,
 * selected_positions and selected_position_count, pointing into memory the
 * plan keeps until the job's next prepare or finish. The output fields are
 * the host's. 0 or -1. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_frame_plan_prepare(PytovrikFramePlan *plan, uint64_t job,
                                                            RuntimeDecodeRequest *request) PYTOVRIK_VIDEO_NOEXCEPT;
/* After the prepared request was decoded with `status` and, on status 0,
 * *response (read only; the host frees it). Returns 1 when done:
 * frame_of_slot[k] is the index in response->frames of the job's k-th slot;
 * 0 when the job must be prepared and decoded again; -1 on failure, whose
 * message names the file, the frames and what the decoder logged. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_frame_plan_finish(PytovrikFramePlan *plan, uint64_t job, int32_t status,
                                                           const RuntimeDecodeResponse *response,
                                                           uint64_t *frame_of_slot) PYTOVRIK_VIDEO_NOEXCEPT;
PYTOVRIK_VIDEO_FILE_API void pytovrik_frame_plan_free(PytovrikFramePlan *plan) PYTOVRIK_VIDEO_NOEXCEPT;

/* Calls decoder->decode_h264(request, response) and, when it fails, leaves
 * what the library and FFmpeg logged on this thread meanwhile (the reason)
 * for pytovrik_video_file_last_error(). Returns the decode's status. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_decode_h264(const PytovrikDecoder *decoder,
                                                                const RuntimeDecodeRequest *request,
                                                                RuntimeDecodeResponse *response) PYTOVRIK_VIDEO_NOEXCEPT;

/* Turns count pictures as a player shows them (PytovrikVideoTrackInfo's
 * rotation and mirrored), moving pixels as ffmpeg's autorotation does: each a
 * packed plane of width x height elements of element_bytes bytes (3 for RGB,
 * 1 for luma, 2 for interleaved chroma), one after the other from source,
 * written likewise to target with width and height swapped for 90 and 270.
 * The buffers must not overlap. 0, or -1 for a rotation other than 0, 90, 180
 * or 270, an element size outside 1 to 4 or a null pointer. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_turn_planes(const uint8_t *source, uint8_t *target,
                                                                uint64_t count, uint32_t width, uint32_t height,
                                                                uint32_t element_bytes, uint32_t rotation,
                                                                uint32_t mirrored) PYTOVRIK_VIDEO_NOEXCEPT;

/* FFmpeg's messages that no request keeps as its reason go to stderr
 * (FFmpeg's own printing) unless queue is 1: they are then kept, up to 1024
 * (the oldest go first), for pytovrik_video_file_next_log(), at the levels
 * av_log_get_level() lets through. Process-wide; 0 prints again. */
PYTOVRIK_VIDEO_FILE_API void pytovrik_video_file_queue_logs(int32_t queue) PYTOVRIK_VIDEO_NOEXCEPT;
/* Takes the oldest queued message: its av_log level, its line (cut to
 * capacity - 1 bytes, NUL-terminated) and how many messages a full queue lost
 * before it. 1 when one was taken, 0 when the queue is empty. */
PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_next_log(int32_t *level, char *line, uint64_t capacity,
                                                             uint64_t *dropped) PYTOVRIK_VIDEO_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* PYTOVRIK_VIDEO_FILE_H */
