// The lazy frame sequence of one batch: what each pull returns in every
// state, with the exact failure messages.
#include <gtest/gtest.h>

#include "support/internal_helpers.hpp"
#include "decode/decoder_pool.hpp"

namespace pytovrik::testing {
namespace {

// What pulling a sequence to its end gave: the frames' luma planes, then the
// failure message ("" at a normal end).
struct Pulled {
    std::vector<std::vector<std::uint8_t>> luma;
    std::string failure;
};

Pulled pull_all(FfmpegDecodedFrames& frames) {
    Pulled pulled;
    for (;;) {
        auto item = frames.next();
        if (!item) {
            pulled.failure = item.error().message;
            return pulled;
        }
        if (!item->has_value()) {
            return pulled;
        }
        const AVFrame& frame = (*item)->frame();
        std::vector<std::uint8_t> luma;
        for (int y = 0; y < frame.height; ++y) {
            const std::uint8_t* row = frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0];
            luma.insert(luma.end(), row, row + frame.width);
        }
        pulled.luma.push_back(std::move(luma));
    }
}

class DecodedFrames : public ::testing::Test {
protected:
    static void SetUpTestSuite() { packets_ = new std::vector<Packet>(encode_h264(RECIPE)); }
    static void TearDownTestSuite() { delete packets_; }
    static const std::vector<Packet>& packets() { return *packets_; }
    static inline const StreamRecipe RECIPE{.width = 32, .height = 16, .frames = 6};

    // Pulls the batch on a fresh thread with one decoding thread, so a
    // rejected packet is reported at its own index, not a later one.
    static Pulled pull_batch(const std::vector<Packet>& batch) {
        const ScopedEnv env("TOVRIK_VIDEO_FFMPEG_THREADS", "1");
        return on_fresh_thread([&] {
            auto frames = decode_h264_packets(to_batch(batch));
            return frames ? pull_all(*frames) : Pulled{{}, "start: " + frames.error().message};
        });
    }

    static std::vector<std::vector<std::uint8_t>> expected_luma_of(std::initializer_list<int> indices) {
        std::vector<std::vector<std::uint8_t>> planes;
        for (const int index : indices) {
            planes.push_back(expected_luma(RECIPE, index));
        }
        return planes;
    }

private:
    static std::vector<Packet>* packets_;
};
std::vector<Packet>* DecodedFrames::packets_ = nullptr;

TEST_F(DecodedFrames, ABatchGivesItsFramesThenEndsForGood) {
    auto frames = decode_h264_packets(to_batch(packets()));
    ASSERT_TRUE(frames);
    const Pulled pulled = pull_all(*frames);
    EXPECT_EQ(pulled.failure, "");
    EXPECT_EQ(pulled.luma, expected_luma_of({0, 1, 2, 3, 4, 5}));
    for (int i = 0; i < 3; ++i) {
        auto again = frames->next();
        ASSERT_TRUE(again);
        EXPECT_FALSE(again->has_value());
    }
}

TEST_F(DecodedFrames, AnEmptyBatchEndsAtOnceAndParksItsDecoder) {
    const auto parked = on_fresh_thread([] {
        const std::int64_t before = live_h264_decoder_count();
        {
            auto frames = decode_h264_packets({});
            EXPECT_TRUE(frames);
            if (frames) {
                for (int i = 0; i < 2; ++i) {
                    auto item = frames->next();
                    EXPECT_TRUE(item && !item->has_value());
                }
            }
        }
        return live_h264_decoder_count() - before;
    });
    EXPECT_EQ(parked, 1);
}

TEST_F(DecodedFrames, EmptyPacketsSignalTheEndOfTheStream) {
    const struct {
        std::vector<Packet> batch;
        std::vector<std::vector<std::uint8_t>> luma;
        std::string failure;
    } cases[] = {
        // Frames before the empty packet drain; the next packet is refused.
        {{packets()[0], packets()[1], {}, packets()[2], packets()[3]},
         expected_luma_of({0, 1}),
         "failed to decode H.264 packet 3: End of file"},
        {{{}, packets()[0]}, {}, "failed to decode H.264 packet 1: End of file"},
        // Last: every frame comes out, then the second end signal is refused.
        {concatenate(packets(), {{}}), expected_luma_of({0, 1, 2, 3, 4, 5}),
         "failed to flush H.264 decoder: End of file"},
        {{{}}, {}, "failed to flush H.264 decoder: End of file"},
    };
    for (const auto& c : cases) {
        const Pulled pulled = pull_batch(c.batch);
        EXPECT_EQ(pulled.failure, c.failure);
        EXPECT_EQ(pulled.luma, c.luma) << c.failure;
    }
}

TEST_F(DecodedFrames, ARejectedPacketEndsTheSequenceWithItsIndex) {
    auto garbage_first = packets();
    garbage_first[0] = Packet(50, 0);
    auto garbage_third = packets();
    garbage_third[2] = Packet(100, 0xff);
    const struct {
        std::vector<Packet> batch;
        std::vector<std::vector<std::uint8_t>> luma;
        std::string failure;
    } cases[] = {
        {garbage_first, {},
         "failed to decode H.264 packet 0: Invalid data found when processing input (the batch refers to PPS 0 "
         "without defining it before)"},
        {garbage_third, expected_luma_of({0, 1}),
         "failed to decode H.264 packet 2: Invalid data found when processing input"},
    };
    for (const auto& c : cases) {
        const Pulled pulled = pull_batch(c.batch);
        EXPECT_EQ(pulled.failure, c.failure);
        EXPECT_EQ(pulled.luma, c.luma) << c.failure;
    }
}

// With frame threading a damaged picture is reported by the receive call, not
// by the send that carried it: the request must fail as it does on one thread,
// never succeed without the frames behind the damage.
TEST_F(DecodedFrames, ADamagedPictureGivesTheSameOutcomeWhateverTheThreadCount) {
    const StreamRecipe recipe{.width = 64, .height = 48, .frames = 24, .b_frames = 3, .lossless = false,
                              .x264_params = "b-pyramid=normal"};
    const auto packets = encode_h264(recipe);
    for (const std::size_t damaged : {std::size_t{0}, packets.size() / 2, packets.size() - 1}) {
        SCOPED_TRACE("slice header of packet " + std::to_string(damaged) + " garbled");
        auto batch = packets;
        Packet& packet = batch[damaged];
        const std::size_t slice = packet.size() - nal_units(packet).back().size() + 1;
        for (std::size_t i = slice; i < std::min(slice + 8, packet.size()); ++i) {
            packet[i] ^= 0xff;
        }
        std::vector<std::string> outcomes[2];
        for (const int one_thread : {0, 1}) {
            const ScopedEnv env("TOVRIK_VIDEO_FFMPEG_THREADS", one_thread != 0 ? "1" : nullptr);
            outcomes[one_thread] =
                on_fresh_thread([&] { return framecrc_lines(decode_frames(batch, RuntimeFormatYuv420)); });
        }
        EXPECT_EQ(outcomes[0], outcomes[1]);
        if (outcomes[0] != std::vector<std::string>{"status -1"}) {
            EXPECT_EQ(outcomes[0].size(), std::size_t(recipe.frames));
        }
    }
}

TEST_F(DecodedFrames, PacketsAreSentOnlyAsFramesArePulled) {
    // The first pull sends only what its frame needs, so the empty packet
    // (and the refused packet after it) is reached only by the second pull.
    const ScopedEnv env("TOVRIK_VIDEO_FFMPEG_THREADS", "1");
    const std::vector<Packet> batch{packets()[0], {}, packets()[1]};
    const auto pulls = on_fresh_thread([&] {
        std::vector<std::string> outcomes;
        auto frames = decode_h264_packets(to_batch(batch));
        for (int i = 0; i < 3; ++i) {
            auto item = frames->next();
            outcomes.push_back(!item ? item.error().message : item->has_value() ? "frame" : "end");
        }
        return outcomes;
    });
    EXPECT_EQ(pulls, (std::vector<std::string>{"frame", "failed to decode H.264 packet 2: End of file", "end"}));
}

}  // namespace
}  // namespace pytovrik::testing
