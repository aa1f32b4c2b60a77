// libavcodec's H.264 parser, cutting an Annex B byte stream into access
// units: one loop for the decoder tool, the tests and the benchmarks, so all
// of them hand the library the same packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "common/ffmpeg_owners.hpp"

namespace pytovrik {

class AccessUnitSplitter {
public:
    // Check ready(): an FFmpeg built without the H.264 parser gives none.
    AccessUnitSplitter();

    bool ready() const { return parser_ != nullptr && context_ != nullptr; }

    struct Step {
        std::size_t used;                    // bytes of the input consumed
        std::span<const std::uint8_t> unit;  // a finished access unit, or empty; valid until the next step
    };

    // Feeds the parser. `bytes` must be followed by AV_INPUT_BUFFER_PADDING_SIZE
    // readable bytes, which the parser may read. An empty span marks the end
    // of the stream and hands over the access unit still held. A negative
    // FFmpeg code when the parser fails.
    std::expected<Step, int> step(std::span<const std::uint8_t> bytes);

    // What the parser learnt of the last unit: picture structure, size, and
    // the frame rate of the stream's timing information.
    const AVCodecParserContext& parser() const { return *parser_; }
    const AVCodecContext& context() const { return *context_; }

private:
    UniqueAVCodecParserContext parser_;
    UniqueAVCodecContext context_;
};

// Every access unit of a whole stream, copied out, in stream order; the
// pieces joined give the input back. A negative FFmpeg code when the parser
// is missing or fails.
std::expected<std::vector<std::vector<std::uint8_t>>, int> split_access_units(std::span<const std::uint8_t> annexb);

}  // namespace pytovrik
