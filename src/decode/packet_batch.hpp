// The packets of one request, as the decode layer receives them.
#pragma once

#include <vector>

#include "common/byte_buffer.hpp"

namespace pytovrik {

// One H.264 packet copied out of the request; a batch is a request's packets
// in decode order.
using OwnedPacket = ByteBuffer;
using PacketBatch = std::vector<OwnedPacket>;

}  // namespace pytovrik
