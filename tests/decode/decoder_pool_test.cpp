// The per-thread decoder pool: one decoder per thread, reused across
// requests, and never a reason for a request to decode differently from the
// same request on a fresh thread. Every scenario runs on its own thread so
// it starts with an empty pool slot.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/internal_helpers.hpp"
#include "decode/decoder_pool.hpp"

namespace {
// Set in forked children. They hold what the parent's other threads own but
// not those threads, whose stacks are then no roots for a leak checker: at
// the child's exit it would report all of it.
bool IN_FORKED_CHILD = false;
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __lsan_is_turned_off() { return IN_FORKED_CHILD ? 1 : 0; }
#endif

namespace pytovrik::testing {
namespace {

constexpr const char* THREADS = "TOVRIK_VIDEO_FFMPEG_THREADS";
const std::string FORMAT_MESSAGE = "yuv420 video output expects FFmpeg to decode yuv420p frames, got ";

std::uint64_t opened() { return opened_h264_decoder_count(); }

TEST(DecoderPool, RequestsOnOneThreadShareOneDecoder) {
    const auto packets = encode_h264({.frames = 5});
    const auto fresh = on_fresh_thread([&] { return decode_yuv(packets); });
    const auto [outcomes, newly_opened] = on_fresh_thread([&] {
        const std::uint64_t before = opened();
        std::vector<YuvOutcome> in_turn{decode_yuv(packets), decode_yuv(packets, {0, 4}), decode_yuv(packets)};
        return std::pair{in_turn, opened() - before};
    });
    EXPECT_EQ(newly_opened, 1U);
    EXPECT_EQ(outcomes[0], fresh);
    EXPECT_EQ(outcomes[2], fresh);
    ASSERT_EQ(outcomes[1].frames.size(), 2U);  // positions start at 0 again
    EXPECT_EQ(outcomes[1].frames[0], fresh.frames[0]);
    EXPECT_EQ(outcomes[1].frames[1], fresh.frames[4]);
}

TEST(DecoderPool, ThreadCountIsReadOnlyWhenADecoderIsCreated) {
    const auto packets = encode_h264({.frames = 2});
    const ScopedEnv three(THREADS, "3");
    const auto counts = on_fresh_thread([&] {
        EXPECT_TRUE(decode_frames(packets, RuntimeFormatYuv420));
        const ScopedEnv five(THREADS, "5");
        StreamKey key = stream_key_of(to_batch(packets));
        auto decoder = take_or_create_decoder(key);
        const int count = decoder ? (*decoder)->thread_count : -1;
        return_decoder_to_pool(std::move(*decoder), key);
        return std::pair{count, on_fresh_thread([&] {
                             auto other = take_or_create_decoder(key);
                             return other ? (*other)->thread_count : -1;
                         })};
    });
    EXPECT_EQ(counts.first, 3);   // the pooled decoder keeps its count
    EXPECT_EQ(counts.second, 5);  // a new thread reads the new value
}

TEST(DecoderPool, AFailedOrCutShortBatchLeavesNothingForTheNextRequest) {
    const StreamRecipe lossy{.frames = 12, .b_frames = 3, .lossless = false, .x264_params = "b-adapt=0"};
    const auto clean = encode_h264({.frames = 6});
    const auto b_frames = encode_h264(lossy);
    const struct {
        std::vector<Packet> batch;
        bool of_clean_stream;  // else of the B-frame stream
        std::uint64_t opened;  // by it and the two requests after it
        // The decoder fails the batch: one that ran on frame threads is
        // decoded again on a decoder of one thread of its own.
        bool rejected = false;
    } earlier[] = {
        // The third frame is 4:2:2: the request fails with frames still in
        // the decoder. Two streams in one batch: it gets a decoder of its own.
        {concatenate({clean[0], clean[1]}, encode_h264({.frames = 6, .pixel_format = AV_PIX_FMT_YUV422P})), true, 3},
        // A batch cut off in the middle of a B-frame group.
        {std::vector<Packet>(b_frames.begin(), b_frames.begin() + 7), false, 2},
        // An empty packet, then packets the drained decoder refuses.
        {{clean[0], {}, clean[1], clean[2]}, true, 2, true},
        // A packet the decoder rejects (frame threads pass over it).
        {{clean[0], Packet(80, 0xff), clean[1]}, true, 2},
    };
    // Whether FFmpeg runs frame threads when left to choose: not on a
    // machine with a single CPU.
    const bool frame_threads = [] {
        const ScopedEnv automatic(THREADS, nullptr);
        auto decoder = create_h264_decoder();
        return decoder && ((*decoder)->active_thread_type & FF_THREAD_FRAME) != 0;
    }();
    const auto fresh_clean = on_fresh_thread([&] { return decode_yuv(clean); });
    const auto fresh_b_frames = on_fresh_thread([&] { return decode_yuv(b_frames); });
    ASSERT_EQ(fresh_clean.frames.size(), 6U);
    for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
        const ScopedEnv env(THREADS, threads);
        for (std::size_t i = 0; i < std::size(earlier); ++i) {
            // The earlier batch's own stream first: it meets that batch's decoder.
            const auto [later, newly_opened] = on_fresh_thread([&] {
                const std::uint64_t before = opened();
                decode_yuv(earlier[i].batch);
                std::vector<YuvOutcome> next;
                if (earlier[i].of_clean_stream) {
                    next = {decode_yuv(clean), decode_yuv(b_frames)};
                } else {
                    next = {decode_yuv(b_frames), decode_yuv(clean)};
                    std::swap(next[0], next[1]);
                }
                return std::pair{next, opened() - before};
            });
            SCOPED_TRACE(std::to_string(i) + (threads ? " one thread" : " auto threads"));
            EXPECT_EQ(newly_opened, earlier[i].opened + (earlier[i].rejected && threads == nullptr && frame_threads));
            EXPECT_EQ(later[0], fresh_clean);
            EXPECT_EQ(later[1], fresh_b_frames);
        }
    }
}

TEST(DecoderPool, ThreadExitFreesTheParkedDecoder) {
    const auto packets = encode_h264({.frames = 2});
    const std::int64_t before = live_h264_decoder_count();
    const std::int64_t while_parked = on_fresh_thread([&] {
        decode_yuv(packets);
        return live_h264_decoder_count();
    });
    EXPECT_EQ(while_parked, before + 1);
    EXPECT_EQ(live_h264_decoder_count(), before);
}

// A request made while its thread exits, after the pool slot is gone: it
// gets a decoder of its own (opened for it) that is freed, not parked.
std::atomic<int> LATE_FRAMES{-1};
std::atomic<std::uint64_t> LATE_OPENED{0};
const std::vector<Packet>* LATE_PACKETS = nullptr;
struct RequestAtThreadExit {
    ~RequestAtThreadExit() {
        const std::uint64_t before = opened();
        const auto frames = decode_frames(*LATE_PACKETS, RuntimeFormatYuv420);
        LATE_OPENED = opened() - before;
        LATE_FRAMES = frames ? static_cast<int>(frames->size()) : -2;
    }
};

TEST(DecoderPool, ARequestAfterThePoolSlotIsGoneUsesADecoderOfItsOwn) {
    const auto packets = encode_h264({.frames = 3});
    LATE_PACKETS = &packets;
    const std::int64_t before = live_h264_decoder_count();
    std::thread([&] {
        // Constructed before the slot's own exit handler, so destroyed after it.
        thread_local RequestAtThreadExit late;
        decode_yuv(packets);
    }).join();
    EXPECT_EQ(LATE_FRAMES.load(), 3);
    EXPECT_EQ(LATE_OPENED.load(), 1U);
    EXPECT_EQ(live_h264_decoder_count(), before);
}

// The child's exit status, or -1 when it did not exit normally within the
// deadline (it is then killed), so that a hang fails instead of stalling.
int exit_status_within(pid_t child, std::chrono::seconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <class ChildWork>
int run_in_forked_child(ChildWork work) {
    std::fflush(nullptr);  // or the child would write the parent's buffered output again
    const pid_t child = fork();
    if (child == 0) {
        IN_FORKED_CHILD = true;
        std::exit(work());  // exit, not _exit: the thread's exit destructors run too
    }
    return child < 0 ? -2 : exit_status_within(child, std::chrono::seconds(60));
}

// The forking thread has a frame-threaded decoder parked, whose worker
// threads the child does not have: the child must neither decode with it nor
// wait for them when it exits.
TEST(DecoderPool, AForkedChildOpensItsOwnDecoderAndLeavesTheInheritedOne) {
    const auto packets = encode_h264({.frames = 8});
    const ScopedEnv threads(THREADS, "4");
    const auto statuses = on_fresh_thread([&] {
        const YuvOutcome in_parent = decode_yuv(packets);
        const int decodes = run_in_forked_child([&] {
            const std::uint64_t before = opened();
            const YuvOutcome in_child = decode_yuv(packets);
            return (in_child == in_parent ? 0 : 1) | (opened() - before == 1 ? 0 : 2);
        });
        const int only_exits = run_in_forked_child([] { return 0; });
        // The parent's own decoder is untouched by either child.
        const int parent_again = decode_yuv(packets) == in_parent && !in_parent.frames.empty() ? 0 : 1;
        return std::vector<int>{decodes, only_exits, parent_again};
    });
    EXPECT_EQ(statuses, (std::vector<int>{0, 0, 0}));
}

TEST(DecoderHistory, AnUnsignalledStreamAfterAFullRangeOneDecodesAsLimitedRange) {
    const StreamRecipe recipe{.frames = 4};
    const auto unsignalled = encode_h264(recipe);
    const auto full_range = encode_h264({.frames = 4, .full_range = true});
    const auto decode_both_kinds = [&] {
        return std::pair{decode_frames(unsignalled, RuntimeFormatYuv420),
                         decode_frames(unsignalled, RuntimeFormatRgb, {}, 64, 48)};
    };
    for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
        SCOPED_TRACE(threads ? "one thread" : "automatic threads");
        const ScopedEnv env(THREADS, threads);
        const auto fresh = on_fresh_thread(decode_both_kinds);
        ASSERT_TRUE(fresh.first);
        ASSERT_TRUE(fresh.second);
        EXPECT_EQ((*fresh.first)[3].y, expected_luma(recipe, 3));
        const auto after_full_range = on_fresh_thread([&] {
            EXPECT_TRUE(decode_frames(full_range, RuntimeFormatRgb, {}, 64, 48));
            EXPECT_FALSE(decode_frames(full_range, RuntimeFormatYuv420));
            return decode_both_kinds();
        });
        EXPECT_EQ(after_full_range.first, fresh.first);
        EXPECT_EQ(after_full_range.second, fresh.second);
    }
}

}  // namespace
}  // namespace pytovrik::testing
