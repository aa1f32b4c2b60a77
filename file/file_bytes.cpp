#include "file_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pytovrik::file {

Outcome<std::shared_ptr<FileBytes>> FileBytes::open(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return fail("cannot open '" + path + "': " + std::strerror(errno));
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno;
        ::close(descriptor);
        return fail("cannot read '" + path + "': " + (error != 0 ? std::strerror(error) : "not a regular file"));
    }
    std::shared_ptr<FileBytes> file(new FileBytes(static_cast<std::uint64_t>(status.st_size), path));
    file->descriptor_ = descriptor;
    return file;
}

std::shared_ptr<FileBytes> FileBytes::over_memory(std::span<const std::uint8_t> bytes, std::string name) {
    std::shared_ptr<FileBytes> file(new FileBytes(bytes.size(), std::move(name)));
    file->kind_ = Kind::Memory;
    file->memory_ = bytes.data();
    return file;
}

std::shared_ptr<FileBytes> FileBytes::over_callback(ReadCallback reader, std::uint64_t size, std::string name) {
    std::shared_ptr<FileBytes> file(new FileBytes(size, std::move(name)));
    file->kind_ = Kind::Callback;
    file->reader_ = reader;
    return file;
}

FileBytes::~FileBytes() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

Outcome<std::size_t> FileBytes::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    return remembering_ ? read_remembered(offset, out) : read_source(offset, out);
}

Outcome<std::size_t> FileBytes::read_source(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (kind_ == Kind::Memory) {
        const auto bytes = view(offset, out.size());
        if (bytes && !bytes->empty()) {
            std::memcpy(out.data(), bytes->data(), bytes->size());
        }
        return bytes ? bytes->size() : 0;
    }
    auto done = kind_ == Kind::Callback ? read_callback(offset, out) : read_file(offset, out);
    if (done) {
        bytes_read_.fetch_add(*done, std::memory_order_relaxed);
    }
    return done;
}

// A 512th of the source, between 4 KiB and 256 KiB: a small file is not
// read whole for a few boxes, and a large one is read in few calls.
std::size_t FileBytes::read_ahead() const noexcept {
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(size_ / 512, 4096, 256 << 10));
}

void FileBytes::remember_reads(bool on) {
    remembering_ = on;
    if (!on) {
        remembered_.clear();
        remembered_bytes_ = 0;
    }
}

// Remembered stretches serve what they hold; each gap between them is one
// read of the source, remembered in turn.
Outcome<std::size_t> FileBytes::read_remembered(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t at = offset + done;
        auto next = remembered_.upper_bound(at);
        if (next != remembered_.begin()) {
            const auto& [start, bytes] = *std::prev(next);
            if (at < start + bytes.size()) {
                const auto count = static_cast<std::size_t>(
                    std::min<std::uint64_t>(out.size() - done, start + bytes.size() - at));
                std::memcpy(out.data() + done, bytes.data() + (at - start), count);
                done += count;
                continue;
            }
        }
        const std::uint64_t gap_end = next == remembered_.end()
                                          ? offset + out.size()
                                          : std::min<std::uint64_t>(offset + out.size(), next->first);
        const auto gap = static_cast<std::size_t>(gap_end - at);
        // A host's reader is asked for a little more than a small read
        // needs, up to the next stretch held: opening an MP4 file hops over
        // its boxes in reads of a few bytes, each a call that may cross a
        // network.
        std::size_t ask = gap;
        if (kind_ == Kind::Callback) {
            const std::uint64_t held_from = next == remembered_.end() ? size_ : next->first;
            ask = static_cast<std::size_t>(std::max<std::uint64_t>(
                gap, std::min<std::uint64_t>(read_ahead(), held_from > at ? held_from - at : 0)));
        }
        std::vector<std::uint8_t> bytes(ask);
        auto got = read_source(at, bytes);
        if (!got) {
            return got;
        }
        const std::size_t used = std::min(*got, gap);
        std::memcpy(out.data() + done, bytes.data(), used);
        if (*got > 0) {
            bytes.resize(*got);
            remembered_bytes_ += *got;
            remembered_.emplace(at, std::move(bytes));
        }
        done += used;
        if (used < gap) {
            break;
        }
    }
    auto dropped = remembered_.lower_bound(REMEMBERED_HEAD);
    while (remembered_bytes_ > REMEMBERED_BYTES) {
        if (dropped == remembered_.end()) {
            dropped = remembered_.begin();  // only the head is left
        }
        remembered_bytes_ -= dropped->second.size();
        dropped = remembered_.erase(dropped);
    }
    return done;
}

std::optional<std::span<const std::uint8_t>> FileBytes::view(std::uint64_t offset, std::size_t count) const {
    if (kind_ != Kind::Memory) {
        return std::nullopt;
    }
    const std::uint64_t start = std::min(offset, size_);
    const auto available = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - start));
    bytes_read_.fetch_add(available, std::memory_order_relaxed);
    return available == 0 ? std::span<const std::uint8_t>() : std::span(memory_ + start, available);
}

Outcome<std::size_t> FileBytes::read_file(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(descriptor_, out.data() + done, out.size() - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail("cannot read '" + path_ + "' at byte " + std::to_string(offset + done) + ": " +
                        std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// The host's reader is asked for no more than the source holds, so a reader
// that gives more than asked, or keeps giving past the size it stated,
// cannot make us read past the buffer or loop.
Outcome<std::size_t> FileBytes::read_callback(std::uint64_t offset, std::span<std::uint8_t> out) const {
    const std::uint64_t wanted = offset < size_ ? std::min<std::uint64_t>(out.size(), size_ - offset) : 0;
    std::size_t done = 0;
    while (done < wanted) {
        const std::int64_t got = reader_.read(reader_.context, offset + done, out.data() + done, wanted - done);
        if (got < 0 || static_cast<std::uint64_t>(got) > wanted - done) {
            return fail("cannot read '" + path_ + "' at byte " + std::to_string(offset + done) + ": " +
                        (got < 0 ? "its reader failed" : "its reader gave more bytes than asked"));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace pytovrik::file
