// Annex B elementary streams, split into access units by libavcodec's H.264
// parser. The file is read in chunks, so memory does not grow with its size.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "input/access_unit_source.hpp"
#include "input/access_unit_splitter.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pytovrik::cli {
namespace {

constexpr std::size_t chunk_size = 1 << 20;

class AnnexBInput final : public AccessUnitSource {
public:
    AnnexBInput(std::ifstream file, std::uint64_t total, std::string path)
        : file_(std::move(file)),
          total_(total),
          path_(std::move(path)),
          // The parser may read up to AV_INPUT_BUFFER_PADDING_SIZE bytes past
          // what it is given; the padding stays zero.
          chunk_(chunk_size + AV_INPUT_BUFFER_PADDING_SIZE, 0) {}

    Outcome<std::optional<AccessUnit>> next() override {
        while (!flushed_) {
            if (chunk_used_ == chunk_filled_ && !end_of_file_) {
                if (auto filled = refill(); !filled) {
                    return propagate(filled);
                }
            }
            // An empty input after the last byte makes the parser hand over
            // the access unit it still holds.
            const bool flushing = chunk_used_ == chunk_filled_;
            const auto step =
                splitter_.step(std::span<const std::uint8_t>(chunk_).subspan(chunk_used_, chunk_filled_ - chunk_used_));
            if (!step) {
                return fail("cannot split '" + path_ + "' into access units: " + ffmpeg_error_text(step.error()));
            }
            chunk_used_ += step->used;
            flushed_ = flushing;
            if (!step->unit.empty()) {
                AccessUnit access_unit;
                access_unit.bytes.assign(step->unit.begin(), step->unit.end());
                // The parser neither drops nor adds bytes, so units laid end
                // to end give the file back and each one's offset is the sum
                // of those before it.
                access_unit.input_offset = next_offset_;
                next_offset_ += step->unit.size();
                const AVCodecParserContext& parser = splitter_.parser();
                access_unit.single_field = parser.picture_structure == AV_PICTURE_STRUCTURE_TOP_FIELD ||
                                           parser.picture_structure == AV_PICTURE_STRUCTURE_BOTTOM_FIELD;
                access_unit.width = parser.width;
                access_unit.height = parser.height;
                return access_unit;
            }
        }
        return std::nullopt;
    }

    bool ready() const { return splitter_.ready(); }

    // What has been handed on, not what sits read ahead in the chunk.
    std::uint64_t bytes_read() const override { return next_offset_; }
    std::uint64_t total_bytes() const override { return total_; }
    std::string description() const override { return "Annex B"; }
    FrameRate frame_rate() const override {
        // The parser fills this from the stream's timing information, when
        // the stream carries any.
        const AVRational rate = splitter_.context().framerate;
        if (rate.num > 0 && rate.den > 0) {
            return {rate.num, rate.den};
        }
        return {};
    }

private:
    Outcome<void> refill() {
        file_.read(reinterpret_cast<char*>(chunk_.data()), chunk_size);
        if (file_.bad()) {
            return fail("cannot read '" + path_ + "': " + std::strerror(errno));
        }
        chunk_filled_ = static_cast<std::size_t>(file_.gcount());
        chunk_used_ = 0;
        end_of_file_ = chunk_filled_ < chunk_size;
        std::memset(chunk_.data() + chunk_filled_, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        return {};
    }

    std::ifstream file_;
    std::uint64_t total_;
    AccessUnitSplitter splitter_;
    std::string path_;
    std::vector<std::uint8_t> chunk_;
    std::size_t chunk_filled_ = 0;
    std::size_t chunk_used_ = 0;
    std::uint64_t next_offset_ = 0;
    bool end_of_file_ = false;
    bool flushed_ = false;
};

}  // namespace

Outcome<std::unique_ptr<AccessUnitSource>> open_annexb_input(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return fail("cannot open '" + path + "': " + std::strerror(errno));
    }
    const auto end = file.tellg();
    file.seekg(0);
    const std::uint64_t total = end > 0 ? static_cast<std::uint64_t>(end) : 0;

    auto input = std::make_unique<AnnexBInput>(std::move(file), total, path);
    if (!input->ready()) {
        return fail("this FFmpeg has no H.264 parser");
    }
    return input;
}

}  // namespace pytovrik::cli
