#include "mp4/table_reader.hpp"

#include <algorithm>

#include "mp4/mp4_boxes.hpp"

namespace pytovrik::file::mp4 {
namespace {

// Large enough that a one-hour track's tables take a few dozen reads.
constexpr std::uint64_t BUFFER_BYTES = 64 * 1024;

}  // namespace

TableReader::TableReader(const FileBytes& file, std::uint64_t offset, std::uint64_t count, std::uint32_t entry_size)
    : file_(&file), offset_(offset), remaining_(count), unbuffered_(count), entry_size_(entry_size) {
    const std::uint64_t entries =
        std::clamp<std::uint64_t>(BUFFER_BYTES / entry_size, 1, std::max<std::uint64_t>(count, 1));
    buffer_.resize(static_cast<std::size_t>(entries * entry_size));
}

Outcome<void> TableReader::refill() {
    const std::uint64_t entries = std::min<std::uint64_t>(unbuffered_, buffer_.size() / entry_size_);
    const auto bytes = static_cast<std::size_t>(entries * entry_size_);
    auto got = file_->read(offset_, std::span(buffer_).first(bytes));
    if (!got) {
        return propagate(got);
    }
    if (*got != bytes) {
        return malformed(*file_, "the file ends inside a sample table at byte " + std::to_string(offset_ + *got));
    }
    offset_ += bytes;
    unbuffered_ -= entries;
    cursor_ = 0;
    filled_ = bytes;
    return {};
}

}  // namespace pytovrik::file::mp4
