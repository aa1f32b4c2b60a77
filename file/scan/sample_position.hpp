// What the scan reader keeps in TrackSample::position, and how it finds the
// offset of a packet's bytes in the file.
//
// A sample whose bytes lie contiguously in the file keeps their offset and is
// read back with one pread. Any other sample (an MPEG-TS packet, whose bytes
// are spread over 188-byte transport packets; a compressed Matroska block)
// keeps the position libavformat gave its packet, marked with the top bit,
// and is read back by demuxing that stretch of the file again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "file_bytes.hpp"
#include "track.hpp"

namespace pytovrik::file {

inline constexpr std::uint64_t DEMUXED_SAMPLE = std::uint64_t{1} << 63;

inline bool is_demuxed(const TrackSample& sample) noexcept { return (sample.position & DEMUXED_SAMPLE) != 0; }

// AVPacket::pos plus one, so that an unknown position (-1) is kept as 0.
inline std::uint64_t demuxed_position(std::int64_t packet_position) noexcept {
    const std::int64_t known = packet_position >= 0 && packet_position < INT64_MAX ? packet_position : -1;
    return DEMUXED_SAMPLE | static_cast<std::uint64_t>(known + 1);
}

// The AVPacket::pos of a demuxed sample, -1 where libavformat gave none.
inline std::int64_t packet_position(const TrackSample& sample) noexcept {
    return static_cast<std::int64_t>(sample.position & ~DEMUXED_SAMPLE) - 1;
}

// Where `packet` lies in the file: within a few bytes after the position
// libavformat gave it (past the container's block or chunk header), or right
// after the previous sample's bytes (frames of a Matroska lace). Each
// candidate is compared byte for byte. `scratch` is reused between calls.
Outcome<std::optional<std::uint64_t>> locate_packet_bytes(const FileBytes& file, std::span<const std::uint8_t> packet,
                                                          std::int64_t packet_position,
                                                          std::optional<std::uint64_t> previous_end,
                                                          ByteVector& scratch);

}  // namespace pytovrik::file
