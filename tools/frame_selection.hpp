// The frames the user asked for with --frames, as stream positions: every
// frame the decoder outputs counts, from 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "result.hpp"

namespace pytovrik::cli {

class FrameSelection {
public:
    // Every frame.
    FrameSelection() = default;

    // "0,5,10-20": single positions and inclusive ranges, in any order.
    static Outcome<FrameSelection> parse(std::string_view text);

    bool keeps_every_frame() const { return ranges_.empty(); }
    bool contains(std::uint64_t position) const;
    // The highest selected position; std::nullopt when every frame is kept.
    std::optional<std::uint64_t> last() const;
    // The selected positions in [first, first + count), counted from first
    // (nothing when every frame is kept: ask keeps_every_frame() first).
    std::vector<std::uint64_t> positions_within(std::uint64_t first, std::uint64_t count) const;

private:
    // Sorted, disjoint, inclusive.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

}  // namespace pytovrik::cli
