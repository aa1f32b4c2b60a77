// Turns arbitrary bytes into one decode request and checks the response
// contract on whatever comes back. Input layout (missing bytes read as 0):
//
//   byte 0      bit 0: output format code; bits 1-2: how packets are cut
//               (CutMode);
//               bit 3: insert an empty packet; bit 4: give it null data;
//               bits 5-6: output size kind (see output_size); bit 7: add 2
//               to the format code (only its lowest bit may count)
//   byte 1, 2   output width, height
//   byte 3      low 3 bits: number of selected positions that follow
//   byte 4-7    seed of the cut points
//   n bytes     selected positions (0xff stands for the largest position)
//   the rest    an H.264 Annex B byte stream
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <span>
#include <vector>

#include "pytovrik_video.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr std::size_t HEADER_SIZE = 8;

struct InputReader {
    std::span<const std::uint8_t> bytes;
    std::size_t offset = 0;

    std::uint8_t next() { return offset < bytes.size() ? bytes[offset++] : 0; }
    std::span<const std::uint8_t> rest() const {
        return offset < bytes.size() ? bytes.subspan(offset) : std::span<const std::uint8_t>{};
    }
};

// Deterministic cut points from a seed carried in the input, so a saved crash
// reproduces exactly.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// FFmpeg refuses a packet that holds no slice, so cutting at every start code
// mostly exercises failures; cutting at access unit starts mostly decodes.
enum class CutMode : std::uint8_t { AccessUnits, RandomPoints, OnePacket, EveryNalUnitAndRandomPoints };

using Span = std::span<const std::uint8_t>;

struct NalUnitStart {
    std::size_t offset;  // of the start code, its optional fourth zero byte included
    bool starts_access_unit;
};

// An access unit starts at the first NAL unit after a slice that is an SEI,
// SPS or delimiter, or a slice that starts a picture (first_mb_in_slice 0,
// so a leading 1 bit). A PPS joins whatever it follows.
std::vector<NalUnitStart> nal_unit_starts(Span stream) {
    std::vector<NalUnitStart> starts;
    bool after_slice = true;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) {
            continue;
        }
        const int type = stream[i + 3] & 0x1f;
        const bool slice = type == 1 || type == 5;
        const bool first_slice = slice && i + 4 < stream.size() && (stream[i + 4] & 0x80) != 0;
        const bool header = type == 6 || type == 7 || type == 9;
        starts.push_back(NalUnitStart{i > 0 && stream[i - 1] == 0 ? i - 1 : i, after_slice && (header || first_slice)});
        if (slice || header || type == 8) {
            after_slice = slice;
        }
    }
    return starts;
}

std::vector<Span> cut_packets(Span stream, CutMode mode, SplitMix64& random) {
    std::vector<std::size_t> cuts;
    if (mode == CutMode::AccessUnits || mode == CutMode::EveryNalUnitAndRandomPoints) {
        for (const NalUnitStart& start : nal_unit_starts(stream)) {
            if (start.starts_access_unit || mode == CutMode::EveryNalUnitAndRandomPoints) {
                cuts.push_back(start.offset);
            }
        }
    }
    if ((mode == CutMode::RandomPoints || mode == CutMode::EveryNalUnitAndRandomPoints) && !stream.empty()) {
        const std::uint64_t count = random.next() % 16;
        for (std::uint64_t i = 0; i < count; ++i) {
            cuts.push_back(static_cast<std::size_t>(random.next() % stream.size()));
        }
    }
    cuts.push_back(0);
    cuts.push_back(stream.size());
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<Span> packets;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        packets.push_back(stream.subspan(cuts[i], cuts[i + 1] - cuts[i]));
    }
    return packets;
}

// Small sizes keep one case cheap; the extreme kinds reach the scaler's
// rejection of 0 and of sizes that turn negative as a C int.
void output_size(std::uint8_t kind, std::uint8_t width, std::uint8_t height, RuntimeDecodeRequest& request) {
    request.output_width = width;
    request.output_height = height;
    switch (kind) {
        case 1: request.output_width = 0; break;
        case 2: request.output_width = 0x80000000U; break;
        case 3: request.output_height = 0xffffffffU; break;
        default: break;
    }
}

std::uint64_t ceil_half(std::uint64_t value) { return value / 2 + value % 2; }

// Every byte of a present buffer is read, so the sanitizers see a length that
// overstates the allocation.
std::uint8_t read_buffer(const RuntimeBytes& bytes) {
    std::uint8_t sum = 0;
    for (std::uint64_t i = 0; i < bytes.len; ++i) {
        sum = static_cast<std::uint8_t>(sum + bytes.data[i]);
    }
    return sum;
}

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "response contract violated: %s\n", what);
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) {
        violated(what);
    }
}

void check_absent(const RuntimeBytes& bytes, const char* what) { check(bytes.data == nullptr && bytes.len == 0, what); }

void check_frame(const RuntimeFrame& frame, const RuntimeDecodeRequest& request) {
    const bool yuv = (request.output_format & 1U) != 0;
    check(frame.format == (yuv ? 1U : 0U), "frame format differs from the request's");
    if (yuv) {
        check(frame.width > 0 && frame.height > 0, "decoded frame without pixels");
        check_absent(frame.rgb, "yuv frame carries rgb");
        check(frame.y.data != nullptr && frame.uv.data != nullptr, "yuv plane absent");
        const std::uint64_t width = frame.width;
        const std::uint64_t height = frame.height;
        check(frame.y.len == width * height, "luma length differs from width x height");
        check(frame.uv.len == 2 * ceil_half(width) * ceil_half(height), "chroma length differs");
        volatile std::uint8_t sink = static_cast<std::uint8_t>(read_buffer(frame.y) + read_buffer(frame.uv));
        (void)sink;
    } else {
        check(frame.width == request.output_width && frame.height == request.output_height,
              "rgb frame size differs from the requested size");
        check_absent(frame.y, "rgb frame carries luma");
        check_absent(frame.uv, "rgb frame carries chroma");
        check(frame.rgb.data != nullptr, "rgb buffer absent");
        check(frame.rgb.len == std::uint64_t{frame.width} * frame.height * 3, "rgb length differs");
        volatile std::uint8_t sink = read_buffer(frame.rgb);
        (void)sink;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One frame thread keeps a case deterministic, so every finding replays.
    setenv("TOVRIK_VIDEO_FFMPEG_THREADS", "1", 0);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader input{Span(data, size)};
    const std::uint8_t flags = input.next();
    const std::uint8_t width = input.next();
    const std::uint8_t height = input.next();
    const std::uint8_t position_count = input.next() & 7U;
    std::uint64_t seed = 0;
    for (int i = 0; i < 4; ++i) {
        seed = (seed << 8) | input.next();
    }
    static_assert(HEADER_SIZE == 8);

    std::vector<std::uint64_t> positions;
    for (std::uint8_t i = 0; i < position_count; ++i) {
        const std::uint8_t position = input.next();
        positions.push_back(position == 0xff ? UINT64_MAX : position);
    }

    SplitMix64 random{seed};
    std::vector<Span> cut = cut_packets(input.rest(), static_cast<CutMode>((flags >> 1) & 3U), random);
    std::vector<RuntimePacket> packets;
    for (const Span packet : cut) {
        packets.push_back(RuntimePacket{packet.data(), packet.size()});
    }
    if ((flags & 0x08U) != 0) {
        const std::size_t at = static_cast<std::size_t>(random.next() % (packets.size() + 1));
        static const std::uint8_t NOTHING = 0;
        packets.insert(packets.begin() + static_cast<std::ptrdiff_t>(at),
                       RuntimePacket{(flags & 0x10U) != 0 ? nullptr : &NOTHING, 0});
    }

    RuntimeDecodeRequest request{};
    request.output_format = (flags & 1U) | ((flags & 0x80U) != 0 ? 2U : 0U);
    output_size(static_cast<std::uint8_t>((flags >> 5) & 3U), width, height, request);
    request.packets = packets.empty() ? nullptr : packets.data();
    request.packet_count = packets.size();
    request.selected_positions = positions.empty() ? nullptr : positions.data();
    request.selected_position_count = positions.size();

    // A failed call must not write the response at all, so it starts out
    // holding values the library could never produce.
    static RuntimeFrame SENTINEL_FRAME{};
    RuntimeDecodeResponse response{&SENTINEL_FRAME, 0x5eed};
    const std::int32_t status = pytovrik_video_decode_h264_v1(&request, &response);
    if (std::getenv("PYTOVRIK_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "%zu packets -> status %d, %llu frames\n", packets.size(), status,
                     status == 0 ? static_cast<unsigned long long>(response.frame_count) : 0ULL);
    }
    if (status == -1) {
        check(response.frames == &SENTINEL_FRAME && response.frame_count == 0x5eed, "failed call wrote the response");
        return 0;
    }
    check(status == 0, "status other than 0 or -1");
    check(response.frames != nullptr && response.frames != &SENTINEL_FRAME, "successful call left no frame array");
    const std::set<std::uint64_t> distinct(positions.begin(), positions.end());
    check(distinct.empty() || response.frame_count <= distinct.size(), "more frames than selected positions");
    for (std::uint64_t i = 0; i < response.frame_count; ++i) {
        check_frame(response.frames[i], request);
    }
    pytovrik_video_free_response_v1(&response);
    check(response.frames == nullptr && response.frame_count == 0, "freed response not prepared again");
    pytovrik_video_free_response_v1(&response);
    return 0;
}
