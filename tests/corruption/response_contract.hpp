// Decodes a request that may be broken in any way and checks only what every
// answer must satisfy: status 0 with frames consistent with the request, or
// status -1 with the response exactly as the caller left it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/h264_streams.hpp"

namespace pytovrik::testing {

struct ContractOutcome {
    bool succeeded = false;
    std::uint64_t frame_count = 0;
};

// Adds a test failure for every broken rule; `what` names the case.
ContractOutcome expect_response_contract(const std::vector<Packet>& packets, std::uint32_t output_format,
                                         std::uint32_t width, std::uint32_t height, const std::string& what);

}  // namespace pytovrik::testing
