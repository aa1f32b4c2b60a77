// One opened file, read with pread only: no seek position is shared, so any
// number of threads may read it at once, and a file that shrinks under us
// gives a short read instead of the SIGBUS a mapping would.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/outcome.hpp"

namespace pytovrik::file {

class FileBytes {
public:
    static Outcome<std::shared_ptr<FileBytes>> open(const std::string& path);

    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    const std::string& path() const noexcept { return path_; }
    // The size when the file was opened.
    std::uint64_t size() const noexcept { return size_; }
    // Bytes handed out by read() so far, by every thread.
    std::uint64_t bytes_read() const noexcept { return bytes_read_.load(std::memory_order_relaxed); }

    // Fills `out` from `offset` on. Returns how many bytes the file held
    // there: fewer than out.size() only at the end of the file.
    Outcome<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    FileBytes(int descriptor, std::uint64_t size, std::string path) noexcept
        : descriptor_(descriptor), size_(size), path_(std::move(path)) {}

    int descriptor_;
    std::uint64_t size_;
    std::string path_;
    mutable std::atomic<std::uint64_t> bytes_read_{0};
};

}  // namespace pytovrik::file
