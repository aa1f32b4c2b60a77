// Reads a table of fixed-size entries (sample sizes, chunk offsets, time
// deltas, fragment runs) front to back through a bounded buffer, so a table
// of any length costs the same memory: the reader never holds a whole moov.
#pragma once

#include <cstdint>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "track.hpp"

namespace pytovrik::file::mp4 {

class TableReader {
public:
    TableReader() = default;
    // `count` entries of `entry_size` bytes from byte `offset` on; the caller
    // has checked that they lie inside their box.
    TableReader(const FileBytes& file, std::uint64_t offset, std::uint64_t count, std::uint32_t entry_size);

    std::uint64_t remaining() const { return remaining_; }

    // The next entry's bytes, valid until the next call. Only while
    // remaining() > 0. Inline: it runs once per entry of every table.
    Outcome<const std::uint8_t*> next() {
        if (cursor_ == filled_) {
            if (auto refilled = refill(); !refilled) {
                return propagate(refilled);
            }
        }
        const std::uint8_t* entry = buffer_.data() + cursor_;
        cursor_ += entry_size_;
        --remaining_;
        return entry;
    }

private:
    Outcome<void> refill();

    const FileBytes* file_ = nullptr;
    std::uint64_t offset_ = 0;  // of the first entry not yet in the buffer
    std::uint64_t remaining_ = 0;
    std::uint64_t unbuffered_ = 0;  // entries not yet in the buffer
    std::uint32_t entry_size_ = 0;
    ByteVector buffer_;
    std::size_t cursor_ = 0;
    std::size_t filled_ = 0;
};

}  // namespace pytovrik::file::mp4
