// ISO base media file boxes as the reader meets them: a header (size and
// four-character type) and a payload, read from the file on demand. Every
// size, count and offset comes from untrusted bytes, so each box is checked
// against its parent before anything inside it is believed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "mp4/mp4_outcome.hpp"
#include "track.hpp"

namespace pytovrik::file::mp4 {

// A four-character code as it reads big-endian from the file.
constexpr std::uint32_t box_type(const char (&name)[5]) {
    return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[3]));
}

// 'moov'; bytes that are not printable ASCII show as '?'.
std::string type_name(std::uint32_t type);

struct Box {
    std::uint32_t type = 0;
    std::uint64_t offset = 0;   // first byte of the header
    std::uint64_t payload = 0;  // first byte after the header
    std::uint64_t end = 0;      // one past the last byte the header claims
    std::uint64_t payload_size() const { return end - payload; }
};

// "'stsz' box at byte 1234", for messages.
std::string box_at(const Box& box);

// "'{path}': {what}", the form of every message about a file's contents.
std::unexpected<Failure> malformed(const FileBytes& file, const std::string& what);

enum class HeaderStatus {
    box,
    // Fewer than 8 bytes left before the limit: padding that some writers
    // leave at the end of a container.
    padding,
    // A size smaller than the header itself, or one that wraps around.
    impossible,
};

struct BoxHeader {
    HeaderStatus status = HeaderStatus::padding;
    Box box;
};

// Reads the headers of boxes one after another, each at `offset` inside a
// parent (or the file) that ends at `limit`. A size of 0 reaches to `limit`.
// A box may claim to end past `limit`: the caller decides whether that is a
// truncated file or a lie. Containers hold a handful of boxes, each header
// read on its own; a long run of tiny boxes (a hostile file) is read through
// a window instead, so it costs a read per window, not per box.
class BoxHeaderReader {
public:
    explicit BoxHeaderReader(const FileBytes& file) : file_(file) {}
    Outcome<BoxHeader> read(std::uint64_t offset, std::uint64_t limit);

private:
    const FileBytes& file_;
    ByteVector window_;
    std::uint64_t window_start_ = 0;
    unsigned tiny_run_ = 0;  // boxes in a row smaller than a header window
};

// Calls `visit` with each child of `parent` in order, until it returns
// false. A child that claims more bytes than its parent holds fails, unless
// the parent is `cut` by the end of the file: that child is then the last
// one visited, and may end past the parent.
using ChildVisitor = std::function<Outcome<bool>(const Box& child)>;
Outcome<void> for_each_child(const FileBytes& file, const Box& parent, std::uint64_t first_child,
                             const ChildVisitor& visit, bool cut = false);
inline Outcome<void> for_each_child(const FileBytes& file, const Box& parent, const ChildVisitor& visit) {
    return for_each_child(file, parent, parent.payload, visit);
}

// for_each_child with a visitor that may also fall back.
using Mp4ChildVisitor = std::function<Mp4Outcome<bool>(const Box& child)>;
Mp4Outcome<void> walk_children(const FileBytes& file, const Box& parent, std::uint64_t first_child,
                               const Mp4ChildVisitor& visit, bool cut = false);
inline Mp4Outcome<void> walk_children(const FileBytes& file, const Box& parent, const Mp4ChildVisitor& visit) {
    return walk_children(file, parent, parent.payload, visit);
}

// The payload of a box that is read whole (headers, descriptions); larger
// than `max_size` fails, so a lying size costs no memory.
Outcome<ByteVector> read_payload(const FileBytes& file, const Box& box, std::uint64_t max_size);

// The first `count` bytes of a box's payload, or all of it when shorter:
// for boxes of which only the leading fields matter.
Outcome<ByteVector> read_payload_head(const FileBytes& file, const Box& box, std::size_t count);

// Big-endian fields from bytes in memory. A read past the end yields 0 and
// marks the reader overrun, so a box is parsed in full and checked once.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u24() { return static_cast<std::uint32_t>(take(3)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }
    void skip(std::size_t count);
    std::span<const std::uint8_t> bytes(std::size_t count);

    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }
    bool overrun() const { return overrun_; }

private:
    std::uint64_t take(std::size_t count);

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool overrun_ = false;
};

inline std::uint32_t read_be32(const std::uint8_t* bytes) {
    return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
           (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

inline std::uint64_t read_be64(const std::uint8_t* bytes) {
    return (static_cast<std::uint64_t>(read_be32(bytes)) << 32) | read_be32(bytes + 4);
}

}  // namespace pytovrik::file::mp4
