// Streams whose SPS does not declare how many pictures wait for output: every
// frame comes out, in order, whatever the level, the size, the thread count
// and the streams the thread decoded before.
#include <gtest/gtest.h>

#include "support/abi_helpers.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

TEST(ReorderDepthHistory, UndeclaredDepthGivesEveryFrameOnFreshAndWarmThreads) {
    // A B-pyramid holds pictures back two deep. The levels cover a depth the
    // level limits to a few pictures (1 and 2 at these sizes), levels outside
    // the decoder's table (1b, 6.2) and sizes that are not whole macroblocks.
    const StreamRecipe recipes[] = {
        {.width = 176, .height = 144, .frames = 20, .b_frames = 3, .lossless = false, .x264_params = "level=1:b-pyramid=normal"},
        {.width = 352, .height = 288, .frames = 14, .b_frames = 3, .lossless = false, .x264_params = "level=2:b-pyramid=normal"},
        {.width = 50, .height = 38, .frames = 20, .b_frames = 3, .lossless = false, .x264_params = "level=1b:b-pyramid=normal"},
        {.width = 82, .height = 46, .frames = 20, .b_frames = 3, .lossless = false, .x264_params = "level=6.2:b-pyramid=normal"},
    };
    for (const StreamRecipe& recipe : recipes) {
        SCOPED_TRACE(std::to_string(recipe.width) + "x" + std::to_string(recipe.height) + " " + recipe.x264_params);
        const auto declared = encode_h264(recipe);
        const auto undeclared = without_declared_reorder_depth(declared);
        ASSERT_NE(undeclared, declared);
        for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
            SCOPED_TRACE(threads == nullptr ? "threads unset" : "one thread");
            const ScopedEnv env("TOVRIK_VIDEO_FFMPEG_THREADS", threads);
            const auto fresh = on_fresh_thread([&] { return decode_frames(undeclared, RuntimeFormatYuv420); });
            ASSERT_TRUE(fresh);
            EXPECT_EQ(pattern_indices(*fresh, recipe), indices_up_to(recipe.frames));
            // The same request after the stream that declares its depth, and
            // after itself.
            const auto warm = on_fresh_thread([&] {
                EXPECT_TRUE(decode_frames(declared, RuntimeFormatYuv420));
                EXPECT_EQ(framecrc_lines(decode_frames(undeclared, RuntimeFormatYuv420)), framecrc_lines(fresh));
                return framecrc_lines(decode_frames(undeclared, RuntimeFormatYuv420));
            });
            EXPECT_EQ(warm, framecrc_lines(fresh));
        }
    }
}

}  // namespace
}  // namespace pytovrik::testing
