// Groups access units into the batches handed to the library, one call each.
#pragma once

#include <string>
#include <cstdint>
#include <optional>
#include <vector>

#include "input/access_unit_source.hpp"
#include "nal_units.hpp"

namespace pytovrik::cli {

enum class BatchMode {
    // One batch per group of pictures, starting at an IDR access unit: memory
    // stays bounded by the longest group, not the length of the input.
    group_of_pictures,
    // The whole input in one batch, exactly as it was read.
    whole_input,
};

struct Batch {
    std::uint64_t number = 0;  // 1, 2, ...
    // The first packet carries, in front of its own bytes, every parameter set
    // seen before it: a batch may meet a decoder that has never seen them.
    std::vector<std::vector<std::uint8_t>> packets;
    std::uint64_t input_offset = 0;
    // How many frames the decoder should output: one per access unit, one per
    // two single fields. Only a guess for streams that break the pattern.
    std::uint64_t expected_frames = 0;
    // Identifies the sequence parameter sets in force at the first packet.
    std::string sequence_fingerprint;
    int reported_width = 0;
    int reported_height = 0;
};

class BatchReader {
public:
    BatchReader(AccessUnitSource& source, BatchMode mode) : source_(source), mode_(mode) {}

    // std::nullopt once the input is exhausted.
    Outcome<std::optional<Batch>> next();

private:
    AccessUnitSource& source_;
    BatchMode mode_;
    std::optional<AccessUnit> held_idr_;
    ParameterSetMemory parameter_sets_;
    std::uint64_t batches_ = 0;
};

}  // namespace pytovrik::cli
