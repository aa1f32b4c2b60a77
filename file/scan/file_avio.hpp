// libavformat's byte input over a FileBytes (a path, memory or a host's
// reader), with a read position of its own: reads name their offset, so
// demuxers of one source on several threads share no seek position, and
// what they read counts in the source's bytes_read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ffmpeg_owners.hpp"
#include "common/outcome.hpp"
#include "file_bytes.hpp"

namespace pytovrik::file {

class FileAvio {
public:
    static Outcome<std::unique_ptr<FileAvio>> open(std::shared_ptr<FileBytes> file);

    FileAvio(const FileAvio&) = delete;
    FileAvio& operator=(const FileAvio&) = delete;
    ~FileAvio() = default;

    AVIOContext* context() const noexcept { return context_.get(); }
    // Why a read of the source failed, empty while none has: libavformat
    // takes a failed read for the end of the input, which must not pass
    // for the end of the file.
    const std::string& failure() const noexcept { return failure_; }

    // For a source whose reads are calls: reads the `length` bytes from
    // `offset` on in one call, and serves libavformat's reads that fall
    // among them from it, until the next hold.
    void hold(std::uint64_t offset, std::uint64_t length);

private:
    explicit FileAvio(std::shared_ptr<FileBytes> file) noexcept : file_(std::move(file)) {}

    static int read(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    std::shared_ptr<FileBytes> file_;
    std::uint64_t offset_ = 0;
    std::string failure_;
    std::uint64_t held_from_ = 0;
    std::vector<std::uint8_t> held_;
    UniqueAVIOContext context_;
};

}  // namespace pytovrik::file
