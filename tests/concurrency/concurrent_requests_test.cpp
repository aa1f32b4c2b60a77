// Many host threads decoding at once must get exactly what one thread gets:
// each thread's pooled decoder, FFmpeg's frame threads inside it, the
// process-wide start-up and the output memory recycled between requests must
// not let one request see another's state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "decode/decoder_pool.hpp"
#include "pytovrik_video.h"
#include "support/abi_helpers.hpp"
#include "support/h264_streams.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace pytovrik::testing {
namespace {

constexpr int HOST_THREADS = 8;

// Sanitizer runs scale the per-thread request count down through this
// variable; the ordinary run holds 200.
int requests_per_thread() {
    const char* value = std::getenv("PYTOVRIK_CONCURRENCY_REQUESTS");
    const int requests = value != nullptr ? std::atoi(value) : 0;
    return requests > 0 ? requests : 200;
}

struct RequestKind {
    std::string name;
    std::vector<Packet> packets;
    std::uint32_t format = RuntimeFormatYuv420;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint64_t> positions;
    bool null_packet_data = false;  // a packet record with data null and length 7
};

struct Result {
    std::int32_t status = 0;
    std::uint64_t frame_count = 0;
    std::uint64_t hash = 0;
    bool operator==(const Result&) const = default;
};

std::uint64_t fnv1a(std::uint64_t hash, const void* data, std::uint64_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::uint64_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
    }
    return hash;
}

std::uint64_t hash_response(const RuntimeDecodeResponse& response) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::uint64_t i = 0; i < response.frame_count; ++i) {
        const RuntimeFrame& frame = response.frames[i];
        const std::uint32_t header[] = {frame.format, frame.width, frame.height};
        hash = fnv1a(hash, header, sizeof header);
        for (const RuntimeBytes* bytes : {&frame.rgb, &frame.y, &frame.uv}) {
            hash = fnv1a(hash, &bytes->len, sizeof bytes->len);
            if (bytes->data != nullptr) {
                hash = fnv1a(hash, bytes->data, bytes->len);
            }
        }
    }
    return hash;
}

// Decodes without freeing: the caller owns the response.
std::int32_t decode(const RequestKind& kind, RuntimeDecodeResponse& response) {
    RequestBuilder builder(kind.packets, kind.format);
    builder.size(kind.width, kind.height).positions(kind.positions);
    RuntimeDecodeRequest request = builder.request();
    std::vector<RuntimePacket> broken;
    if (kind.null_packet_data) {
        broken.assign(request.packets, request.packets + request.packet_count);
        broken.insert(broken.begin() + 1, RuntimePacket{nullptr, 7});
        request.packets = broken.data();
        request.packet_count = broken.size();
    }
    return pytovrik_video_decode_h264_v1(&request, &response);
}

Result run(const RequestKind& kind) {
    RuntimeDecodeResponse response{nullptr, 0};
    const std::int32_t status = decode(kind, response);
    const Result result{status, response.frame_count, hash_response(response)};
    pytovrik_video_free_response_v1(&response);
    return result;
}

// Streams of different sizes, formats and structure, in both outputs, with
// requests that fail at the boundary, in decoding and in conversion.
std::vector<RequestKind> mixed_request_kinds() {
    const auto main = encode_h264(StreamRecipe{.width = 64, .height = 48, .frames = 12, .gop = 5});
    const auto small = encode_h264(StreamRecipe{.width = 32, .height = 16, .frames = 6, .b_frames = 0});
    const auto chroma422 = encode_h264(StreamRecipe{.width = 48, .height = 32, .frames = 5, .pixel_format = AV_PIX_FMT_YUV422P});
    const auto full_range = encode_h264(StreamRecipe{.width = 32, .height = 32, .frames = 4, .full_range = true});
    const auto size_change = concatenate(main, small);
    auto empty_inside = main;
    empty_inside.insert(empty_inside.begin() + 3, Packet{});
    return {
        {"yuv, every frame", main, RuntimeFormatYuv420},
        {"rgb, downscaled", main, RuntimeFormatRgb, 32, 24},
        {"rgb, upscaled odd size, selection", main, RuntimeFormatRgb, 101, 67, {9, 1, 5, 1, 400}},
        {"rgb, frames large enough to be recycled", main, RuntimeFormatRgb, 400, 300, {0, 3, 6, 9}},
        {"yuv, selection", main, RuntimeFormatYuv420, 0, 0, {0, 11}},
        {"yuv, size change", size_change, RuntimeFormatYuv420},
        {"rgb, size change", size_change, RuntimeFormatRgb, 40, 40},
        {"rgb, 4:2:2", chroma422, RuntimeFormatRgb, 48, 32},
        {"yuv, 4:2:2 refused", chroma422, RuntimeFormatYuv420},
        {"rgb, full range", full_range, RuntimeFormatRgb, 16, 16},
        {"yuv, full range refused", full_range, RuntimeFormatYuv420},
        {"yuv, empty packet inside", empty_inside, RuntimeFormatYuv420},
        {"rgb, zero width refused", small, RuntimeFormatRgb, 0, 16},
        {"yuv, null packet data", small, RuntimeFormatYuv420, 0, 0, {}, true},
        {"rgb, no packets", {}, RuntimeFormatRgb, 8, 8},
    };
}

class ConcurrentRequests : public ::testing::Test {
protected:
    // Hundreds of refused requests would otherwise bury a failure's output.
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }
};

std::vector<Result> single_thread_results(const std::vector<RequestKind>& kinds) {
    std::vector<Result> results;
    for (const RequestKind& kind : kinds) {
        results.push_back(run(kind));
    }
    return results;
}

TEST_F(ConcurrentRequests, EveryThreadGetsTheSingleThreadResult) {
    const auto kinds = mixed_request_kinds();
    const auto expected = single_thread_results(kinds);
    // The mix must hold both outcomes, or it proves less than it claims.
    const auto failures = std::count_if(expected.begin(), expected.end(), [](const Result& r) { return r.status != 0; });
    ASSERT_GT(failures, 0);
    ASSERT_LT(static_cast<std::size_t>(failures), expected.size());

    const std::int64_t live_before = live_h264_decoder_count();
    const int requests = requests_per_thread();
    std::atomic<int> mismatches{0};
    std::atomic<int> completed{0};
    std::vector<std::string> first_mismatch(HOST_THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < HOST_THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < requests; ++i) {
                // A different interleaving of kinds on every thread.
                const auto k = static_cast<std::size_t>(i * 5 + t * 3 + (i / 14) * t) % kinds.size();
                if (run(kinds[k]) != expected[k]) {
                    std::string& first = first_mismatch[static_cast<std::size_t>(t)];
                    if (first.empty()) {
                        first = kinds[k].name + " at request " + std::to_string(i);
                    }
                    mismatches.fetch_add(1);
                }
                completed.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(completed.load(), HOST_THREADS * requests);
    EXPECT_EQ(mismatches.load(), 0);
    for (int t = 0; t < HOST_THREADS; ++t) {
        EXPECT_TRUE(first_mismatch[static_cast<std::size_t>(t)].empty())
            << "thread " << t << ": " << first_mismatch[static_cast<std::size_t>(t)];
    }
    // Each exited thread freed the decoder it had parked.
    EXPECT_EQ(live_h264_decoder_count(), live_before);
}

TEST_F(ConcurrentRequests, ResponsesAreFreedOnOtherThreads) {
    const auto kinds = mixed_request_kinds();
    const auto expected = single_thread_results(kinds);
    const std::int64_t live_before = live_h264_decoder_count();

    // Decoded on worker threads, read and freed on this one.
    std::vector<RuntimeDecodeResponse> responses(kinds.size(), RuntimeDecodeResponse{nullptr, 0});
    std::vector<std::int32_t> statuses(kinds.size(), 0);
    std::vector<std::thread> decoders;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        decoders.emplace_back([&, k] { statuses[k] = decode(kinds[k], responses[k]); });
    }
    for (std::thread& thread : decoders) {
        thread.join();
    }
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        SCOPED_TRACE(kinds[k].name);
        EXPECT_EQ((Result{statuses[k], responses[k].frame_count, hash_response(responses[k])}), expected[k]);
        pytovrik_video_free_response_v1(&responses[k]);
    }
    EXPECT_EQ(live_h264_decoder_count(), live_before);

    // Decoded here, freed by threads that did no decoding of their own.
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        statuses[k] = decode(kinds[k], responses[k]);
    }
    std::vector<std::thread> freers;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        freers.emplace_back([&, k] { pytovrik_video_free_response_v1(&responses[k]); });
    }
    for (std::thread& thread : freers) {
        thread.join();
    }
    for (const RuntimeDecodeResponse& response : responses) {
        EXPECT_EQ(response.frames, nullptr);
        EXPECT_EQ(response.frame_count, 0U);
    }
}

}  // namespace
}  // namespace pytovrik::testing
