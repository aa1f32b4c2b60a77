#include "mp4/segment_index.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "mp4/table_reader.hpp"
#include "mp4/wrapping_math.hpp"

namespace pytovrik::file::mp4 {

Mp4Outcome<std::optional<std::uint64_t>> read_segment_index_end(const FileBytes& file, const Box& sidx,
                                                                std::span<const std::uint32_t> track_ids) {
    auto head = read_payload_head(file, sidx, 32);
    if (!head) {
        return halt(head.error());
    }
    FieldReader fields(*head);
    const std::uint8_t version = fields.u8();
    fields.skip(3);
    const std::uint32_t track_id = fields.u32();
    if (version > 1 || std::find(track_ids.begin(), track_ids.end(), track_id) == track_ids.end()) {
        return std::optional<std::uint64_t>{};
    }
    const auto time_scale = static_cast<std::int32_t>(fields.u32());
    std::uint64_t first_offset = 0;
    if (version == 0) {
        fields.skip(4);
        first_offset = fields.u32();
    } else {
        fields.skip(8);
        first_offset = fields.u64();
    }
    fields.skip(2);
    const std::uint16_t count = fields.u16();
    if (fields.overrun()) {
        return halt(
            malformed(file, "the segment index at byte " + std::to_string(sidx.offset) + " is too short").error());
    }
    const std::uint64_t references_at = sidx.payload + fields.position();
    if (time_scale <= 0 || count == 0 || std::uint64_t{count} * 12 > sidx.end - references_at) {
        // libavformat refuses the file then.
        return fall_back("the segment index at byte " + std::to_string(sidx.offset) + " is invalid");
    }
    auto end = static_cast<std::int64_t>(sidx.end);
    if (av_sat_add64(end, static_cast<std::int64_t>(first_offset)) !=
        wrapping_add(end, static_cast<std::int64_t>(first_offset))) {
        return fall_back("the segment index at byte " + std::to_string(sidx.offset) + " points out of range");
    }
    end = wrapping_add(end, static_cast<std::int64_t>(first_offset));
    TableReader references(file, references_at, count, 12);
    for (std::uint16_t i = 0; i < count; ++i) {
        auto reference = references.next();
        if (!reference) {
            return halt(reference.error());
        }
        const std::uint32_t size = read_be32(*reference);
        if ((size & 0x80000000U) != 0) {
            return fall_back("the segment index at byte " + std::to_string(sidx.offset) + " refers to another index");
        }
        end = wrapping_add(end, size);
    }
    return std::optional<std::uint64_t>{static_cast<std::uint64_t>(end)};
}

Outcome<bool> segments_reach_end(const FileBytes& file, std::uint64_t end) {
    if (end == file.size()) {
        return true;
    }
    if (file.size() < 4) {
        return false;
    }
    std::array<std::uint8_t, 4> tail{};
    auto got = file.read(file.size() - 4, tail);
    if (!got) {
        return propagate(got);
    }
    return *got == tail.size() && end == file.size() - read_be32(tail.data());
}

}  // namespace pytovrik::file::mp4
