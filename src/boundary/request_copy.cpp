#include "boundary/request_copy.hpp"

#include <cstring>

#include "common/vector_capacity.hpp"

namespace pytovrik {

Outcome<std::vector<std::uint64_t>> copy_selected_positions(const RuntimeDecodeRequest& request) {
    if (request.selected_positions == nullptr) {
        if (request.selected_position_count != 0) {
            return fail("FFmpeg runtime request has null selected positions with non-zero length");
        }
        return std::vector<std::uint64_t>{};
    }
    auto positions = vector_with_capacity<std::uint64_t>(request.selected_position_count, "selected positions");
    if (positions) {
        positions->assign(request.selected_positions,
                          request.selected_positions + request.selected_position_count);
    }
    return positions;
}

Outcome<OwnedPacket> copy_packet(const RuntimePacket& packet) {
    if (packet.data == nullptr) {
        if (packet.len != 0) {
            return fail("FFmpeg runtime request has null packet data with non-zero length");
        }
        return OwnedPacket{};
    }
    auto copy = ByteBuffer::allocate(packet.len, "packet copy");
    if (copy && packet.len != 0) {
        std::memcpy(copy->data(), packet.data, packet.len);
    }
    return copy;
}

Outcome<PacketBatch> copy_packets(const RuntimeDecodeRequest& request) {
    if (request.packets == nullptr) {
        if (request.packet_count != 0) {
            return fail("FFmpeg runtime request has null packets with non-zero length");
        }
        return PacketBatch{};
    }
    auto packets = vector_with_capacity<OwnedPacket>(request.packet_count, "packet list");
    if (!packets) {
        return packets;
    }
    for (std::uint64_t i = 0; i < request.packet_count; ++i) {
        auto packet = copy_packet(request.packets[i]);
        if (!packet) {
            return propagate(packet);
        }
        packets->push_back(std::move(*packet));
    }
    return packets;
}

}  // namespace pytovrik
