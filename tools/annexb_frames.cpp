// An Annex B stream's frames: access units grouped into batches by the tool
// (one per group of pictures, or one for the whole stream), each decoded in
// one library call or in slices within the memory budget.
#include "frame_source.hpp"
#include "input/access_unit_source.hpp"

namespace pytovrik::cli {
namespace {

class AnnexBFrames final : public FrameSource {
public:
    AnnexBFrames(std::unique_ptr<AccessUnitSource> units, std::string path)
        : units_(std::move(units)), path_(std::move(path)) {}

    std::string description() const override { return units_->description(); }
    FrameRate frame_rate() const override { return units_->frame_rate(); }
    // A stream carries no timestamps; the conformance checksums have none.
    Outcome<std::optional<FrameTimes>> frame_times() override { return std::nullopt; }

    Outcome<DecodeTotals> decode(const DecodeSettings& settings, const FrameConsumer& consume,
                                Progress& progress) override {
        BatchReader reader(*units_, settings.batch);
        BatchDecoder decoder(settings.format, settings.rgb_size, settings.frames,
                             settings.batch == BatchMode::group_of_pictures ? settings.memory_budget : 0);
        DecodeTotals totals;
        for (;;) {
            // Past the last selected frame there is nothing left to keep.
            if (const auto last = settings.frames.last(); last && totals.frames > *last) {
                break;
            }
            auto batch = reader.next();
            if (!batch) {
                return propagate(batch);
            }
            if (!*batch) {
                break;
            }
            auto outcome = decoder.decode(**batch, totals.frames, consume);
            if (!outcome) {
                return propagate(outcome);
            }
            ++totals.batches;
            totals.frames += outcome->frames_decoded;
            totals.kept += outcome->frames_kept;
            progress.update(totals.frames, units_->bytes_read(), units_->total_bytes());
        }
        if (totals.batches == 0) {
            return fail("'" + path_ + "' holds no H.264 access unit");
        }
        totals.last_size = decoder.last_frame_size();
        return totals;
    }

private:
    std::unique_ptr<AccessUnitSource> units_;
    std::string path_;
};

}  // namespace

Outcome<std::unique_ptr<FrameSource>> open_annexb_frames(const std::string& path) {
    auto units = open_annexb_input(path);
    if (!units) {
        return propagate(units);
    }
    return std::make_unique<AnnexBFrames>(std::move(*units), path);
}

}  // namespace pytovrik::cli
