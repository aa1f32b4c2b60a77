// The file layer's C functions. Each is noexcept: a fault that is not a
// failure of the call ends the process here rather than unwinding into the
// host. Failures leave their message in the calling thread's last error.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "display_matrix.hpp"
#include "error_kind.hpp"
#include "frame_plan.hpp"
#include "log_capture.hpp"
#include "log_queue.hpp"
#include "plane_turn.hpp"
#include "pytovrik_video_file.h"
#include "track_probe.hpp"
#include "video_index.hpp"

struct PytovrikVideoFile {
    std::unique_ptr<pytovrik::file::VideoIndex> index;
};

struct PytovrikFramePlan {
    std::unique_ptr<pytovrik::file::FramePlan> plan;
};

namespace {

using pytovrik::file::ErrorKind;

thread_local std::string LAST_ERROR;
thread_local ErrorKind LAST_ERROR_KIND = ErrorKind::None;

int32_t failed(std::string message, ErrorKind kind = ErrorKind::Argument) {
    LAST_ERROR = std::move(message);
    LAST_ERROR_KIND = kind;
    return -1;
}

template <std::size_t N>
void copy_name(char (&to)[N], const std::string& name) {
    std::memcpy(to, name.data(), std::min(name.size(), N - 1));
}

void fill_track_info(PytovrikVideoTrackInfo& info, const std::string& codec, const std::string& container,
                     const std::array<std::int32_t, 9>& matrix) {
    copy_name(info.codec, codec);
    copy_name(info.container, container);
    const auto orientation = pytovrik::file::orientation_of(matrix);
    info.rotation = orientation.rotation;
    info.mirrored = orientation.mirrored ? 1 : 0;
}

}  // namespace

extern "C" {

PYTOVRIK_VIDEO_FILE_API const char* pytovrik_video_file_last_error(void) noexcept { return LAST_ERROR.c_str(); }

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_last_error_kind(void) noexcept {
    return static_cast<int32_t>(LAST_ERROR_KIND);
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_probe(const char* path, PytovrikVideoTrackInfo* info) noexcept {
    if (path == nullptr || info == nullptr) {
        return failed("pytovrik_video_file_probe was given a null pointer");
    }
    pytovrik::file::take_error_kind(ErrorKind::None);
    auto probed = pytovrik::file::probe_video_track(path);
    if (!probed) {
        return failed(std::move(probed.error().message), pytovrik::file::take_error_kind(ErrorKind::Source));
    }
    *info = PytovrikVideoTrackInfo{};
    fill_track_info(*info, probed->codec, probed->container, probed->display_matrix);
    info->stored_width = probed->width;
    info->stored_height = probed->height;
    info->frame_rate_num = probed->frame_rate.num;
    info->frame_rate_den = probed->frame_rate.den;
    info->start_seconds = probed->start_seconds;
    info->end_seconds = probed->start_seconds + probed->duration_seconds;
    info->frame_count = probed->frame_count;
    return 0;
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_open(const char* path, const PytovrikDecoder* decoder,
                                                         PytovrikVideoFile** file) noexcept {
    if (path == nullptr || file == nullptr) {
        return failed("pytovrik_video_file_open was given a null pointer");
    }
    pytovrik::file::DecoderFunctions functions;
    if (decoder != nullptr) {
        functions.decode_h264 = decoder->decode_h264;
        functions.free_response = decoder->free_response;
    }
    pytovrik::file::take_error_kind(ErrorKind::None);
    pytovrik::file::begin_log_capture();
    auto index = pytovrik::file::VideoIndex::open(path, functions);
    pytovrik::file::end_log_capture();
    if (!index) {
        return failed(std::move(index.error().message), pytovrik::file::take_error_kind(ErrorKind::Source));
    }
    *file = new PytovrikVideoFile{std::move(*index)};
    return 0;
}

PYTOVRIK_VIDEO_FILE_API void pytovrik_video_file_close(PytovrikVideoFile* file) noexcept { delete file; }

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_info(const PytovrikVideoFile* file,
                                                         PytovrikVideoFileInfo* info) noexcept {
    if (file == nullptr || info == nullptr) {
        return failed("pytovrik_video_file_info was given a null pointer");
    }
    const auto& index = *file->index;
    *info = PytovrikVideoFileInfo{};
    info->frame_count = index.frame_count();
    info->width = index.width();
    info->height = index.height();
    info->frame_rate_num = index.frame_rate().num;
    info->frame_rate_den = index.frame_rate().den;
    info->duration_seconds = index.duration_seconds();
    info->bytes_read_at_open = index.bytes_read_at_open();
    info->index_bytes = index.index_bytes();
    const std::string& container = index.info().container;
    std::memcpy(info->container, container.data(), std::min(container.size(), sizeof info->container - 1));
    return 0;
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_track_info(const PytovrikVideoFile* file,
                                                               PytovrikVideoTrackInfo* info) noexcept {
    if (file == nullptr || info == nullptr) {
        return failed("pytovrik_video_file_track_info was given a null pointer");
    }
    const auto& index = *file->index;
    *info = PytovrikVideoTrackInfo{};
    fill_track_info(*info, "h264", index.info().container, index.info().display_matrix);
    info->stored_width = index.width();
    info->stored_height = index.height();
    info->frame_rate_num = index.frame_rate().num;
    info->frame_rate_den = index.frame_rate().den;
    info->frame_count = index.frame_count();
    info->start_seconds = index.frame_count() != 0 ? index.frame_seconds(0) : 0.0;
    info->end_seconds = info->start_seconds + index.duration_seconds();
    return 0;
}

PYTOVRIK_VIDEO_FILE_API uint64_t pytovrik_video_file_key_frames(const PytovrikVideoFile* file, uint64_t* frames,
                                                                uint64_t capacity) noexcept {
    if (file == nullptr) {
        return 0;
    }
    const std::vector<std::uint64_t> key_frames = file->index->key_frames();
    if (frames != nullptr) {
        std::copy_n(key_frames.begin(), std::min<uint64_t>(capacity, key_frames.size()), frames);
    }
    return key_frames.size();
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_frame_seconds(const PytovrikVideoFile* file, uint64_t first,
                                                                  uint64_t count, double* seconds) noexcept {
    if (file == nullptr || (seconds == nullptr && count != 0)) {
        return failed("pytovrik_video_file_frame_seconds was given a null pointer");
    }
    const auto& index = *file->index;
    if (first > index.frame_count() || count > index.frame_count() - first) {
        return failed("frames " + std::to_string(first) + " to " + std::to_string(first + count) +
                          " pass the last frame of '" + index.path() + "'",
                      ErrorKind::Range);
    }
    for (uint64_t i = 0; i < count; ++i) {
        seconds[i] = index.frame_seconds(first + i);
    }
    return 0;
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_frames_at(const PytovrikVideoFile* file, const double* seconds,
                                                              uint64_t count, int64_t* frames) noexcept {
    if (file == nullptr || ((seconds == nullptr || frames == nullptr) && count != 0)) {
        return failed("pytovrik_video_file_frames_at was given a null pointer");
    }
    for (uint64_t i = 0; i < count; ++i) {
        const auto frame = file->index->frame_at(seconds[i]);
        frames[i] = frame ? static_cast<int64_t>(*frame) : -1;
    }
    return 0;
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_plan(PytovrikVideoFile* file, const uint64_t* frames,
                                                         uint64_t count, PytovrikFramePlan** plan) noexcept {
    if (file == nullptr || plan == nullptr || (frames == nullptr && count != 0)) {
        return failed("pytovrik_video_file_plan was given a null pointer");
    }
    auto made = pytovrik::file::FramePlan::make(*file->index, std::span(frames, count));
    if (!made) {
        const bool outside = std::any_of(frames, frames + count, [&](uint64_t frame) {
            return frame >= file->index->frame_count();
        });
        return failed(std::move(made.error().message), outside ? ErrorKind::Range : ErrorKind::Decode);
    }
    *plan = new PytovrikFramePlan{std::move(*made)};
    return 0;
}

PYTOVRIK_VIDEO_FILE_API uint64_t pytovrik_frame_plan_job_count(const PytovrikFramePlan* plan) noexcept {
    return plan != nullptr ? plan->plan->job_count() : 0;
}

PYTOVRIK_VIDEO_FILE_API uint64_t pytovrik_frame_plan_job_slots(const PytovrikFramePlan* plan, uint64_t job,
                                                               uint64_t* slots, uint64_t capacity) noexcept {
    if (plan == nullptr || job >= plan->plan->job_count()) {
        return 0;
    }
    const auto job_slots = plan->plan->job_slots(job);
    if (slots != nullptr) {
        std::copy_n(job_slots.begin(), std::min<uint64_t>(capacity, job_slots.size()), slots);
    }
    return job_slots.size();
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_frame_plan_prepare(PytovrikFramePlan* plan, uint64_t job,
                                                            RuntimeDecodeRequest* request) noexcept {
    if (plan == nullptr || request == nullptr || job >= plan->plan->job_count()) {
        return failed("pytovrik_frame_plan_prepare was given a null pointer or a job the plan does not have");
    }
    auto prepared = plan->plan->prepare(job, *request);
    if (!prepared) {
        return failed(std::move(prepared.error().message), ErrorKind::Decode);
    }
    // What the decoder logs on this thread until finish explains a failure.
    pytovrik::file::begin_log_capture();
    return 0;
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_frame_plan_finish(PytovrikFramePlan* plan, uint64_t job, int32_t status,
                                                           const RuntimeDecodeResponse* response,
                                                           uint64_t* frame_of_slot) noexcept {
    const pytovrik::file::CapturedLog logged = pytovrik::file::end_log_capture();
    if (plan == nullptr || job >= plan->plan->job_count() || (status == 0 && response == nullptr) ||
        frame_of_slot == nullptr) {
        return failed("pytovrik_frame_plan_finish was given a null pointer or a job the plan does not have");
    }
    const bool decoded = status == 0;
    const uint64_t frame_count = decoded ? response->frame_count : 0;
    const std::size_t slots = plan->plan->job_slots(job).size();
    auto verdict = plan->plan->finish(job, decoded, frame_count, std::span(frame_of_slot, slots),
                                      logged.text.empty() ? "the decoder gave no reason" : logged.text,
                                      logged.concealed);
    if (!verdict) {
        return failed(std::move(verdict.error().message), ErrorKind::Decode);
    }
    return *verdict == pytovrik::file::FramePlan::Verdict::Done ? 1 : 0;
}

PYTOVRIK_VIDEO_FILE_API void pytovrik_frame_plan_free(PytovrikFramePlan* plan) noexcept { delete plan; }

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_decode_h264(const PytovrikDecoder* decoder,
                                                                const RuntimeDecodeRequest* request,
                                                                RuntimeDecodeResponse* response) noexcept {
    if (decoder == nullptr || decoder->decode_h264 == nullptr) {
        return failed("pytovrik_video_file_decode_h264 was given no decoder");
    }
    pytovrik::file::begin_log_capture();
    const int32_t status = decoder->decode_h264(request, response);
    std::string logged = pytovrik::file::end_log_capture().text;
    if (status != 0) {
        return failed(logged.empty() ? "the decoder gave no reason" : std::move(logged), ErrorKind::Decode);
    }
    return status;
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_turn_planes(const uint8_t* source, uint8_t* target,
                                                                uint64_t count, uint32_t width, uint32_t height,
                                                                uint32_t element_bytes, uint32_t rotation,
                                                                uint32_t mirrored) noexcept {
    if (rotation % 90 != 0 || rotation >= 360 || element_bytes < 1 || element_bytes > 4) {
        return failed("pytovrik_video_file_turn_planes turns by 0, 90, 180 or 270 degrees elements of 1 to 4 bytes");
    }
    const std::size_t plane = std::size_t{width} * height * element_bytes;
    if (count != 0 && plane != 0 && (source == nullptr || target == nullptr)) {
        return failed("pytovrik_video_file_turn_planes was given a null pointer");
    }
    for (uint64_t k = 0; k < count && plane != 0; ++k) {
        pytovrik::file::turn_plane(source + k * plane, target + k * plane, width, height, element_bytes, rotation,
                                   mirrored != 0);
    }
    return 0;
}

PYTOVRIK_VIDEO_FILE_API void pytovrik_video_file_queue_logs(int32_t queue) noexcept {
    pytovrik::file::queue_logs(queue != 0);
}

PYTOVRIK_VIDEO_FILE_API int32_t pytovrik_video_file_next_log(int32_t* level, char* line, uint64_t capacity,
                                                             uint64_t* dropped) noexcept {
    int taken_level = 0;
    std::string taken;
    uint64_t lost = 0;
    if (!pytovrik::file::take_queued_log(taken_level, taken, lost)) {
        return 0;
    }
    if (level != nullptr) {
        *level = taken_level;
    }
    if (line != nullptr && capacity != 0) {
        const std::size_t length = std::min<uint64_t>(taken.size(), capacity - 1);
        std::memcpy(line, taken.data(), length);
        line[length] = '\0';
    }
    if (dropped != nullptr) {
        *dropped = lost;
    }
    return 1;
}

}  // extern "C"
