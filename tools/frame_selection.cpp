#include "frame_selection.hpp"

#include <algorithm>
#include <charconv>
#include <string>

namespace pytovrik::cli {
namespace {

std::optional<std::uint64_t> parse_position(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

Outcome<FrameSelection> FrameSelection::parse(std::string_view text) {
    FrameSelection selection;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = text.substr(start, comma - start);
        const std::size_t dash = item.find('-');
        const auto first = parse_position(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : parse_position(item.substr(dash + 1));
        if (!first || !last) {
            return fail("--frames: '" + std::string(item) +
                        "' is not a position or a range of positions (e.g. 0,5,10-20)");
        }
        if (*last < *first) {
            return fail("--frames: the range '" + std::string(item) + "' ends before it starts");
        }
        selection.ranges_.emplace_back(*first, *last);
        start = comma + 1;
    }

    std::sort(selection.ranges_.begin(), selection.ranges_.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& range : selection.ranges_) {
        if (!merged.empty() && (merged.back().second == UINT64_MAX || range.first <= merged.back().second + 1)) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    selection.ranges_ = std::move(merged);
    return selection;
}

bool FrameSelection::contains(std::uint64_t position) const {
    if (ranges_.empty()) {
        return true;
    }
    const auto after = std::upper_bound(ranges_.begin(), ranges_.end(), position,
                                        [](std::uint64_t value, const auto& range) { return value < range.first; });
    return after != ranges_.begin() && position <= std::prev(after)->second;
}

std::optional<std::uint64_t> FrameSelection::last() const {
    if (ranges_.empty()) {
        return std::nullopt;
    }
    return ranges_.back().second;
}

std::vector<std::uint64_t> FrameSelection::positions_within(std::uint64_t first, std::uint64_t count) const {
    std::vector<std::uint64_t> positions;
    if (count == 0) {
        return positions;
    }
    const std::uint64_t window_last = first + std::min(count - 1, UINT64_MAX - first);
    for (const auto& [range_first, range_last] : ranges_) {
        const std::uint64_t from = std::max(range_first, first);
        const std::uint64_t to = std::min(range_last, window_last);
        if (from > to) {
            continue;
        }
        // Counted so that a range ending at the largest position terminates.
        for (std::uint64_t offset = 0; offset <= to - from; ++offset) {
            positions.push_back(from + offset - first);
            if (offset == to - from) {
                break;
            }
        }
    }
    return positions;
}

}  // namespace pytovrik::cli
