// Test media tool: copies a Matroska file's H.264 track, putting the SEI NAL
// units of each packet that also holds a picture into a packet of their own,
// just before it and with its timestamps. Containers from other muxers hold
// such packets; ffmpeg's own muxers never write them.
//   split_sei_packets IN.mkv OUT.mkv
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/ffmpeg_owners.hpp"

namespace {

constexpr int NAL_SEI = 6;

// Bytes of `packet` that are length-prefixed NAL units of SEI (or not).
std::vector<std::uint8_t> units_of(const AVPacket& packet, int length_size, bool sei) {
    std::vector<std::uint8_t> kept;
    int at = 0;
    while (at + length_size <= packet.size) {
        std::uint32_t size = 0;
        for (int i = 0; i < length_size; ++i) {
            size = (size << 8) | packet.data[at + i];
        }
        const int end = at + length_size + static_cast<int>(size);
        if (size == 0 || end > packet.size) {
            break;
        }
        if (((packet.data[at + length_size] & 0x1f) == NAL_SEI) == sei) {
            kept.insert(kept.end(), packet.data + at, packet.data + end);
        }
        at = end;
    }
    return kept;
}

int write_with(AVFormatContext* out, const AVPacket& model, const std::vector<std::uint8_t>& bytes, bool key) {
    pytovrik::UniqueAVPacket packet(av_packet_alloc());
    if (packet == nullptr || av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
        return AVERROR(ENOMEM);
    }
    std::copy(bytes.begin(), bytes.end(), packet->data);
    packet->pts = model.pts;
    packet->dts = model.dts;
    packet->duration = model.duration;
    packet->flags = key ? AV_PKT_FLAG_KEY : 0;
    packet->stream_index = 0;
    return av_write_frame(out, packet.get());
}

int run(const char* in_path, const char* out_path) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, in_path, nullptr, nullptr) < 0) {
        return 1;
    }
    pytovrik::UniqueAVFormatContext in(opened);
    if (avformat_find_stream_info(in.get(), nullptr) < 0 || in->nb_streams != 1 ||
        in->streams[0]->codecpar->extradata_size < 5) {
        return 1;
    }
    const AVStream* source = in->streams[0];
    const int length_size = (source->codecpar->extradata[4] & 3) + 1;
    AVFormatContext* created = nullptr;
    if (avformat_alloc_output_context2(&created, nullptr, nullptr, out_path) < 0) {
        return 1;
    }
    struct OutputCloser {
        void operator()(AVFormatContext* context) const {
            avio_closep(&context->pb);
            avformat_free_context(context);
        }
    };
    std::unique_ptr<AVFormatContext, OutputCloser> out(created);
    AVStream* target = avformat_new_stream(out.get(), nullptr);
    if (target == nullptr || avcodec_parameters_copy(target->codecpar, source->codecpar) < 0) {
        return 1;
    }
    target->time_base = source->time_base;
    if (avio_open(&out->pb, out_path, AVIO_FLAG_WRITE) < 0 || avformat_write_header(out.get(), nullptr) < 0) {
        return 1;
    }
    pytovrik::UniqueAVPacket packet(av_packet_alloc());
    while (av_read_frame(in.get(), packet.get()) >= 0) {
        av_packet_rescale_ts(packet.get(), source->time_base, target->time_base);
        const auto sei = units_of(*packet, length_size, true);
        const auto rest = units_of(*packet, length_size, false);
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (!sei.empty() && !rest.empty()) {
            if (write_with(out.get(), *packet, sei, false) < 0 || write_with(out.get(), *packet, rest, key) < 0) {
                return 1;
            }
        } else if (write_with(out.get(), *packet, sei.empty() ? rest : sei, key) < 0) {
            return 1;
        }
        av_packet_unref(packet.get());
    }
    return av_write_trailer(out.get()) < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: split_sei_packets IN.mkv OUT.mkv\n");
        return 2;
    }
    const int status = run(argv[1], argv[2]);
    if (status != 0) {
        std::fprintf(stderr, "split_sei_packets: cannot copy %s to %s\n", argv[1], argv[2]);
    }
    return status;
}
