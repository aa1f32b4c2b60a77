#include "file_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    return std::shared_ptr<FileBytes>(
        new FileBytes(descriptor, static_cast<std::uint64_t>(status.st_size), path));
}

FileBytes::~FileBytes() {
    ::close(descriptor_);
}

Outcome<std::size_t> FileBytes::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
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
    bytes_read_.fetch_add(done, std::memory_order_relaxed);
    return done;
}

}  // namespace pytovrik::file
