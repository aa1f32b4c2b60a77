// The encoded pictures of an Annex B stream: H.264 access units in decode
// order, one picture (or one field) each. (Video files go through the file
// layer instead: see frame_source.hpp.)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "result.hpp"

namespace pytovrik::cli {

struct AccessUnit {
    std::vector<std::uint8_t> bytes;
    // Where the unit starts in the input file, for error messages.
    std::uint64_t input_offset = 0;
    // One field of a pair: the decoder outputs one frame per two of these.
    bool single_field = false;
    // The picture size the input reports (0 when unknown); a fallback for the
    // RGB output size when the decoder cannot tell it first.
    int width = 0;
    int height = 0;
};

struct FrameRate {
    int numerator = 25;
    int denominator = 1;
};

class AccessUnitSource {
public:
    virtual ~AccessUnitSource() = default;
    // std::nullopt at the end of the input.
    virtual Outcome<std::optional<AccessUnit>> next() = 0;
    // For the progress line; total_bytes() is 0 when unknown.
    virtual std::uint64_t bytes_read() const = 0;
    virtual std::uint64_t total_bytes() const = 0;
    // What the user gave us: "Annex B".
    virtual std::string description() const = 0;
    virtual FrameRate frame_rate() const = 0;
};

Outcome<std::unique_ptr<AccessUnitSource>> open_annexb_input(const std::string& path);

}  // namespace pytovrik::cli
