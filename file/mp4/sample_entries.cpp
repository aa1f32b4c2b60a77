#include "mp4/sample_entries.hpp"

#include <array>

#include "common/ffmpeg_owners.hpp"
#include "mp4/avc_configuration.hpp"

namespace pytovrik::file::mp4 {
namespace {

constexpr std::uint32_t HANDLER_VIDEO = box_type("vide");
constexpr std::uint32_t HANDLER_AUDIO = box_type("soun");
// libavformat refuses more, and a visual sample entry is at least this long
// before its child boxes.
constexpr std::int64_t MAX_ENTRIES = 1024;
constexpr std::uint32_t VISUAL_ENTRY_SIZE = 86;
// A decoder configuration holds a few parameter sets; this bounds what a
// lying size can make the reader allocate.
constexpr std::uint64_t MAX_CONFIGURATION_BYTES = 1U << 24;

// libavformat's tag tables are keyed by the little-endian reading of the
// four characters.
unsigned tag_of(std::uint32_t format) {
    return ((format & 0xFFU) << 24) | ((format & 0xFF00U) << 8) | ((format >> 8) & 0xFF00U) | (format >> 24);
}

AVCodecID codec_in(const AVCodecTag* table, unsigned tag) {
    const AVCodecTag* const tables[] = {table, nullptr};
    return av_codec_get_id(tables, tag);
}

// Boxes that libavformat would take as this entry's extradata instead of,
// or besides, the avcC, or that change the codec: not reproduced.
bool replaces_configuration(std::uint32_t type) {
    static constexpr std::array types = {box_type("glbl"), box_type("hvcC"), box_type("av1C"), box_type("strf"),
                                         box_type("esds"), box_type("wave"), box_type("sinf"), box_type("frma")};
    for (const std::uint32_t other : types) {
        if (type == other) {
            return true;
        }
    }
    return false;
}

std::string entry_name(std::size_t index) {
    return "sample entry " + std::to_string(index + 1);
}

// The avcC of one entry (children from byte 86 on), read into `description`.
Mp4Outcome<void> read_entry_configuration(const FileBytes& file, const Box& entry, std::size_t index,
                                          SampleDescription& description) {
    std::optional<Box> configuration;
    auto walked =
        walk_children(file, entry, entry.offset + VISUAL_ENTRY_SIZE, [&](const Box& child) -> Mp4Outcome<bool> {
            if (child.type == box_type("avcC")) {
                if (configuration) {
                    return fall_back(entry_name(index) + " holds two avcC boxes");
                }
                configuration = child;
            } else if (replaces_configuration(child.type)) {
                return fall_back(entry_name(index) + " holds a '" + type_name(child.type) + "' box");
            }
            return true;
        });
    if (!walked) {
        return walked;
    }
    if (!configuration) {
        // libavcodec then reads the samples as Annex B.
        description.length_size = 0;
        return {};
    }
    auto bytes = read_payload(file, *configuration, MAX_CONFIGURATION_BYTES);
    if (!bytes) {
        return halt(bytes.error());
    }
    // Files written by old libavformat versions wrap a whole 'fiel' box in
    // the configuration box, which libavformat then parses as a container.
    if (bytes->size() >= 10 && read_be32(bytes->data()) == bytes->size() &&
        read_be32(bytes->data() + 4) == box_type("fiel")) {
        return fall_back(entry_name(index) + " wraps a 'fiel' box in its avcC");
    }
    if (auto read = read_avc_configuration(*bytes, description); !read) {
        return halt(malformed(file, entry_name(index) + ": " + read.error().message).error());
    }
    return {};
}

}  // namespace

Outcome<std::uint32_t> read_first_sample_format(const FileBytes& file, const Box& stsd) {
    if (stsd.payload_size() < 16) {
        return std::uint32_t{0};
    }
    std::array<std::uint8_t, 16> head{};
    auto got = file.read(stsd.payload, head);
    if (!got) {
        return propagate(got);
    }
    if (*got != head.size() || read_be32(head.data() + 4) == 0) {
        return std::uint32_t{0};
    }
    return read_be32(head.data() + 12);
}

bool is_h264_video(std::uint32_t handler, std::uint32_t format) {
    const unsigned tag = tag_of(format);
    AVCodecID audio = codec_in(avformat_get_mov_audio_tags(), tag);
    if (audio == AV_CODEC_ID_NONE && ((tag & 0xFFFFU) == ('m' | ('s' << 8)) || (tag & 0xFFFFU) == ('T' | ('S' << 8)))) {
        audio = codec_in(avformat_get_riff_audio_tags(), ((tag >> 24) | ((tag >> 8) & 0xFF00U)) & 0xFFFFU);
    }
    if (handler != HANDLER_VIDEO && audio != AV_CODEC_ID_NONE) {
        return false;
    }
    if (handler == HANDLER_AUDIO || format == 0 || format == box_type("mp4s")) {
        return false;
    }
    AVCodecID video = codec_in(avformat_get_mov_video_tags(), tag);
    if (video == AV_CODEC_ID_NONE) {
        video = codec_in(avformat_get_riff_video_tags(), tag);
    }
    return video == AV_CODEC_ID_H264;
}

Mp4Outcome<SampleEntries> read_sample_entries(const FileBytes& file, const Box& stsd) {
    std::array<std::uint8_t, 8> head{};
    auto got = file.read(stsd.payload, head);
    if (!got) {
        return halt(got.error());
    }
    const auto count = static_cast<std::int32_t>(read_be32(head.data() + 4));
    if (*got != head.size() || count <= 0 || count > static_cast<std::int64_t>(stsd.payload_size() / 8) ||
        count > MAX_ENTRIES) {
        return halt(malformed(file, "the sample description box at byte " + std::to_string(stsd.offset) + " declares " +
                                        std::to_string(count) + " entries")
                        .error());
    }
    SampleEntries entries;
    entries.descriptions.resize(static_cast<std::size_t>(count));
    entries.skipped.resize(static_cast<std::size_t>(count));
    std::uint32_t first_format = 0;
    BoxHeaderReader headers(file);
    std::uint64_t offset = stsd.payload + 8;
    for (std::size_t index = 0; index < entries.descriptions.size(); ++index) {
        auto header = headers.read(offset, stsd.end);
        if (!header) {
            return halt(header.error());
        }
        const Box& entry = header->box;
        if (header->status != HeaderStatus::box || entry.end > stsd.end) {
            return halt(malformed(file, entry_name(index) + " at byte " + std::to_string(offset) +
                                            " does not fit in its sample description box")
                            .error());
        }
        offset = entry.end;
        if (first_format != 0 && entry.type != first_format) {
            entries.skipped[index] = true;  // libavformat skips an entry of another format
            continue;
        }
        if (entry.end - entry.offset < VISUAL_ENTRY_SIZE) {
            return fall_back(entry_name(index) + " is shorter than a visual sample entry");
        }
        std::array<std::uint8_t, VISUAL_ENTRY_SIZE> fields{};
        got = file.read(entry.offset, fields);
        if (!got) {
            return halt(got.error());
        }
        const std::uint16_t depth = static_cast<std::uint16_t>((fields[82] << 8) | fields[83]) & 0x1FU;
        if (depth == 1 || depth == 2 || depth == 4 || depth == 8) {
            return fall_back(entry_name(index) + " declares a palette depth of " + std::to_string(depth));
        }
        entries.pseudo_stream_id = first_format != 0 ? -1 : 0;
        first_format = entry.type;
        entries.data_reference = static_cast<std::uint16_t>((fields[14] << 8) | fields[15]);
        SampleDescription& description = entries.descriptions[index];
        description.width = static_cast<std::uint32_t>((fields[32] << 8) | fields[33]);
        description.height = static_cast<std::uint32_t>((fields[34] << 8) | fields[35]);
        if (auto read = read_entry_configuration(file, entry, index, description); !read) {
            return propagate(read);
        }
    }
    return entries;
}

}  // namespace pytovrik::file::mp4
