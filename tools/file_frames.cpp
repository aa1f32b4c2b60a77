// A video file's frames through the file layer: its index says which frame
// is which (edit lists applied, a field pair counted once, the first pictures
// no decoder shows cleanly left out) and plans the library calls for the
// frames asked, one per place where decoding starts. The frames are asked in
// slices that fit the memory budget, so a long group of pictures at a large
// RGB size is never held whole; a slice that ends inside a group decodes that
// group's start again for the next slice.
#include <algorithm>
#include <deque>
#include <limits>
#include <memory>
#include <numeric>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ffmpeg_timeline.hpp"
#include "frame_source.hpp"
#include "frame_turn.hpp"
#include "library_response.hpp"
#include "pytovrik_video_file.h"

namespace pytovrik::cli {
namespace {

template <auto Release>
struct FileLayerReleaser {
    template <typename Object>
    void operator()(Object* object) const noexcept {
        Release(object);
    }
};
using OpenVideoFile = std::unique_ptr<PytovrikVideoFile, FileLayerReleaser<pytovrik_video_file_close>>;
using OwnedFramePlan = std::unique_ptr<PytovrikFramePlan, FileLayerReleaser<pytovrik_frame_plan_free>>;

// The file layer's message of the calling thread's last failure.
std::unexpected<Failure> file_layer_failure() { return fail(pytovrik_video_file_last_error()); }

class FileFrames final : public FrameSource {
public:
    FileFrames(OpenVideoFile file, const PytovrikVideoFileInfo& info, Turn turn, std::string path)
        : file_(std::move(file)), info_(info), turn_(turn), path_(std::move(path)) {}

    std::string description() const override {
        return std::string("container ") + info_.container + ", " + std::to_string(info_.frame_count) + " frames";
    }

    FrameRate frame_rate() const override {
        constexpr std::int64_t largest = std::numeric_limits<int>::max();
        if (info_.frame_rate_num > 0 && info_.frame_rate_den > 0 && info_.frame_rate_num <= largest &&
            info_.frame_rate_den <= largest) {
            return {static_cast<int>(info_.frame_rate_num), static_cast<int>(info_.frame_rate_den)};
        }
        return {};
    }

    Outcome<std::optional<FrameTimes>> frame_times() override {
        auto timeline = read_ffmpeg_timeline(path_);
        if (!timeline) {
            return propagate(timeline);
        }
        // The index's times are the container's pts, or frame / frame rate
        // where the container has none.
        std::vector<double> seconds(static_cast<std::size_t>(info_.frame_count));
        if (pytovrik_video_file_frame_seconds(file_.get(), 0, seconds.size(), seconds.data()) != 0) {
            return file_layer_failure();
        }
        // ffmpeg's muxer never lets a frame's time go back: one shown before
        // the frame ahead of it (made-up times, the overlap of a change of
        // streams) gets that frame's time.
        std::vector<std::int64_t> ticks(seconds.size());
        std::int64_t latest = std::numeric_limits<std::int64_t>::min();
        for (std::size_t i = 0; i < seconds.size(); ++i) {
            latest = std::max(latest, timeline->tick(seconds[i]));
            ticks[i] = latest;
        }
        return FrameTimes{timeline->rate_den, timeline->rate_num,
                          [ticks = std::move(ticks)](std::uint64_t frame) { return ticks[frame]; }};
    }

    Outcome<DecodeTotals> decode(const DecodeSettings& settings, const FrameConsumer& consume,
                                Progress& progress) override {
        const std::uint64_t count = info_.frame_count;
        const Turn turn = settings.autorotate ? turn_ : Turn{};
        const FrameSize shown = turn.swaps_size() ? FrameSize{info_.height, info_.width}
                                                  : FrameSize{info_.width, info_.height};
        FrameSize rgb_size = settings.rgb_size.value_or(shown);
        if (settings.format == RuntimeFormatRgb && (rgb_size.width == 0 || rgb_size.height == 0)) {
            return fail("cannot tell the picture size of '" + path_ + "': give the RGB size with --size WxH");
        }
        // The stored picture is scaled to the turned size, then turned.
        if (turn.swaps_size()) {
            rgb_size = FrameSize{rgb_size.height, rgb_size.width};
        }
        const FrameConsumer turned = [&](std::uint64_t position, const RuntimeFrame& frame) -> Outcome<void> {
            if (turn.identity()) {
                return consume(position, frame);
            }
            const TurnedFrame upright(frame, turn);
            return consume(position, upright.frame());
        };
        const std::uint64_t window = frames_per_slice(settings, rgb_size);
        DecodeTotals totals;
        std::vector<std::uint64_t> frames;
        for (std::uint64_t first = 0; first < count; first += std::min(window, count - first)) {
            if (const auto last = settings.frames.last(); last && first > *last) {
                break;
            }
            const std::uint64_t length = std::min(window, count - first);
            if (settings.frames.keeps_every_frame()) {
                frames.resize(static_cast<std::size_t>(length));
                std::iota(frames.begin(), frames.end(), first);
            } else {
                frames = settings.frames.positions_within(first, length);
                for (std::uint64_t& frame : frames) {
                    frame += first;
                }
            }
            if (auto decoded = decode_slice(frames, settings.format, rgb_size, turned, totals, progress); !decoded) {
                return propagate(decoded);
            }
        }
        if (turn.swaps_size() && totals.last_size) {
            totals.last_size = FrameSize{totals.last_size->height, totals.last_size->width};
        }
        return totals;
    }

private:
    std::uint64_t frames_per_slice(const DecodeSettings& settings, FrameSize rgb_size) const {
        // The first frame's size stands for all: an estimate is enough for a budget.
        const std::uint64_t frame_bytes = settings.format == RuntimeFormatRgb
                                              ? std::uint64_t{rgb_size.width} * rgb_size.height * 3
                                              : std::uint64_t{info_.width} * info_.height * 3 / 2;
        if (settings.memory_budget == 0 || frame_bytes == 0) {
            return std::max<std::uint64_t>(info_.frame_count, 1);
        }
        return std::max<std::uint64_t>(1, settings.memory_budget / frame_bytes);
    }

    // Decodes `frames` (ascending) and hands them on in that order. A job's
    // response is held until every frame before its own has been handed on.
    Outcome<void> decode_slice(std::span<const std::uint64_t> frames, RuntimeFormat format, FrameSize rgb_size,
                              const FrameConsumer& consume, DecodeTotals& totals, Progress& progress) {
        if (frames.empty()) {
            return {};
        }
        PytovrikFramePlan* made = nullptr;
        if (pytovrik_video_file_plan(file_.get(), frames.data(), frames.size(), &made) != 0) {
            return file_layer_failure();
        }
        const OwnedFramePlan plan(made);
        std::vector<const RuntimeFrame*> ready(frames.size(), nullptr);
        std::deque<std::pair<std::uint64_t, LibraryResponse>> held;  // by the last slot each fills
        std::size_t next = 0;
        std::vector<std::uint64_t> slots;
        std::vector<std::uint64_t> frame_of_slot;
        for (std::uint64_t job = 0; job < pytovrik_frame_plan_job_count(plan.get()); ++job) {
            slots.resize(pytovrik_frame_plan_job_slots(plan.get(), job, nullptr, 0));
            pytovrik_frame_plan_job_slots(plan.get(), job, slots.data(), slots.size());
            frame_of_slot.resize(slots.size());
            auto response = decode_job(plan.get(), job, format, rgb_size, frame_of_slot, totals);
            if (!response) {
                return propagate(response);
            }
            const auto returned = response->frames();
            for (std::size_t k = 0; k < slots.size(); ++k) {
                if (slots[k] >= ready.size() || frame_of_slot[k] >= returned.size()) {
                    return fail("'" + path_ + "': the plan of frames " + std::to_string(frames.front()) + "-" +
                                std::to_string(frames.back()) + " matched a slot to no returned frame");
                }
                ready[slots[k]] = &returned[frame_of_slot[k]];
            }
            held.emplace_back(slots.empty() ? 0 : *std::max_element(slots.begin(), slots.end()), std::move(*response));
            for (; next < frames.size() && ready[next] != nullptr; ++next) {
                if (auto consumed = consume(frames[next], *ready[next]); !consumed) {
                    return consumed;
                }
                totals.last_size = FrameSize{ready[next]->width, ready[next]->height};
                ++totals.frames;
                ++totals.kept;
            }
            std::erase_if(held, [&](const auto& entry) { return entry.first < next; });
            progress.update(totals.frames, next > 0 ? frames[next - 1] + 1 : frames.front(), info_.frame_count);
        }
        if (next < frames.size()) {
            return fail("'" + path_ + "': frame " + std::to_string(frames[next]) + " was in no job of its plan");
        }
        return {};
    }

    // One job of a plan: its request prepared and decoded, again from an
    // earlier start as long as the plan asks (it gives up after a few).
    Outcome<LibraryResponse> decode_job(PytovrikFramePlan* plan, std::uint64_t job, RuntimeFormat format,
                                       FrameSize rgb_size, std::span<std::uint64_t> frame_of_slot,
                                       DecodeTotals& totals) {
        for (;;) {
            RuntimeDecodeRequest request{};
            if (pytovrik_frame_plan_prepare(plan, job, &request) != 0) {
                return file_layer_failure();
            }
            request.output_format = static_cast<std::uint32_t>(format);
            request.output_width = rgb_size.width;
            request.output_height = rgb_size.height;
            LibraryResponse response;
            const std::int32_t status = pytovrik_video_decode_h264_v1(&request, response.get());
            ++totals.batches;
            const std::int32_t verdict = pytovrik_frame_plan_finish(plan, job, status, response.get(),
                                                                    frame_of_slot.data());
            if (verdict < 0) {
                return file_layer_failure();
            }
            if (verdict == 1) {
                return response;
            }
        }
    }

    OpenVideoFile file_;
    PytovrikVideoFileInfo info_;
    Turn turn_;  // as the display matrix says
    std::string path_;
};

}  // namespace

Outcome<std::unique_ptr<FrameSource>> open_file_frames(const std::string& path) {
    const PytovrikDecoder library = decoding_library();
    PytovrikVideoFile* opened = nullptr;
    if (pytovrik_video_file_open(path.c_str(), &library, &opened) != 0) {
        return file_layer_failure();
    }
    OpenVideoFile file(opened);
    PytovrikVideoFileInfo info{};
    PytovrikVideoTrackInfo track{};
    if (pytovrik_video_file_info(file.get(), &info) != 0 || pytovrik_video_file_track_info(file.get(), &track) != 0) {
        return file_layer_failure();
    }
    return std::make_unique<FileFrames>(std::move(file), info, Turn{track.rotation, track.mirrored != 0}, path);
}

}  // namespace pytovrik::cli
