#include "mp4/mp4_boxes.hpp"

#include <algorithm>
#include <array>

namespace pytovrik::file::mp4 {

std::string type_name(std::uint32_t type) {
    std::string name(4, '?');
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<char>((type >> (24 - 8 * i)) & 0xFFU);
        if (byte >= 0x20 && byte < 0x7F) {
            name[static_cast<std::size_t>(i)] = byte;
        }
    }
    return name;
}

std::string box_at(const Box& box) {
    // Appended, not "'" + name: g++ 12 at -O3 warns falsely (-Wrestrict) on a
    // literal put in front of a temporary string.
    std::string text = "'";
    text += type_name(box.type);
    text += "' box at byte ";
    text += std::to_string(box.offset);
    return text;
}

std::unexpected<Failure> malformed(const FileBytes& file, const std::string& what) {
    return fail("'" + file.path() + "': " + what);
}

namespace {

constexpr std::size_t HEADER_BYTES = 16;
// After this many tiny boxes in a row, headers are read a window at a time.
constexpr unsigned TINY_RUN = 32;
constexpr std::uint64_t TINY_BOX = 64;
constexpr std::uint64_t WINDOW_BYTES = 4096;

BoxHeader decode_box_header(std::span<const std::uint8_t> head, std::uint64_t offset, std::uint64_t limit) {
    BoxHeader header;
    if (head.size() < 8) {
        return header;  // the file ends before the parent does
    }
    Box& box = header.box;
    box.offset = offset;
    box.type = read_be32(head.data() + 4);
    const std::uint32_t size = read_be32(head.data());
    header.status = HeaderStatus::impossible;
    if (size == 1) {
        if (head.size() < 16) {
            return header;
        }
        const std::uint64_t large = read_be64(head.data() + 8);
        if (large < 16 || large > UINT64_MAX - offset) {
            return header;
        }
        box.payload = offset + 16;
        box.end = offset + large;
    } else if (size == 0) {
        box.payload = offset + 8;
        box.end = limit;
    } else if (size < 8) {
        return header;
    } else {
        box.payload = offset + 8;
        box.end = offset + size;
    }
    header.status = HeaderStatus::box;
    return header;
}

}  // namespace

Outcome<BoxHeader> BoxHeaderReader::read(std::uint64_t offset, std::uint64_t limit) {
    if (offset > limit || limit - offset < 8) {
        return BoxHeader{};
    }
    const std::uint64_t wanted = std::min<std::uint64_t>(HEADER_BYTES, limit - offset);
    const bool in_window = offset >= window_start_ && offset - window_start_ + wanted <= window_.size();
    if (!in_window) {
        const std::uint64_t ahead = tiny_run_ >= TINY_RUN ? WINDOW_BYTES : HEADER_BYTES;
        window_.resize(static_cast<std::size_t>(std::min(ahead, limit - offset)));
        auto got = file_.read(offset, window_);
        if (!got) {
            return propagate(got);
        }
        window_.resize(*got);
        window_start_ = offset;
    }
    const std::size_t at = static_cast<std::size_t>(offset - window_start_);
    const auto head =
        std::span<const std::uint8_t>(window_).subspan(at, std::min<std::size_t>(window_.size() - at, HEADER_BYTES));
    BoxHeader header = decode_box_header(head.first(std::min<std::size_t>(head.size(), wanted)), offset, limit);
    const bool tiny = header.status == HeaderStatus::box && header.box.end - header.box.offset < TINY_BOX;
    tiny_run_ = tiny ? tiny_run_ + 1 : 0;
    return header;
}

Outcome<void> for_each_child(const FileBytes& file, const Box& parent, std::uint64_t first_child,
                             const ChildVisitor& visit, bool cut) {
    BoxHeaderReader headers(file);
    std::uint64_t offset = first_child;
    while (offset < parent.end) {
        auto header = headers.read(offset, parent.end);
        if (!header) {
            return propagate(header);
        }
        if (header->status == HeaderStatus::padding) {
            break;
        }
        const Box& child = header->box;
        if (header->status == HeaderStatus::impossible) {
            return malformed(file, "box '" + type_name(child.type) + "' at byte " + std::to_string(offset) + " in '" +
                                       type_name(parent.type) + "' has an impossible size");
        }
        if (child.end > parent.end && !cut) {
            return malformed(file, "box '" + type_name(child.type) + "' at byte " + std::to_string(offset) +
                                       " claims " + std::to_string(child.end - child.offset) +
                                       " bytes, more than its parent '" + type_name(parent.type) + "' holds");
        }
        auto more = visit(child);
        if (!more) {
            return propagate(more);
        }
        if (!*more || child.end > parent.end) {
            break;
        }
        offset = child.end;
    }
    return {};
}

Mp4Outcome<void> walk_children(const FileBytes& file, const Box& parent, std::uint64_t first_child,
                               const Mp4ChildVisitor& visit, bool cut) {
    std::optional<Halt> halted;
    auto walked = for_each_child(
        file, parent, first_child,
        [&](const Box& child) -> Outcome<bool> {
            auto more = visit(child);
            if (!more) {
                halted = std::move(more.error());
                return false;
            }
            return *more;
        },
        cut);
    if (!walked) {
        return halt(walked.error());
    }
    if (halted) {
        return std::unexpected(std::move(*halted));
    }
    return {};
}

Outcome<ByteVector> read_payload(const FileBytes& file, const Box& box, std::uint64_t max_size) {
    if (box.payload_size() > max_size) {
        return malformed(file, "box '" + type_name(box.type) + "' at byte " + std::to_string(box.offset) + " holds " +
                                   std::to_string(box.payload_size()) + " bytes, more than the " +
                                   std::to_string(max_size) + " such a box may take");
    }
    ByteVector bytes(static_cast<std::size_t>(box.payload_size()));
    auto got = file.read(box.payload, bytes);
    if (!got) {
        return propagate(got);
    }
    if (*got != bytes.size()) {
        return malformed(
            file, "the file ends inside box '" + type_name(box.type) + "' at byte " + std::to_string(box.offset));
    }
    return bytes;
}

Outcome<ByteVector> read_payload_head(const FileBytes& file, const Box& box, std::size_t count) {
    Box head = box;
    head.end = box.payload + std::min<std::uint64_t>(count, box.payload_size());
    return read_payload(file, head, count);
}

void FieldReader::skip(std::size_t count) {
    if (count > remaining()) {
        overrun_ = true;
        position_ = bytes_.size();
        return;
    }
    position_ += count;
}

std::span<const std::uint8_t> FieldReader::bytes(std::size_t count) {
    if (count > remaining()) {
        overrun_ = true;
        position_ = bytes_.size();
        return {};
    }
    const auto taken = bytes_.subspan(position_, count);
    position_ += count;
    return taken;
}

std::uint64_t FieldReader::take(std::size_t count) {
    if (count > remaining()) {
        overrun_ = true;
        position_ = bytes_.size();
        return 0;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = (value << 8) | bytes_[position_ + i];
    }
    position_ += count;
    return value;
}

}  // namespace pytovrik::file::mp4
