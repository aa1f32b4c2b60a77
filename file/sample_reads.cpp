#include "sample_reads.hpp"

#include <string>

namespace pytovrik::file {
namespace {

// One read holds at most this much.
constexpr std::uint64_t MAX_READ_BYTES = std::uint64_t{8} << 20;
// Samples apart by no more than this are read together, with what lies
// between them.
constexpr std::uint64_t MAX_BRIDGED_BYTES = std::uint64_t{64} << 10;

// How many of `indices` from the first on one read takes, and its length.
std::pair<std::size_t, std::uint64_t> run_of(std::span<const TrackSample> samples,
                                             std::span<const std::uint32_t> indices) {
    const std::uint64_t start = samples[indices[0]].position;
    std::uint64_t bytes = samples[indices[0]].size;
    std::size_t count = 1;
    for (; count < indices.size(); ++count) {
        const TrackSample& previous = samples[indices[count - 1]];
        const TrackSample& next = samples[indices[count]];
        // Positions come from the file: no sum may wrap.
        const std::uint64_t previous_end = previous.position + previous.size;
        if (previous_end < previous.position || next.position < previous_end ||
            next.position - previous_end > MAX_BRIDGED_BYTES || next.position - start > MAX_READ_BYTES ||
            next.size > MAX_READ_BYTES - (next.position - start)) {
            break;
        }
        bytes = next.position - start + next.size;
    }
    return {count, bytes};
}

}  // namespace

Outcome<void> read_close_samples(const FileBytes& file, std::span<const TrackSample> samples,
                                 std::span<const std::uint32_t> indices, const SampleConsumer& consume) {
    ByteVector buffer;
    while (!indices.empty()) {
        const auto [count, bytes] = run_of(samples, indices);
        const std::uint64_t start = samples[indices[0]].position;
        std::span<const std::uint8_t> read;
        if (const auto in_place = file.view(start, static_cast<std::size_t>(bytes))) {
            read = *in_place;
        } else {
            buffer.resize(static_cast<std::size_t>(bytes));
            auto got = file.read(start, buffer);
            if (!got) {
                return propagate(got);
            }
            read = std::span<const std::uint8_t>(buffer).first(*got);
        }
        for (const std::uint32_t index : indices.first(count)) {
            const TrackSample& sample = samples[index];
            const std::uint64_t offset = sample.position - start;
            if (read.size() < offset + sample.size) {
                const std::uint64_t held = read.size() > offset ? read.size() - offset : 0;
                return fail("'" + file.path() + "': sample " + std::to_string(index) + " is cut short: the file holds " +
                            std::to_string(held) + " of its " + std::to_string(sample.size) + " bytes at byte " +
                            std::to_string(sample.position));
            }
            if (auto consumed = consume(index, read.subspan(static_cast<std::size_t>(offset), sample.size));
                !consumed) {
                return consumed;
            }
        }
        indices = indices.subspan(count);
    }
    return {};
}

}  // namespace pytovrik::file
