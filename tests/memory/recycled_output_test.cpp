// Output buffers recycled from freed responses: a frame written into memory
// an earlier response held, larger than it needs, must show none of that
// response's bytes, for every output kind and both thread settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/mapping_cache.hpp"
#include "support/internal_helpers.hpp"

namespace pytovrik::testing {
namespace {

struct OutputKind {
    std::string name;
    std::uint32_t format;
    // Requested sizes (0: the decoded size) of the earlier, larger frames
    // and of the later ones; RGB frames are written at the decoded size by
    // FFmpeg's unscaled converters, of which some skip a row's last pixels.
    std::uint32_t earlier_width, earlier_height, later_width, later_height;
};

struct Span {
    const std::uint8_t* data;
    std::uint64_t len;
};

// The buffers of a response at least SMALLEST_MAPPING long: those that come
// from and go to the cache.
std::vector<Span> cached_buffers(const RuntimeDecodeResponse& response) {
    std::vector<Span> spans;
    for (std::uint64_t i = 0; i < response.frame_count; ++i) {
        for (const RuntimeBytes& bytes : {response.frames[i].rgb, response.frames[i].y, response.frames[i].uv}) {
            if (bytes.len >= SMALLEST_MAPPING) {
                spans.push_back({bytes.data, bytes.len});
            }
        }
    }
    return spans;
}

// Whether the pages of `span` all belonged to the mappings of `held`.
bool held_before(const Span& span, std::vector<Span> held) {
    std::sort(held.begin(), held.end(), [](const Span& a, const Span& b) { return a.data < b.data; });
    const std::uint8_t* covered = span.data;
    for (const Span& old : held) {
        const std::uint64_t page = page_size();
        const std::uint64_t mapped = (old.len + page - 1) / page * page;
        if (old.data <= covered && covered < old.data + mapped) {
            covered = old.data + mapped;
        }
    }
    return covered >= span.data + span.len;
}

TEST(RecycledOutput, FramesInBuffersOfAnEarlierResponseShowOnlyTheirOwnBytes) {
    const auto earlier = encode_h264(StreamRecipe{.width = 720, .height = 480, .frames = 3, .b_frames = 0});
    // Smaller in every buffer, and 650 columns: not a whole number of 8 or
    // 16 pixels.
    const auto later = encode_h264(StreamRecipe{.width = 650, .height = 420, .frames = 3, .b_frames = 1});
    const std::vector<OutputKind> kinds = {{"YUV", RuntimeFormatYuv420, 0, 0, 0, 0},
                                           {"RGB at the decoded size", RuntimeFormatRgb, 720, 480, 650, 420},
                                           {"RGB scaled", RuntimeFormatRgb, 400, 300, 333, 281}};
    for (const char* threads : {static_cast<const char*>(nullptr), "1"}) {
        const ScopedEnv env("TOVRIK_VIDEO_FFMPEG_THREADS", threads);
        for (const OutputKind& kind : kinds) {
            const std::string what = kind.name + ", threads " + (threads == nullptr ? "auto" : threads);
            on_fresh_thread([&] {
                unmap_cached_mappings();
                const auto fresh = decode_frames(later, kind.format, {}, kind.later_width, kind.later_height);
                ASSERT_TRUE(fresh.has_value()) << what;
                unmap_cached_mappings();

                std::vector<Span> held;
                {
                    RequestBuilder builder(earlier, kind.format);
                    builder.size(kind.earlier_width, kind.earlier_height);
                    ScopedResponse scoped;
                    ASSERT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response), 0) << what;
                    held = cached_buffers(scoped.response);
                    for (const Span& span : held) {
                        std::memset(const_cast<std::uint8_t*>(span.data), 0xA5, span.len);
                    }
                }
                ASSERT_EQ(held.size(), 3U) << what;

                RequestBuilder builder(later, kind.format);
                builder.size(kind.later_width, kind.later_height);
                ScopedResponse scoped;
                ASSERT_EQ(pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response), 0) << what;
                const std::vector<Span> recycled = cached_buffers(scoped.response);
                ASSERT_EQ(recycled.size(), 3U) << what;
                for (const Span& span : recycled) {
                    EXPECT_TRUE(held_before(span, held)) << what << ": a buffer was not recycled";
                }
                ASSERT_EQ(scoped.response.frame_count, fresh->size()) << what;
                for (std::size_t i = 0; i < fresh->size(); ++i) {
                    const RuntimeFrame& frame = scoped.response.frames[i];
                    const auto copy = [](const RuntimeBytes& bytes) {
                        return std::vector<std::uint8_t>(bytes.data, bytes.data + bytes.len);
                    };
                    EXPECT_EQ(copy(frame.rgb), (*fresh)[i].rgb) << what << ", frame " << i;
                    EXPECT_EQ(copy(frame.y), (*fresh)[i].y) << what << ", frame " << i;
                    EXPECT_EQ(copy(frame.uv), (*fresh)[i].uv) << what << ", frame " << i;
                }
            });
        }
    }
    unmap_cached_mappings();
}

}  // namespace
}  // namespace pytovrik::testing
