#include "scan/file_avio.hpp"

#include <limits>
#include <span>

namespace pytovrik::file {
namespace {

// The buffer libavformat's own file protocol reads with, so that probing and
// demuxing see the same reads as the command line does.
constexpr int IO_BUFFER_SIZE = 32768;

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

int FileAvio::read(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<FileAvio*>(opaque);
    if (size <= 0) {
        return 0;
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
