#include "input/access_unit_splitter.hpp"

#include <climits>

namespace pytovrik {

AccessUnitSplitter::AccessUnitSplitter()
    : parser_(av_parser_init(AV_CODEC_ID_H264)),
      context_(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264))) {}

std::expected<AccessUnitSplitter::Step, int> AccessUnitSplitter::step(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        bytes = bytes.first(static_cast<std::size_t>(INT_MAX));  // the parser takes an int; the rest comes next step
    }
    std::uint8_t* unit = nullptr;
    int unit_size = 0;
    const int used = av_parser_parse2(parser_.get(), context_.get(), &unit, &unit_size,
                                      bytes.empty() ? nullptr : bytes.data(), static_cast<int>(bytes.size()),
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) {
        return std::unexpected(used);
    }
    return Step{static_cast<std::size_t>(used),
                unit_size > 0 ? std::span<const std::uint8_t>(unit, static_cast<std::size_t>(unit_size))
                              : std::span<const std::uint8_t>()};
}

std::expected<std::vector<std::vector<std::uint8_t>>, int> split_access_units(std::span<const std::uint8_t> annexb) {
    AccessUnitSplitter splitter;
    if (!splitter.ready()) {
        return std::unexpected(AVERROR_DECODER_NOT_FOUND);
    }
    std::vector<std::uint8_t> padded(annexb.begin(), annexb.end());
    padded.resize(annexb.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::span<const std::uint8_t> rest(padded.data(), annexb.size());
    std::vector<std::vector<std::uint8_t>> units;
    for (bool flushed = false; !flushed;) {
        flushed = rest.empty();
        const auto step = splitter.step(rest);
        if (!step) {
            return std::unexpected(step.error());
        }
        rest = rest.subspan(step->used);
        if (!step->unit.empty()) {
            units.emplace_back(step->unit.begin(), step->unit.end());
        }
    }
    return units;
}

}  // namespace pytovrik
