#include "scan/sample_position.hpp"

#include <algorithm>
#include <cstring>

namespace pytovrik::file {
namespace {

// Longer than any header a container puts between a packet's position and
// its data: a Matroska block header with lacing sizes, an AVI chunk header
// (8 bytes), an FLV tag and AVC packet header (16 bytes).
constexpr std::size_t HEADER_WINDOW = 64;

// The offset within `window` where `packet` starts, searching the first
// `candidates` offsets.
std::optional<std::size_t> find_in_window(std::span<const std::uint8_t> window, std::span<const std::uint8_t> packet,
                                          std::size_t candidates) {
    for (std::size_t shift = 0; shift < candidates && shift + packet.size() <= window.size(); ++shift) {
        if (std::memcmp(window.data() + shift, packet.data(), packet.size()) == 0) {
            return shift;
        }
    }
    return std::nullopt;
}

}  // namespace

Outcome<std::optional<std::uint64_t>> locate_packet_bytes(const FileBytes& file, std::span<const std::uint8_t> packet,
                                                          std::int64_t packet_position,
                                                          std::optional<std::uint64_t> previous_end,
                                                          ByteVector& scratch) {
    if (packet_position >= 0) {
        const auto start = static_cast<std::uint64_t>(packet_position);
        scratch.resize(packet.size() + HEADER_WINDOW);
        auto got = file.read(start, scratch);
        if (!got) {
            return propagate(got);
        }
        const std::span<const std::uint8_t> window(scratch.data(), *got);
        if (auto shift = find_in_window(window, packet, HEADER_WINDOW + 1)) {
            return start + *shift;
        }
        if (previous_end && *previous_end >= start && *previous_end - start <= HEADER_WINDOW) {
            return std::nullopt;  // searched already
        }
    }
    if (previous_end) {
        scratch.resize(packet.size());
        auto got = file.read(*previous_end, scratch);
        if (!got) {
            return propagate(got);
        }
        if (find_in_window(std::span<const std::uint8_t>(scratch.data(), *got), packet, 1)) {
            return *previous_end;
        }
    }
    return std::nullopt;
}

}  // namespace pytovrik::file
