#include "scan/file_avio.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

namespace pytovrik::file {
namespace {

// The buffer libavformat's own file protocol reads with, so that probing and
// demuxing see the same reads as the command line does.
constexpr int IO_BUFFER_SIZE = 32768;
// A hold is a read of this much at most.
constexpr std::uint64_t MAX_HELD_BYTES = std::uint64_t{8} << 20;

}  // namespace

Outcome<std::unique_ptr<FileAvio>> FileAvio::open(std::shared_ptr<FileBytes> file) {
    std::unique_ptr<FileAvio> avio(new FileAvio(std::move(file)));
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER_SIZE));
    if (buffer == nullptr) {
        return fail("out of memory opening '" + avio->file_->path() + "'");
    }
    avio->context_.reset(avio_alloc_context(buffer, IO_BUFFER_SIZE, 0, avio.get(), &FileAvio::read, nullptr,
                                            &FileAvio::seek));
    if (avio->context_ == nullptr) {
        av_free(buffer);
        return fail("out of memory opening '" + avio->file_->path() + "'");
    }
    return avio;
}

void FileAvio::hold(std::uint64_t offset, std::uint64_t length) {
    held_.clear();
    if (!file_->reads_are_calls() || offset >= file_->size()) {
        return;
    }
    held_.resize(static_cast<std::size_t>(std::min({length, file_->size() - offset, MAX_HELD_BYTES})));
    auto got = file_->read(offset, held_);
    held_.resize(got ? *got : 0);  // a failure shows again when libavformat reads there
    held_from_ = offset;
}

int FileAvio::read(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<FileAvio*>(opaque);
    if (size <= 0) {
        return 0;
    }
    if (self->offset_ >= self->held_from_ && self->offset_ - self->held_from_ < self->held_.size()) {
        const std::uint64_t at = self->offset_ - self->held_from_;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(size),
                                                                              self->held_.size() - at));
        std::memcpy(buffer, self->held_.data() + at, count);
        self->offset_ += count;
        return static_cast<int>(count);
    }
    auto got = self->file_->read(self->offset_, std::span(buffer, static_cast<std::size_t>(size)));
    if (!got) {
        if (self->failure_.empty()) {
            self->failure_ = got.error().message;
        }
        return AVERROR(EIO);
    }
    if (*got == 0) {
        return AVERROR_EOF;
    }
    self->offset_ += *got;
    return static_cast<int>(*got);
}

// Like the file protocol, a position past the end is accepted; reading there
// gives the end of the file.
std::int64_t FileAvio::seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<FileAvio*>(opaque);
    const auto size = static_cast<std::int64_t>(self->file_->size());
    std::int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return size;
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = static_cast<std::int64_t>(self->offset_);
            break;
        case SEEK_END:
            base = size;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) || base + offset < 0) {
        return AVERROR(EINVAL);
    }
    self->offset_ = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

}  // namespace pytovrik::file
