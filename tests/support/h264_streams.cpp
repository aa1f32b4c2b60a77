#include "support/h264_streams.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "common/ffmpeg_owners.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace pytovrik::testing {

namespace {


void check(int code, const char* what) {
    if (code < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

void fill_pattern(AVFrame& frame, int index, const SampleFunction& sample_at) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    const bool wide = descriptor->comp[0].depth > 8;
    // Gray formats have one plane; every other format the tests use has three.
    const int planes = descriptor->nb_components < 3 ? 1 : 3;
    for (int plane = 0; plane < planes; ++plane) {
        const int shift_x = plane == 0 ? 0 : descriptor->log2_chroma_w;
        const int shift_y = plane == 0 ? 0 : descriptor->log2_chroma_h;
        const int width = AV_CEIL_RSHIFT(frame.width, shift_x);
        const int height = AV_CEIL_RSHIFT(frame.height, shift_y);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane];
            for (int x = 0; x < width; ++x) {
                const std::uint8_t sample =
                    sample_at ? sample_at(plane, index, x, y) : pattern_sample(plane, index, x, y);
                if (wide) {
                    const auto value = static_cast<std::uint16_t>(sample << (descriptor->comp[0].depth - 8));
                    std::memcpy(row + 2 * x, &value, 2);
                } else {
                    row[x] = sample;
                }
            }
        }
    }
}

void drain(AVCodecContext* encoder, AVFrame* frame, std::vector<Packet>& packets) {
    check(avcodec_send_frame(encoder, frame), "avcodec_send_frame");
    UniqueAVPacket packet(av_packet_alloc());
    for (;;) {
        const int code = avcodec_receive_packet(encoder, packet.get());
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) {
            return;
        }
        check(code, "avcodec_receive_packet");
        packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
}

}  // namespace

std::uint8_t pattern_sample(int plane, int index, int x, int y) {
    // Luma varies with position and index; each chroma plane holds a value of
    // its own per frame with a gentle gradient, so Cb/Cr swaps are visible.
    switch (plane) {
        case 0: return static_cast<std::uint8_t>(16 + ((index * 29 + x * 3 + y * 7) % 220));
        case 1: return static_cast<std::uint8_t>(40 + ((index * 13 + x + y) % 150));
        default: return static_cast<std::uint8_t>(200 - ((index * 11 + 2 * x + y) % 150));
    }
}

SampleFunction split_picture(YCbCr left, YCbCr right, int split_x) {
    return [=](int plane, int, int x, int) {
        const YCbCr& colour = (plane == 0 ? x : 2 * x) < split_x ? left : right;
        return plane == 0 ? colour.y : plane == 1 ? colour.cb : colour.cr;
    };
}

std::vector<Packet> encode_h264(const StreamRecipe& recipe) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        throw std::runtime_error("libx264 encoder not available");
    }
    UniqueAVCodecContext encoder(avcodec_alloc_context3(codec));
    encoder->width = recipe.width;
    encoder->height = recipe.height;
    encoder->pix_fmt = recipe.pixel_format;
    encoder->time_base = AVRational{1, 25};
    encoder->framerate = AVRational{25, 1};
    encoder->gop_size = recipe.gop;
    encoder->max_b_frames = recipe.b_frames;
    encoder->thread_count = 1;  // deterministic output
    if (recipe.full_range) {
        encoder->color_range = AVCOL_RANGE_JPEG;
    }
    encoder->colorspace = recipe.colour_matrix;
    if (recipe.interlaced) {
        encoder->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
    }
    if (recipe.slices > 0) {
        encoder->slices = recipe.slices;
    }
    av_opt_set(encoder->priv_data, "preset", "veryfast", 0);
    if (recipe.lossless) {
        av_opt_set(encoder->priv_data, "qp", "0", 0);
    }
    if (!recipe.x264_params.empty()) {
        av_opt_set(encoder->priv_data, "x264-params", recipe.x264_params.c_str(), 0);
    }
    check(avcodec_open2(encoder.get(), codec, nullptr), "avcodec_open2(libx264)");

    std::vector<Packet> packets;
    UniqueAVFrame frame(av_frame_alloc());
    for (int i = 0; i < recipe.frames; ++i) {
        frame->format = recipe.pixel_format;
        frame->width = recipe.width;
        frame->height = recipe.height;
        check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
        fill_pattern(*frame, recipe.first_index + i, recipe.sample);
        frame->pts = i;
        drain(encoder.get(), frame.get(), packets);
        av_frame_unref(frame.get());
    }
    drain(encoder.get(), nullptr, packets);
    return packets;
}

std::vector<std::uint8_t> expected_luma(const StreamRecipe& recipe, int index) {
    std::vector<std::uint8_t> plane;
    plane.reserve(static_cast<std::size_t>(recipe.width) * static_cast<std::size_t>(recipe.height));
    for (int y = 0; y < recipe.height; ++y) {
        for (int x = 0; x < recipe.width; ++x) {
            plane.push_back(pattern_sample(0, recipe.first_index + index, x, y));
        }
    }
    return plane;
}

std::vector<std::uint8_t> expected_interleaved_chroma(const StreamRecipe& recipe, int index) {
    const int chroma_width = (recipe.width + 1) / 2;
    const int chroma_height = (recipe.height + 1) / 2;
    std::vector<std::uint8_t> plane;
    for (int y = 0; y < chroma_height; ++y) {
        for (int x = 0; x < chroma_width; ++x) {
            plane.push_back(pattern_sample(1, recipe.first_index + index, x, y));
            plane.push_back(pattern_sample(2, recipe.first_index + index, x, y));
        }
    }
    return plane;
}

std::vector<Packet> split_access_units(std::span<const std::uint8_t> annexb) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    UniqueAVCodecParserContext parser(av_parser_init(AV_CODEC_ID_H264));
    UniqueAVCodecContext context(avcodec_alloc_context3(codec));
    std::vector<Packet> units;
    // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end.
    std::vector<std::uint8_t> padded(annexb.begin(), annexb.end());
    padded.resize(annexb.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const std::uint8_t* data = padded.data();
    int remaining = static_cast<int>(annexb.size());
    // An empty input at the end flushes the parser's last access unit.
    bool flushed = false;
    while (!flushed) {
        flushed = remaining == 0;
        std::uint8_t* unit = nullptr;
        int unit_size = 0;
        const int used = av_parser_parse2(parser.get(), context.get(), &unit, &unit_size, flushed ? nullptr : data,
                                          remaining, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        data += used;
        remaining -= used;
        if (unit_size > 0) {
            units.emplace_back(unit, unit + unit_size);
        }
    }
    return units;
}

std::vector<std::uint8_t> read_binary_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<Packet> concatenate(std::vector<Packet> first, const std::vector<Packet>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

}  // namespace pytovrik::testing
