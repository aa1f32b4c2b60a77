#include "annexb_input.hpp"

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "common/ffmpeg_owners.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace bench {

std::vector<Packet> read_access_units(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t length = bytes.size();
    // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end.
    bytes.resize(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);

    pytovrik::UniqueAVCodecParserContext parser(av_parser_init(AV_CODEC_ID_H264));
    pytovrik::UniqueAVCodecContext context(
        avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
    if (!parser || !context) {
        throw std::runtime_error("cannot create the H.264 parser");
    }
    std::vector<Packet> units;
    const std::uint8_t* data = bytes.data();
    int remaining = static_cast<int>(length);
    // An empty input at the end flushes the last access unit out of the parser.
    for (bool flushed = false; !flushed;) {
        flushed = remaining == 0;
        std::uint8_t* unit = nullptr;
        int unit_size = 0;
        const int used = av_parser_parse2(parser.get(), context.get(), &unit, &unit_size, flushed ? nullptr : data,
                                          remaining, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) {
            throw std::runtime_error("cannot parse " + path);
        }
        data += used;
        remaining -= used;
        if (unit_size > 0) {
            units.emplace_back(unit, unit + unit_size);
        }
    }
    if (units.empty()) {
        throw std::runtime_error(path + " holds no access unit");
    }
    return units;
}

}  // namespace bench
