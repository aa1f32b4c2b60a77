// The copy loops of the YUV 4:2:0 export against one-sample-at-a-time
// references, on widths that end inside and exactly at vector blocks, with
// and without row padding in the source.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <random>
#include <vector>

#include "common/ffmpeg_owners.hpp"
#include "export/chroma_interleave.hpp"
#include "export/yuv420_export.hpp"

namespace {

using pytovrik::UniqueAVFrame;

struct Planes {
    std::vector<std::uint8_t> y, u, v;
    UniqueAVFrame frame{av_frame_alloc()};
};

// A frame whose planes hold random bytes, padding included, so a copy that
// reads past a row's end shows up as a mismatch.
Planes random_frame(int width, int height, int padding, std::mt19937& random) {
    Planes planes;
    const int chroma_width = (width + 1) / 2;
    const int chroma_height = (height + 1) / 2;
    const auto fill = [&](std::vector<std::uint8_t>& plane, int line_size, int rows) {
        plane.resize(static_cast<std::size_t>(line_size) * static_cast<std::size_t>(rows));
        for (std::uint8_t& sample : plane) {
            sample = static_cast<std::uint8_t>(random());
        }
    };
    fill(planes.y, width + padding, height);
    fill(planes.u, chroma_width + padding, chroma_height);
    fill(planes.v, chroma_width + padding, chroma_height);
    AVFrame& frame = *planes.frame;
    frame.format = AV_PIX_FMT_YUV420P;
    frame.width = width;
    frame.height = height;
    frame.data[0] = planes.y.data();
    frame.data[1] = planes.u.data();
    frame.data[2] = planes.v.data();
    frame.linesize[0] = width + padding;
    frame.linesize[1] = chroma_width + padding;
    frame.linesize[2] = chroma_width + padding;
    return planes;
}

std::vector<std::uint8_t> plain_interleave(const AVFrame& frame, int chroma_width, int chroma_height) {
    std::vector<std::uint8_t> out;
    for (int row = 0; row < chroma_height; ++row) {
        for (int i = 0; i < chroma_width; ++i) {
            out.push_back(frame.data[1][row * frame.linesize[1] + i]);
            out.push_back(frame.data[2][row * frame.linesize[2] + i]);
        }
    }
    return out;
}

std::vector<std::uint8_t> plain_luma(const AVFrame& frame) {
    std::vector<std::uint8_t> out;
    for (int row = 0; row < frame.height; ++row) {
        for (int i = 0; i < frame.width; ++i) {
            out.push_back(frame.data[0][row * frame.linesize[0] + i]);
        }
    }
    return out;
}

std::vector<std::uint8_t> bytes_of(const pytovrik::ByteBuffer& buffer) {
    return {buffer.data(), buffer.data() + buffer.size()};
}

TEST(PlaneCopyTest, InterleavedChromaAndLumaMatchPlainLoopsOnEveryWidth) {
    std::mt19937 random(6);
    // Chroma widths 1 to 70 cover every tail after 16- and 32-sample blocks;
    // 960 is 1080p's chroma width.
    std::vector<int> widths;
    for (int width = 1; width <= 140; ++width) {
        widths.push_back(width);
    }
    widths.push_back(1919);
    widths.push_back(1920);
    for (const int width : widths) {
        for (const int padding : {0, 13, 64}) {
            const int height = width % 3 + 3;  // odd and even heights
            Planes planes = random_frame(width, height, padding, random);
            const AVFrame& frame = *planes.frame;
            const auto chroma_width = static_cast<std::uint32_t>((width + 1) / 2);
            const auto chroma_height = static_cast<std::uint32_t>((height + 1) / 2);

            const auto uv = pytovrik::interleave_chroma_planes(frame, chroma_width, chroma_height);
            ASSERT_TRUE(uv.has_value()) << uv.error().message;
            ASSERT_EQ(bytes_of(*uv), plain_interleave(frame, static_cast<int>(chroma_width),
                                                      static_cast<int>(chroma_height)))
                << "width " << width << ", padding " << padding;

            const auto y = pytovrik::copy_frame_plane(frame, 0, static_cast<std::uint32_t>(width),
                                                      static_cast<std::uint32_t>(height));
            ASSERT_TRUE(y.has_value()) << y.error().message;
            ASSERT_EQ(bytes_of(*y), plain_luma(frame)) << "width " << width << ", padding " << padding;
        }
    }
}

TEST(PlaneCopyTest, EveryInterleaveVersionThisCpuRunsMatchesThePlainLoop) {
    // The frame-level test above sees only the version this CPU picks; the
    // others are checked row by row, from unaligned addresses, with guard
    // bytes behind the row.
    constexpr std::uint8_t GUARD = 0xA5;
    std::mt19937 random(16);
    for (const auto& path : pytovrik::interleave_chroma_row_paths()) {
        if (!path.runs_here) {
            std::cout << "skipping " << path.name << ": not supported by this CPU\n";
            continue;
        }
        for (std::size_t count = 0; count <= 70; ++count) {
            std::vector<std::uint8_t> cb(count + 1), cr(count + 3);
            for (std::uint8_t& sample : cb) {
                sample = static_cast<std::uint8_t>(random());
            }
            for (std::uint8_t& sample : cr) {
                sample = static_cast<std::uint8_t>(random());
            }
            std::vector<std::uint8_t> expected(2 * count + 33, GUARD);
            std::vector<std::uint8_t> actual(expected);
            pytovrik::interleave_chroma_row_plain(cb.data() + 1, cr.data() + 3, expected.data() + 1, count);
            path.function(cb.data() + 1, cr.data() + 3, actual.data() + 1, count);
            ASSERT_EQ(actual, expected) << path.name << ", " << count << " pairs";
        }
    }
}

TEST(PlaneCopyTest, FullSizeFramesLandInMappedBuffersByteForByte) {
    // 1080p: the luma plane is a huge-page mapping, the chroma plane a heap
    // buffer; both must still be exact.
    std::mt19937 random(1080);
    for (const int padding : {0, 64}) {
        Planes planes = random_frame(1920, 1080, padding, random);
        const auto exported = pytovrik::convert_frame_to_yuv420(*planes.frame);
        ASSERT_TRUE(exported.has_value()) << exported.error().message;
        EXPECT_EQ(bytes_of(exported->y), plain_luma(*planes.frame));
        EXPECT_EQ(bytes_of(exported->uv), plain_interleave(*planes.frame, 960, 540));
    }
}

}  // namespace
