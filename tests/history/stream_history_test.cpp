// Whatever a thread decoded before, a request decodes as on a fresh thread:
// the same frames, the same count, the same status, in YUV and in RGB, with
// FFmpeg's frame threads and without.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/h264_syntax.hpp"
#include "common/ffmpeg_owners.hpp"
#include "support/abi_helpers.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

constexpr const char* THREADS = "TOVRIK_VIDEO_FFMPEG_THREADS";
const std::string FORMAT_MESSAGE = "yuv420 video output expects FFmpeg to decode yuv420p frames, got ";

using Outcome = std::optional<std::vector<FrameCopy>>;  // nullopt: status -1

struct Outcomes {
    Outcome yuv;
    Outcome rgb;
    bool operator==(const Outcomes&) const = default;
};

Outcomes decode_both_kinds(const std::vector<Packet>& packets) {
    return {decode_frames(packets, RuntimeFormatYuv420), decode_frames(packets, RuntimeFormatRgb, {}, 40, 30)};
}

// Streams that differ in what a decoder learns from them.
struct NamedStream {
    std::string name;
    std::vector<Packet> packets;
    std::string failure;  // "" when YUV output succeeds
};

std::vector<Packet> with_damaged_packet(std::vector<Packet> packets, std::size_t index) {
    Packet& packet = packets.at(index);
    for (std::size_t at = packet.size() / 2; at < packet.size(); at += 7) {
        packet[at] = static_cast<std::uint8_t>(packet[at] ^ 0x5A);
    }
    return packets;
}

std::vector<NamedStream> varied_streams() {
    const StreamRecipe b_frames{.frames = 8, .b_frames = 2, .lossless = false, .x264_params = "b-adapt=0"};
    auto with_params = [](StreamRecipe recipe, std::string params) {
        recipe.x264_params += ":" + params;
        return recipe;
    };
    return {
        {"progressive", encode_h264({.frames = 6}), ""},
        {"interlaced", encode_h264({.frames = 6, .interlaced = true}), ""},
        {"b-pyramid",
         encode_h264({.frames = 10, .b_frames = 3, .lossless = false, .x264_params = "b-adapt=0:b-pyramid=normal"}),
         ""},
        {"undeclared reorder depth", without_declared_reorder_depth(encode_h264(b_frames)), ""},
        {"slices", encode_h264({.width = 96, .height = 128, .frames = 4, .slices = 8}), ""},
        {"cropped 34x18", encode_h264({.width = 34, .height = 18, .frames = 4}), ""},
        {"odd macroblocks 50x38", encode_h264({.width = 50, .height = 38, .frames = 4, .lossless = false}), ""},
        {"BT.709", encode_h264({.frames = 4, .lossless = false, .colour_matrix = AVCOL_SPC_BT709}), ""},
        {"BT.601", encode_h264({.frames = 4, .lossless = false, .colour_matrix = AVCOL_SPC_SMPTE170M}), ""},
        {"BT.2020", encode_h264(with_params({.frames = 4, .lossless = false},
                                            "colorprim=bt2020:transfer=bt2020-10:colormatrix=bt2020nc")),
         ""},
        {"full range", encode_h264({.frames = 4, .full_range = true}), FORMAT_MESSAGE + "YUVJ420P"},
        {"level 1.2", encode_h264(with_params(b_frames, "level=1.2")), ""},
        {"CAVLC", encode_h264(with_params(b_frames, "cabac=0")), ""},
        {"8x8 transform, scaling lists", encode_h264(with_params(b_frames, "8x8dct=1:cqm=jvt")), ""},
        {"damaged packet", with_damaged_packet(encode_h264(b_frames), 3), ""},
        {"4:2:2", encode_h264({.frames = 4, .pixel_format = AV_PIX_FMT_YUV422P}), FORMAT_MESSAGE + "YUV422P"},
        {"10-bit", encode_h264({.frames = 4, .pixel_format = AV_PIX_FMT_YUV420P10LE}),
         FORMAT_MESSAGE + "YUV420P10LE"},
        {"size change", concatenate(encode_h264({.frames = 3}), encode_h264({.width = 48, .height = 32, .frames = 3})),
         ""},
    };
}

TEST(StreamHistory, EveryStreamDecodesAsOnAFreshThreadAfterEveryOther) {
    std::vector<NamedStream> streams;
    try {
        streams = varied_streams();
    } catch (const std::runtime_error& error) {
        GTEST_SKIP() << "this libx264 cannot encode every stream: " << error.what();
    }
    const std::size_t n = streams.size();
    for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
        const ScopedEnv env(THREADS, threads);
        const std::string setting = threads ? ", one thread" : ", automatic threads";
        std::vector<Outcomes> fresh;
        for (const NamedStream& stream : streams) {
            fresh.push_back(on_fresh_thread([&] { return decode_both_kinds(stream.packets); }));
            const std::vector<std::string> yuv = framecrc_lines(fresh.back().yuv);
            EXPECT_EQ(!fresh.back().yuv, !stream.failure.empty()) << stream.name;
            EXPECT_TRUE(fresh.back().rgb) << stream.name;
        }
        // Every ordered pair, each stream after itself included.
        for (std::size_t first = 0; first < n; ++first) {
            for (std::size_t second = 0; second < n; ++second) {
                const Outcomes after = on_fresh_thread([&] {
                    decode_both_kinds(streams[first].packets);
                    return decode_both_kinds(streams[second].packets);
                });
                EXPECT_EQ(framecrc_lines(after.yuv), framecrc_lines(fresh[second].yuv))
                    << streams[second].name << " after " << streams[first].name << setting;
                EXPECT_EQ(after.rgb, fresh[second].rgb)
                    << streams[second].name << " after " << streams[first].name << setting;
            }
        }
        // And after every other stream at once, forwards and backwards.
        const auto in_sequence = on_fresh_thread([&] {
            std::vector<Outcomes> outcomes;
            for (const NamedStream& stream : streams) {
                outcomes.push_back(decode_both_kinds(stream.packets));
            }
            for (auto it = streams.rbegin(); it != streams.rend(); ++it) {
                outcomes.push_back(decode_both_kinds(it->packets));
            }
            return outcomes;
        });
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(in_sequence[i] == fresh[i]) << streams[i].name << " forwards" << setting;
            EXPECT_TRUE(in_sequence[2 * n - 1 - i] == fresh[i]) << streams[i].name << " backwards" << setting;
        }
    }
}

// The file's groups of pictures as requests: each from an IDR picture, with
// the track header's parameter sets in front, as Annex B.
std::vector<std::vector<Packet>> groups_of(const std::string& path) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    const UniqueAVFormatContext format(opened);
    const int video = avformat_find_stream_info(format.get(), nullptr) < 0
                          ? -1
                          : av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) {
        throw std::runtime_error("no video track in " + path);
    }
    // avcC: length size in byte 4, then the SPS and the PPS, each behind its size.
    const AVCodecParameters& track = *format->streams[video]->codecpar;
    const std::vector<std::uint8_t> avcc(track.extradata, track.extradata + track.extradata_size);
    const std::size_t length_size = (avcc.at(4) & 3U) + 1;
    Packet parameter_sets;
    for (std::size_t at = 5, kind = 0; kind < 2; ++kind) {
        const std::size_t count = avcc.at(at++) & (kind == 0 ? 0x1FU : 0xFFU);
        for (std::size_t i = 0; i < count; ++i, at += 2) {
            const std::size_t size = std::size_t{avcc.at(at)} << 8 | avcc.at(at + 1);
            parameter_sets.insert(parameter_sets.end(), {0, 0, 0, 1});
            parameter_sets.insert(parameter_sets.end(), avcc.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                  avcc.begin() + static_cast<std::ptrdiff_t>(at + 2 + size));
            at += size;
        }
    }
    std::vector<std::vector<Packet>> groups;
    const UniqueAVPacket packet(av_packet_alloc());
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index != video) {
            av_packet_unref(packet.get());
            continue;
        }
        Packet annexb;
        bool idr = false;
        for (std::size_t at = 0; at + length_size <= static_cast<std::size_t>(packet->size);) {
            std::size_t size = 0;
            for (std::size_t i = 0; i < length_size; ++i) {
                size = size << 8 | packet->data[at + i];
            }
            at += length_size;
            size = std::min(size, static_cast<std::size_t>(packet->size) - at);
            idr = idr || (packet->data[at] & 0x1F) == h264::NAL_IDR_SLICE;
            annexb.insert(annexb.end(), {0, 0, 0, 1});
            annexb.insert(annexb.end(), packet->data + at, packet->data + at + size);
            at += size;
        }
        av_packet_unref(packet.get());
        if (idr || groups.empty()) {
            annexb.insert(annexb.begin(), parameter_sets.begin(), parameter_sets.end());
            groups.emplace_back();
        }
        groups.back().push_back(std::move(annexb));
    }
    return groups;
}

// Two sample files once seen to decode differently in this order; the data
// folder's README says what they hold.
TEST(StreamHistory, SampleFilesDecodeAsOnAFreshThreadInEitherOrder) {
    const std::string data = PYTOVRIK_TEST_DATA_DIR "/history/";
    const auto first = groups_of(data + "displaymatrix.mp4");
    const auto second = groups_of(data + "wwwq_cut.mp4");
    ASSERT_GE(second.size(), 2U);
    for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
        const ScopedEnv env(THREADS, threads);
        for (const auto& [before, after] : {std::pair{&first, &second}, std::pair{&second, &first}}) {
            for (std::size_t group = 0; group < after->size(); ++group) {
                const auto fresh = on_fresh_thread([&] { return decode_both_kinds((*after)[group]); });
                // The first file ends inside a sample, so not all of its groups decode.
                if (after == &second) {
                    ASSERT_TRUE(fresh.yuv && fresh.rgb) << "group " << group;
                }
                const auto warm = on_fresh_thread([&] {
                    for (const auto& earlier : *before) {
                        decode_both_kinds(earlier);
                    }
                    return decode_both_kinds((*after)[group]);
                });
                EXPECT_EQ(framecrc_lines(warm.yuv), framecrc_lines(fresh.yuv))
                    << "group " << group << (threads ? ", one thread" : ", automatic threads");
                EXPECT_TRUE(warm.rgb == fresh.rgb) << "group " << group;
            }
        }
    }
}

}  // namespace
}  // namespace pytovrik::testing
