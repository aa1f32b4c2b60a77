#include "support/h264_streams.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>

#include "common/ffmpeg_owners.hpp"
#include "common/h264_syntax.hpp"
#include "input/access_unit_splitter.hpp"

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

void drain(AVCodecContext* encoder, AVFrame* frame, std::vector<EncodedPacket>& packets) {
    check(avcodec_send_frame(encoder, frame), "avcodec_send_frame");
    UniqueAVPacket packet(av_packet_alloc());
    for (;;) {
        const int code = avcodec_receive_packet(encoder, packet.get());
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) {
            return;
        }
        check(code, "avcodec_receive_packet");
        packets.push_back(EncodedPacket{Packet(packet->data, packet->data + packet->size), packet->pts,
                                        (packet->flags & AV_PKT_FLAG_KEY) != 0});
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
    std::vector<Packet> packets;
    for (EncodedPacket& packet : encode_h264_with_timestamps(recipe)) {
        packets.push_back(std::move(packet.bytes));
    }
    return packets;
}

std::vector<EncodedPacket> encode_h264_with_timestamps(const StreamRecipe& recipe) {
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

    std::vector<EncodedPacket> packets;
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
    auto units = pytovrik::split_access_units(annexb);
    if (!units) {
        check(units.error(), "av_parser_parse2");
    }
    return std::move(*units);
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

void NalWriter::bits(std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        bits_.push_back(((value >> i) & 1U) != 0);
    }
}

void NalWriter::ue(std::uint64_t value) {
    const std::uint64_t coded = value + 1;
    int length = 0;
    while ((coded >> length) > 1) {
        ++length;
    }
    bits(0, length);
    bits(coded, length + 1);
}

Packet NalWriter::finish() {
    bits_.push_back(true);
    while (bits_.size() % 8 != 0) {
        bits_.push_back(false);
    }
    Packet nal{0, 0, 0, 1, header_};
    int zeros = 0;
    for (std::size_t i = 0; i < bits_.size(); i += 8) {
        std::uint8_t byte = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            byte = static_cast<std::uint8_t>((byte << 1) | (bits_[i + b] ? 1 : 0));
        }
        if (zeros >= 2 && byte <= 3) {
            nal.push_back(3);
            zeros = 0;
        }
        nal.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return nal;
}

namespace {

// Reads the payload of a NAL unit (after its header byte) with the emulation
// prevention bytes removed; reading past the end throws.
// A whole SPS, read bit by bit; a sequence set this small rewrite cannot
// read is a fault of the test, so it throws.
class RbspReader {
public:
    explicit RbspReader(std::span<const std::uint8_t> payload) : bits_(payload) {}
    std::uint32_t bits(int count) { return value_or_throw(bits_.read_bits(count)); }
    std::uint32_t ue() { return value_or_throw(bits_.read_ue()); }
    [[nodiscard]] std::size_t position() const { return bits_.position(); }

private:
    static std::uint32_t value_or_throw(std::optional<std::uint32_t> value) {
        if (!value) {
            throw std::runtime_error("SPS ends early or holds an overlong code");
        }
        return *value;
    }

    h264::PayloadBits<1024> bits_;
};

void skip_hrd_parameters(RbspReader& sps) {
    const std::uint32_t cpb_count = sps.ue() + 1;
    sps.bits(8);  // bit_rate_scale, cpb_size_scale
    for (std::uint32_t i = 0; i < cpb_count; ++i) {
        sps.ue();
        sps.ue();
        sps.bits(1);
    }
    sps.bits(20);  // four delay and length fields of 5 bits
}

// The bit position of bitstream_restriction_flag in the SPS payload, or none
// when the SPS has no VUI.
std::optional<std::size_t> bitstream_restriction_position(RbspReader& sps) {
    const std::uint32_t profile = sps.bits(8);
    sps.bits(16);  // constraint flags, level_idc
    sps.ue();      // seq_parameter_set_id
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
        profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
        profile == 135) {
        if (sps.ue() == 3) {
            throw std::runtime_error("4:4:4 SPS not rewritten");
        }
        sps.ue();
        sps.ue();
        sps.bits(1);
        if (sps.bits(1) != 0) {
            throw std::runtime_error("SPS with scaling matrices not rewritten");
        }
    }
    sps.ue();  // log2_max_frame_num_minus4
    if (const std::uint32_t poc_type = sps.ue(); poc_type == 0) {
        sps.ue();
    } else if (poc_type == 1) {
        sps.bits(1);
        sps.ue();
        sps.ue();
        for (std::uint32_t cycle = sps.ue(); cycle > 0; --cycle) {
            sps.ue();
        }
    }
    sps.ue();      // max_num_ref_frames
    sps.bits(1);   // gaps_in_frame_num_value_allowed_flag
    sps.ue();      // width in macroblocks
    sps.ue();      // height in map units
    if (sps.bits(1) == 0) {
        sps.bits(1);  // mb_adaptive_frame_field_flag
    }
    sps.bits(1);  // direct_8x8_inference_flag
    if (sps.bits(1) != 0) {
        for (int side = 0; side < 4; ++side) {
            sps.ue();
        }
    }
    if (sps.bits(1) == 0) {
        return std::nullopt;
    }
    if (sps.bits(1) != 0 && sps.bits(8) == 255) {
        sps.bits(32);  // sample aspect ratio
    }
    if (sps.bits(1) != 0) {
        sps.bits(1);  // overscan_appropriate_flag
    }
    if (sps.bits(1) != 0 && (sps.bits(5) & 1U) != 0) {
        sps.bits(24);  // colour description
    }
    if (sps.bits(1) != 0) {
        sps.ue();
        sps.ue();
    }
    if (sps.bits(1) != 0) {
        sps.bits(32);
        sps.bits(32);
        sps.bits(1);
    }
    const bool nal_hrd = sps.bits(1) != 0;
    if (nal_hrd) {
        skip_hrd_parameters(sps);
    }
    const bool vcl_hrd = sps.bits(1) != 0;
    if (vcl_hrd) {
        skip_hrd_parameters(sps);
    }
    if (nal_hrd || vcl_hrd) {
        sps.bits(1);  // low_delay_hrd_flag
    }
    sps.bits(1);  // pic_struct_present_flag
    return sps.position();
}

Packet sps_without_reorder_depth(const Packet& nal) {
    const std::span<const std::uint8_t> payload(nal.data() + 1, nal.size() - 1);
    RbspReader sps(payload);
    const auto restriction = bitstream_restriction_position(sps);
    if (!restriction) {
        return nal;
    }
    RbspReader copy(payload);
    NalWriter rewritten(nal[0]);
    for (std::size_t bit = 0; bit < *restriction; ++bit) {
        rewritten.bits(copy.bits(1), 1);
    }
    rewritten.bits(0, 1);  // bitstream_restriction_flag
    const Packet annexb_form = rewritten.finish();
    return {annexb_form.begin() + 4, annexb_form.end()};
}

}  // namespace

std::vector<Packet> nal_units(const Packet& packet) {
    std::vector<Packet> units;
    h264::for_each_nal_unit(packet, [&](h264::Bytes nal) {
        units.emplace_back(nal.begin(), nal.end());
        return true;
    });
    return units;
}

Packet annexb(const std::vector<Packet>& units) {
    Packet packet;
    for (const Packet& unit : units) {
        packet.insert(packet.end(), {0, 0, 0, 1});
        packet.insert(packet.end(), unit.begin(), unit.end());
    }
    return packet;
}

std::vector<Packet> without_declared_reorder_depth(std::vector<Packet> packets) {
    for (Packet& packet : packets) {
        auto units = nal_units(packet);
        for (Packet& unit : units) {
            if (h264::nal_unit_type(unit) == h264::NAL_SPS) {
                unit = sps_without_reorder_depth(unit);
            }
        }
        packet = annexb(units);
    }
    return packets;
}

}  // namespace pytovrik::testing
