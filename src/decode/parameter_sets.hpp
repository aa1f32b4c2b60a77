// Which parameter sets a batch defines for itself. A flushed decoder still
// holds the SPS and PPS of earlier requests, so a batch whose slices refer to
// one it does not carry would decode on a reused decoder but fail on a fresh
// one; such a batch gets a fresh decoder, and every request decodes the same
// whatever its thread decoded before.
#pragma once

#include "decode/decoded_frames.hpp"

namespace pytovrik {

// True when every slice of the batch (Annex B) refers to a PPS defined
// earlier in the batch, whose SPS was defined before that PPS. When in doubt
// (an unreadable header) the answer is false.
bool batch_defines_its_parameter_sets(const PacketBatch& packets);

}  // namespace pytovrik
