// Benchmark inputs: an Annex B file split into access units, the way a host
// hands packets to the library (one access unit per packet, decode order).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Packet = std::vector<std::uint8_t>;

// Throws std::runtime_error when the file cannot be read or parsed.
std::vector<Packet> read_access_units(const std::string& path);

}  // namespace bench
