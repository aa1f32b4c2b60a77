// Takes arbitrary bytes for a video file: indexes it as a host would, then
// plans and decodes a few of its frames, and checks the index and every
// response against their contracts. The whole input is the file; its last
// byte also picks the frames (the last bytes of most containers are a tag or
// an index, rarely a picture's, so a mutation there seldom changes the file
// without changing the choice):
//
//   last byte   bits 0-2: ask the first, a middle and the last frame;
//               bit 3: one more frame, the two bytes before it modulo the
//               frame count; bit 4: every frame in a plan of its own
//               instead of one plan; bit 5: RGB instead of YUV;
//               bit 6: also ask a frame past the end (must fail);
//               bit 7: through the C functions hosts load, reading the
//               input in place as a memory source, instead of the C++
//               classes behind them reading it as a file
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame_plan.hpp"
#include "pytovrik_video.h"
#include "pytovrik_video_file.h"
#include "video_index.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using pytovrik::file::DecoderFunctions;
using pytovrik::file::FramePlan;
using pytovrik::file::VideoIndex;

// Tries of one job: the plan allows a few retries from earlier points; more
// than this is a loop.
constexpr int MAX_ATTEMPTS = 8;
constexpr std::uint32_t RGB_SIDE = 16;

[[noreturn]] void violated(const std::string& what) {
    std::fprintf(stderr, "contract violated: %s\n", what.c_str());
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) {
        violated(what);
    }
}

bool verbose() {
    static const bool on = std::getenv("PYTOVRIK_FUZZ_VERBOSE") != nullptr;
    return on;
}

// The input as a file with a path: both readers open files by name. One
// memory file for the whole run, rewritten for each input.
class InputFile {
public:
    InputFile() {
        descriptor_ = memfd_create("video_file_fuzzer", MFD_CLOEXEC);
        if (descriptor_ < 0) {
            violated("memfd_create failed");
        }
        path_ = "/proc/self/fd/" + std::to_string(descriptor_);
    }

    const std::string& write(std::span<const std::uint8_t> bytes) {
        if (ftruncate(descriptor_, 0) != 0 || pwrite(descriptor_, bytes.data(), bytes.size(), 0) !=
                                                   static_cast<ssize_t>(bytes.size())) {
            violated("cannot write the input file");
        }
        return path_;
    }

private:
    int descriptor_ = -1;
    std::string path_;
};

std::uint64_t ceil_half(std::uint64_t value) { return value / 2 + value % 2; }

std::uint8_t read_all(const RuntimeBytes& bytes) {
    std::uint8_t sum = 0;
    for (std::uint64_t i = 0; i < bytes.len; ++i) {
        sum = static_cast<std::uint8_t>(sum + bytes.data[i]);
    }
    return sum;
}

void check_frame(const RuntimeFrame& frame, bool rgb) {
    if (rgb) {
        check(frame.width == RGB_SIDE && frame.height == RGB_SIDE, "rgb frame of another size than asked");
        check(frame.rgb.data != nullptr && frame.rgb.len == std::uint64_t{RGB_SIDE} * RGB_SIDE * 3,
              "rgb buffer absent or of the wrong length");
        volatile std::uint8_t sink = read_all(frame.rgb);
        (void)sink;
        return;
    }
    check(frame.width > 0 && frame.height > 0, "yuv frame without pixels");
    check(frame.y.len == std::uint64_t{frame.width} * frame.height, "luma length differs from width x height");
    check(frame.uv.len == 2 * ceil_half(frame.width) * ceil_half(frame.height), "chroma length differs");
    volatile std::uint8_t sink = static_cast<std::uint8_t>(read_all(frame.y) + read_all(frame.uv));
    (void)sink;
}

// A plan as a host drives it through the C++ classes.
class ClassPlan {
public:
    explicit ClassPlan(std::unique_ptr<FramePlan> plan) : plan_(std::move(plan)) {}

    std::size_t job_count() const { return plan_->job_count(); }
    std::size_t slot_count(std::size_t job) const { return plan_->job_slots(job).size(); }

    std::optional<std::string> prepare(std::size_t job, RuntimeDecodeRequest& request) {
        auto prepared = plan_->prepare(job, request);
        return prepared ? std::nullopt : std::optional(prepared.error().message);
    }

    std::int32_t decode(const RuntimeDecodeRequest& request, RuntimeDecodeResponse& response) {
        return pytovrik_video_decode_h264_v1(&request, &response);
    }

    // 1: done, 0: again, -1: failed with `failure`.
    int finish(std::size_t job, std::int32_t status, const RuntimeDecodeResponse& response,
               std::span<std::uint64_t> frame_of_slot, std::string& failure) {
        auto verdict = plan_->finish(job, status == 0, status == 0 ? response.frame_count : 0, frame_of_slot, "");
        if (!verdict) {
            failure = verdict.error().message;
            return -1;
        }
        return *verdict == FramePlan::Verdict::Done ? 1 : 0;
    }

private:
    std::unique_ptr<FramePlan> plan_;
};

// The same through the C functions, whose failures leave their messages
// for pytovrik_video_file_last_error: a failed decode's, the reason the
// library logged between prepare and finish.
class FunctionPlan {
public:
    explicit FunctionPlan(PytovrikFramePlan* plan) : plan_(plan) {}
    FunctionPlan(const FunctionPlan&) = delete;
    FunctionPlan& operator=(const FunctionPlan&) = delete;
    ~FunctionPlan() { pytovrik_frame_plan_free(plan_); }

    std::size_t job_count() const { return pytovrik_frame_plan_job_count(plan_); }
    std::size_t slot_count(std::size_t job) const { return pytovrik_frame_plan_job_slots(plan_, job, nullptr, 0); }

    std::optional<std::string> prepare(std::size_t job, RuntimeDecodeRequest& request) {
        if (pytovrik_frame_plan_prepare(plan_, job, &request) == 0) {
            return std::nullopt;
        }
        return std::string(pytovrik_video_file_last_error());
    }

    std::int32_t decode(const RuntimeDecodeRequest& request, RuntimeDecodeResponse& response) {
        return pytovrik_video_decode_h264_v1(&request, &response);
    }

    int finish(std::size_t job, std::int32_t status, const RuntimeDecodeResponse& response,
               std::span<std::uint64_t> frame_of_slot, std::string& failure) {
        const int verdict =
            pytovrik_frame_plan_finish(plan_, job, status, status == 0 ? &response : nullptr, frame_of_slot.data());
        check(verdict >= -1 && verdict <= 1, "finish returned neither 1, 0 nor -1");
        if (verdict < 0) {
            failure = pytovrik_video_file_last_error();
            check(status == 0 || !failure.ends_with("the decoder gave no reason"), "a failed decode lost its reason");
        }
        return verdict;
    }

private:
    PytovrikFramePlan* plan_;
};

// One job through prepare, decode and finish, as a host drives it.
template <class Plan>
void run_job(Plan& plan, std::size_t job, std::size_t frames_asked, bool rgb) {
    for (int attempt = 0;; ++attempt) {
        check(attempt < MAX_ATTEMPTS, "a job is retried without end");
        RuntimeDecodeRequest request{};
        if (const auto failure = plan.prepare(job, request)) {
            check(!failure->empty(), "prepare failed without a message");
            if (verbose()) {
                std::fprintf(stderr, "job %zu attempt %d: %s\n", job, attempt, failure->c_str());
            }
            return;
        }
        check(request.packet_count == 0 || request.packets != nullptr, "prepared packets absent");
        check(request.selected_position_count > 0 && request.selected_positions != nullptr,
              "prepared request selects nothing");
        request.output_format = rgb ? RuntimeFormatRgb : RuntimeFormatYuv420;
        request.output_width = rgb ? RGB_SIDE : 0;
        request.output_height = rgb ? RGB_SIDE : 0;
        static RuntimeFrame SENTINEL_FRAME{};
        RuntimeDecodeResponse response{&SENTINEL_FRAME, 0x5eed};
        const std::int32_t status = plan.decode(request, response);
        check(status == 0 || status == -1, "status other than 0 or -1");
        if (status == 0) {
            check(response.frames != &SENTINEL_FRAME, "successful decode left the response unwritten");
            check(response.frame_count <= request.selected_position_count, "more frames than positions asked");
            for (std::uint64_t i = 0; i < response.frame_count; ++i) {
                check_frame(response.frames[i], rgb);
            }
        } else {
            check(response.frames == &SENTINEL_FRAME && response.frame_count == 0x5eed, "failed decode wrote frames");
            response = RuntimeDecodeResponse{};
        }
        const std::size_t slots = plan.slot_count(job);
        check(slots > 0 && slots <= frames_asked, "job slots out of proportion to the frames asked");
        std::vector<std::uint64_t> frame_of_slot(slots, UINT64_MAX);
        std::string failure;
        const int verdict = plan.finish(job, status, response, frame_of_slot, failure);
        if (verdict == 1) {
            check(status == 0, "a failed decode finished as done");
            for (const std::uint64_t frame : frame_of_slot) {
                check(frame < response.frame_count, "a slot names a frame that did not come back");
            }
        }
        if (verbose()) {
            std::fprintf(stderr, "job %zu attempt %d: %llu packets, status %d, %llu frames -> %s\n", job, attempt,
                         static_cast<unsigned long long>(request.packet_count), status,
                         static_cast<unsigned long long>(response.frame_count),
                         verdict < 0 ? failure.c_str() : verdict == 1 ? "done" : "again");
        }
        if (status == 0) {
            pytovrik_video_free_response_v1(&response);
        }
        check(verdict >= 0 || !failure.empty(), "finish failed without a message");
        if (verdict != 0) {
            return;
        }
    }
}

template <class Plan>
void run_plan(Plan& plan, std::size_t frames_asked, bool rgb) {
    check(plan.job_count() <= frames_asked, "more jobs than frames asked");
    for (std::size_t job = 0; job < plan.job_count(); ++job) {
        run_job(plan, job, frames_asked, rgb);
    }
}

bool in_range(const std::vector<std::uint64_t>& frames, std::uint64_t count) {
    return std::all_of(frames.begin(), frames.end(), [&](std::uint64_t frame) { return frame < count; });
}

void decode_frames(VideoIndex& index, const std::vector<std::uint64_t>& frames, bool rgb) {
    auto made = FramePlan::make(index, frames);
    check(made.has_value() == in_range(frames, index.frame_count()), "a plan's making disagrees with the frame count");
    if (made) {
        ClassPlan plan(std::move(*made));
        run_plan(plan, frames.size(), rgb);
    }
}

void decode_frames(PytovrikVideoFile* file, std::uint64_t count, const std::vector<std::uint64_t>& frames, bool rgb) {
    PytovrikFramePlan* made = nullptr;
    const bool planned = pytovrik_video_file_plan(file, frames.data(), frames.size(), &made) == 0;
    check(planned == in_range(frames, count), "a plan's making disagrees with the frame count");
    if (planned) {
        FunctionPlan plan(made);
        run_plan(plan, frames.size(), rgb);
    }
}

void check_times(const VideoIndex& index) {
    const std::uint64_t count = index.frame_count();
    if (count == 0) {
        return;
    }
    for (const std::uint64_t frame : {std::uint64_t{0}, count / 2, count - 1}) {
        const double seconds = index.frame_seconds(frame);
        if (std::isfinite(seconds)) {
            const auto found = index.frame_at(seconds);
            check(!found || *found < count, "frame_at names a frame past the end");
        }
    }
    check(!index.frame_at(std::nan("")), "frame_at answers for NaN");
}

// What a host learns of an opened file through the C functions. Returns
// the frame count.
std::uint64_t check_file_functions(const PytovrikVideoFile* file) {
    PytovrikVideoFileInfo info{};
    check(pytovrik_video_file_info(file, &info) == 0, "info failed on an open file");
    check(info.container[sizeof info.container - 1] == '\0', "container name not terminated");
    const std::uint64_t count = info.frame_count;
    double past_end = 0;
    check(pytovrik_video_file_frame_seconds(file, count, 1, &past_end) == -1, "a time past the last frame given");
    const std::uint64_t timed = std::min<std::uint64_t>(count, 64);
    std::vector<double> seconds(timed + 1, std::nan(""));
    check(pytovrik_video_file_frame_seconds(file, 0, timed, seconds.data()) == 0, "times of frames refused");
    std::vector<std::int64_t> frames(seconds.size(), -2);
    check(pytovrik_video_file_frames_at(file, seconds.data(), seconds.size(), frames.data()) == 0, "frames_at failed");
    for (const std::int64_t frame : frames) {
        check(frame >= -1 && frame < static_cast<std::int64_t>(count), "frames_at names a frame past the end");
    }
    return count;
}

// The frames the last bytes choose (see the top of this file).
std::vector<std::uint64_t> chosen_frames(std::span<const std::uint8_t> bytes, std::uint64_t count) {
    const std::uint8_t choice = bytes.empty() ? 0 : bytes.back();
    const std::uint64_t chosen =
        bytes.size() >= 3 ? std::uint64_t{bytes[bytes.size() - 3]} << 8 | bytes[bytes.size() - 2] : 0;
    std::vector<std::uint64_t> frames;
    if (count > 0) {
        if ((choice & 1U) != 0) {
            frames.push_back(0);
        }
        if ((choice & 2U) != 0) {
            frames.push_back(count / 2);
        }
        if ((choice & 4U) != 0 || (choice & 0x0fU) == 0) {
            frames.push_back(count - 1);
        }
        if ((choice & 8U) != 0) {
            frames.push_back(chosen % count);
        }
    }
    if ((choice & 0x40U) != 0) {
        frames.push_back(count);
    }
    return frames;
}

// Each frame in a plan of its own, or all of them in one.
template <class Decode>
void decode_chosen(const std::vector<std::uint64_t>& frames, std::uint8_t choice, Decode decode) {
    const bool rgb = (choice & 0x20U) != 0;
    if ((choice & 0x10U) != 0) {
        for (const std::uint64_t frame : frames) {
            decode(std::vector<std::uint64_t>{frame}, rgb);
        }
    } else if (!frames.empty()) {
        decode(frames, rgb);
    }
}

void through_functions(std::span<const std::uint8_t> bytes) {
    static const PytovrikDecoder DECODER{&pytovrik_video_decode_h264_v1, &pytovrik_video_free_response_v1};
    PytovrikVideoFile* file = nullptr;
    if (pytovrik_video_file_open_memory(bytes.data(), bytes.size(), "fuzz input", &DECODER, &file) != 0) {
        check(*pytovrik_video_file_last_error() != '\0', "open failed without a message");
        return;
    }
    const std::uint64_t count = check_file_functions(file);
    decode_chosen(chosen_frames(bytes, count), bytes.back(), [&](const std::vector<std::uint64_t>& frames, bool rgb) {
        decode_frames(file, count, frames, rgb);
    });
    pytovrik_video_file_close(file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One frame thread keeps a case deterministic, so every finding replays.
    setenv("TOVRIK_VIDEO_FFMPEG_THREADS", "1", 0);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string& path = file.write(bytes);

    if (size > 0 && (data[size - 1] & 0x80U) != 0) {
        through_functions(bytes);
        return 0;
    }
    const DecoderFunctions decoder{&pytovrik_video_decode_h264_v1, &pytovrik_video_free_response_v1};
    auto index = VideoIndex::open(path, decoder);
    if (!index) {
        check(!index.error().message.empty(), "open failed without a message");
        if (verbose()) {
            std::fprintf(stderr, "open: %s\n", index.error().message.c_str());
        }
        return 0;
    }
    const std::uint64_t count = (*index)->frame_count();
    check(count <= (*index)->track().samples.size(), "more frames than samples");
    // What the file's bytes can justify: some 50 bytes of index for a
    // sample of at least a few, headers within twice the samples' bytes;
    // the file read a few times over (scanned, located, probed).
    check((*index)->index_bytes() <= 64 * std::uint64_t{size} + (256U << 10), "index out of proportion to the file");
    check((*index)->bytes_read_at_open() <= 16 * std::uint64_t{size} + (4U << 20),
          "open read the file out of proportion");
    if (verbose()) {
        std::fprintf(stderr, "opened (%s): %zu samples, %llu frames, an index of %llu bytes\n",
                     (*index)->info().container.c_str(), (*index)->track().samples.size(),
                     static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>((*index)->index_bytes()));
    }
    check_times(**index);
    decode_chosen(chosen_frames(bytes, count), size > 0 ? data[size - 1] : 0,
                  [&](const std::vector<std::uint64_t>& frames, bool rgb) { decode_frames(**index, frames, rgb); });
    return 0;
}
