// One checksum line per frame. For YUV frames the checksummed bytes are the
// Y, U and V planes packed one after the other (not the library's interleaved
// chroma), so that lines compare directly with FFmpeg's framecrc of yuv420p
// rawvideo. RGB frames are checksummed as returned. With times, the lines are
// those of ffmpeg's framecrc muxer: the video is its stream 0, dts equals pts
// for raw frames, and every frame lasts one tick of the frame rate.
#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "output/frame_sink.hpp"

namespace pytovrik::cli {
namespace {

// Adler-32 with FFmpeg's start value of 0 rather than zlib's 1.
class Adler32 {
public:
    void update(std::span<const std::uint8_t> bytes) {
        constexpr std::uint32_t modulus = 65521;
        // 5552 bytes is the longest run whose sums cannot overflow 32 bits.
        constexpr std::size_t run = 5552;
        for (std::size_t start = 0; start < bytes.size(); start += run) {
            const std::size_t end = std::min(bytes.size(), start + run);
            for (std::size_t i = start; i < end; ++i) {
                low_ += bytes[i];
                high_ += low_;
            }
            low_ %= modulus;
            high_ %= modulus;
        }
        size_ += bytes.size();
    }
    std::uint32_t value() const { return high_ << 16 | low_; }
    std::uint64_t size() const { return size_; }

private:
    std::uint32_t low_ = 0;
    std::uint32_t high_ = 0;
    std::uint64_t size_ = 0;
};

class FramecrcSink final : public FrameSink {
public:
    FramecrcSink(std::FILE* out, std::optional<FrameTimes> times) : out_(out), times_(std::move(times)) {
        if (times_) {
            std::fprintf(out_, "#tb 0: %" PRId64 "/%" PRId64 "\n", times_->time_base_num, times_->time_base_den);
        }
    }

    Outcome<void> write(std::uint64_t position, const RuntimeFrame& frame) override {
        Adler32 checksum;
        if (frame.format == RuntimeFormatYuv420) {
            checksum.update(bytes_of(frame.y));
            chroma_.clear();
            append_planar_chroma(bytes_of(frame.uv), chroma_);
            checksum.update(chroma_);
        } else {
            checksum.update(bytes_of(frame.rgb));
        }
        if (times_) {
            const std::int64_t pts = times_->pts(position);
            std::fprintf(out_, "0, %10" PRId64 ", %10" PRId64 ", %8d, %8" PRIu64 ", 0x%08" PRIx32 "\n", pts, pts, 1,
                         checksum.size(), checksum.value());
        } else {
            std::fprintf(out_, "%" PRIu64 " 0x%08" PRIx32 "\n", checksum.size(), checksum.value());
        }
        return {};
    }

    Outcome<void> finish() override {
        if (std::fflush(out_) != 0 || std::ferror(out_)) {
            return fail(std::string("cannot write the checksums: ") + std::strerror(errno));
        }
        return {};
    }

private:
    std::FILE* out_;
    std::optional<FrameTimes> times_;
    std::vector<std::uint8_t> chroma_;
};

}  // namespace

std::unique_ptr<FrameSink> make_framecrc_sink(std::FILE* out, std::optional<FrameTimes> times) {
    return std::make_unique<FramecrcSink>(out, std::move(times));
}

}  // namespace pytovrik::cli
