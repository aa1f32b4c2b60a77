// Everything the library needs from the host's request is copied before
// decoding starts, so the host's memory is never read afterwards.
#pragma once

#include <cstdint>
#include <vector>

#include "common/outcome.hpp"
#include "decode/decoded_frames.hpp"
#include "pytovrik_video.h"

namespace pytovrik {

Outcome<std::vector<std::uint64_t>> copy_selected_positions(const RuntimeDecodeRequest& request);

Outcome<PacketBatch> copy_packets(const RuntimeDecodeRequest& request);

Outcome<OwnedPacket> copy_packet(const RuntimePacket& packet);

}  // namespace pytovrik
