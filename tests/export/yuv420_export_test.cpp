// YUV 4:2:0 export from synthetic frames whose planes the test lays out
// itself (sizes, line sizes, padding), the pixel-format names of the format
// message, and a batch whose third frame cannot be exported.
#include <gtest/gtest.h>

#include <numeric>

#include "support/internal_helpers.hpp"
#include "decode/decoder_pool.hpp"
#include "export/pixel_format_names.hpp"

namespace pytovrik::testing {
namespace {

constexpr std::uint8_t PADDING = 0xee;

// A planar frame backed by vectors: sample (x, y) of plane p is
// 10 * p + x + 40 * y (so every byte names its place), padding bytes PADDING.
class SyntheticFrame {
public:
    SyntheticFrame(int width, int height, std::array<int, 3> line_sizes, int format = AV_PIX_FMT_YUV420P)
        : frame_(av_frame_alloc()) {
        frame_->format = format;
        frame_->width = width;
        frame_->height = height;
        const int chroma_width = (width + 1) / 2;
        const int chroma_height = (height + 1) / 2;
        for (int p = 0; p < 3; ++p) {
            const int rows = p == 0 ? height : chroma_height;
            const int row_width = p == 0 ? width : chroma_width;
            auto& plane = planes_[static_cast<std::size_t>(p)];
            plane.assign(static_cast<std::size_t>(std::max(rows, 1) * std::max(line_sizes[static_cast<std::size_t>(p)], row_width)),
                         PADDING);
            for (int y = 0; y < rows; ++y) {
                for (int x = 0; x < row_width; ++x) {
                    plane[static_cast<std::size_t>(y * line_sizes[static_cast<std::size_t>(p)] + x)] = sample(p, x, y);
                }
            }
            frame_->data[p] = plane.data();
            frame_->linesize[p] = line_sizes[static_cast<std::size_t>(p)];
        }
    }
    AVFrame& operator*() { return *frame_; }
    AVFrame* operator->() { return frame_.get(); }

    static std::uint8_t sample(int plane, int x, int y) { return static_cast<std::uint8_t>(10 * plane + x + 40 * y); }

    // What the export must give for a width x height frame.
    static std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> expected(int width, int height) {
        std::vector<std::uint8_t> y;
        std::vector<std::uint8_t> uv;
        for (int row = 0; row < height; ++row) {
            for (int x = 0; x < width; ++x) {
                y.push_back(sample(0, x, row));
            }
        }
        for (int row = 0; row < (height + 1) / 2; ++row) {
            for (int x = 0; x < (width + 1) / 2; ++x) {
                uv.push_back(sample(1, x, row));
                uv.push_back(sample(2, x, row));
            }
        }
        return {y, uv};
    }

private:
    UniqueAVFrame frame_;
    std::array<std::vector<std::uint8_t>, 3> planes_;
};

TEST(Yuv420Export, PlanesArePackedWhateverTheSourceLineSizes) {
    const struct {
        int width, height;
        std::array<int, 3> line_sizes;
    } cases[] = {
        {5, 3, {5, 3, 3}},       // the documented 15 + 12 bytes
        {1, 1, {1, 1, 1}},       // one Cb, one Cr
        {2, 2, {2, 1, 1}},
        {5, 3, {8, 3, 3}},       // padded luma
        {5, 3, {5, 7, 4}},       // padded chroma, unequal line sizes
        {10, 4, {64, 32, 5}},
        {33, 17, {64, 17, 32}},  // more than one SIMD block per chroma row
        {64, 2, {64, 32, 32}},   // contiguous luma: one block copy
    };
    for (const auto& c : cases) {
        SyntheticFrame frame(c.width, c.height, c.line_sizes);
        const auto exported = convert_frame_to_yuv420(*frame);
        ASSERT_TRUE(exported) << exported.error().message;
        const auto [y, uv] = SyntheticFrame::expected(c.width, c.height);
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(exported->width, static_cast<std::uint32_t>(c.width));
        EXPECT_EQ(exported->height, static_cast<std::uint32_t>(c.height));
        EXPECT_EQ(bytes_of(exported->y), y);
        EXPECT_EQ(bytes_of(exported->uv), uv);
    }
    SyntheticFrame five_by_three(5, 3, {5, 3, 3});
    const auto exported = convert_frame_to_yuv420(*five_by_three);
    EXPECT_EQ(exported->y.size(), 15U);
    EXPECT_EQ(exported->uv.size(), 12U);
}

TEST(Yuv420Export, PlaneChecksRunInOrderWithExactMessages) {
    const std::string format_message = "yuv420 video output expects FFmpeg to decode yuv420p frames, got ";
    const struct {
        const char* what;
        std::function<void(SyntheticFrame&)> spoil;
        std::string message;
    } cases[] = {
        {"format none", [](SyntheticFrame& f) { f->format = AV_PIX_FMT_NONE; }, format_message + "None"},
        {"full range", [](SyntheticFrame& f) { f->format = AV_PIX_FMT_YUVJ420P; }, format_message + "YUVJ420P"},
        {"semi-planar", [](SyntheticFrame& f) { f->format = AV_PIX_FMT_NV12; }, format_message + "NV12"},
        {"10-bit", [](SyntheticFrame& f) { f->format = AV_PIX_FMT_YUV420P10LE; }, format_message + "YUV420P10LE"},
        {"4:2:2", [](SyntheticFrame& f) { f->format = AV_PIX_FMT_YUV422P; }, format_message + "YUV422P"},
        // The format is checked before anything else.
        {"format before planes",
         [](SyntheticFrame& f) {
             f->format = AV_PIX_FMT_GRAY8;
             f->data[0] = nullptr;
         },
         format_message + "GRAY8"},
        {"negative luma line size, chroma broken too",
         [](SyntheticFrame& f) {
             f->linesize[0] = -10;
             f->data[1] = nullptr;
         },
         "decoded frame plane 0 has negative linesize"},
        {"null before negative", [](SyntheticFrame& f) {
             f->data[0] = nullptr;
             f->linesize[0] = -10;
         },
         "decoded frame plane 0 is null"},
        {"short luma line", [](SyntheticFrame& f) { f->linesize[0] = 9; },
         "decoded frame plane 0 linesize 9 is smaller than row width 10"},
        {"short Cb line", [](SyntheticFrame& f) { f->linesize[1] = 4; },
         "decoded frame plane 1 linesize 4 is smaller than row width 5"},
        {"Cb before Cr",
         [](SyntheticFrame& f) {
             f->linesize[1] = -1;
             f->data[2] = nullptr;
         },
         "decoded frame plane 1 has negative linesize"},
        {"null Cr", [](SyntheticFrame& f) { f->data[2] = nullptr; }, "decoded frame plane 2 is null"},
        {"short Cr line", [](SyntheticFrame& f) { f->linesize[2] = 0; },
         "decoded frame plane 2 linesize 0 is smaller than row width 5"},
    };
    for (const auto& c : cases) {
        SyntheticFrame frame(10, 4, {16, 8, 8});
        c.spoil(frame);
        const auto exported = convert_frame_to_yuv420(*frame);
        ASSERT_FALSE(exported) << c.what;
        EXPECT_EQ(exported.error().message, c.message) << c.what;
    }
}

TEST(Yuv420Export, NegativeSizesAreRefusedBeforeAnyAllocation) {
    for (const auto& [width, height] : {std::pair{-2, 4}, {4, -2}, {INT_MIN, INT_MIN}}) {
        SyntheticFrame frame(4, 4, {4, 2, 2});
        frame->width = width;
        frame->height = height;
        const auto exported = convert_frame_to_yuv420(*frame);
        ASSERT_FALSE(exported) << width << "x" << height;
        EXPECT_NE(exported.error().message.find("negative"), std::string::npos) << exported.error().message;
    }
}

TEST(Yuv420Export, PlaneAccessIsBoundedAndChecked) {
    SyntheticFrame frame(6, 2, {8, 3, 3});
    EXPECT_FALSE(frame_plane_ptr(*frame, AV_NUM_DATA_POINTERS, 1));
    EXPECT_EQ(frame_plane_ptr(*frame, 3, 0).error().message, "decoded frame plane 3 is null");
    const auto plane = frame_plane_ptr(*frame, 0, 8);
    ASSERT_TRUE(plane);
    EXPECT_EQ(plane->first_byte, frame->data[0]);
    EXPECT_EQ(plane->line_size, 8U);
    EXPECT_EQ(frame_plane_ptr(*frame, 0, 9).error().message, "decoded frame plane 0 linesize 8 is smaller than row width 9");
    // Empty planes need no bytes at all.
    const auto empty = copy_frame_plane(*frame, 0, 0, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0U);
}

TEST(PixelFormatName, EnumeratorNamesWithTheirExceptions) {
    const struct {
        int format;
        const char* name;
    } cases[] = {
        {AV_PIX_FMT_NONE, "None"},           {AV_PIX_FMT_MONOWHITE, "MonoWhite"},
        {AV_PIX_FMT_MONOBLACK, "MonoBlack"}, {AV_PIX_FMT_0RGB, "ZRGB"},
        {AV_PIX_FMT_RGB0, "RGBZ"},           {AV_PIX_FMT_0BGR, "ZBGR"},
        {AV_PIX_FMT_BGR0, "BGRZ"},           {AV_PIX_FMT_YUV420P, "YUV420P"},
        {AV_PIX_FMT_YUVJ420P, "YUVJ420P"},   {AV_PIX_FMT_YUV422P, "YUV422P"},
        {AV_PIX_FMT_YUV444P, "YUV444P"},     {AV_PIX_FMT_GRAY8, "GRAY8"},
        {AV_PIX_FMT_YUV420P10LE, "YUV420P10LE"}, {AV_PIX_FMT_NV12, "NV12"},
        {AV_PIX_FMT_P010LE, "P010LE"},       {AV_PIX_FMT_RGB24, "RGB24"},
        {AV_PIX_FMT_RGBA, "RGBA"},           {AV_PIX_FMT_VAAPI, "VAAPI"},
        {AV_PIX_FMT_YA8, "YA8"},             {AV_PIX_FMT_GRAY8A, "YA8"},  // an alias takes the first name
        {AV_PIX_FMT_RGB32, "BGRA"},          {AV_PIX_FMT_YUV420P10, "YUV420P10LE"},  // endian macros
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pixel_format_name(c.format), c.name) << c.format;
    }
    // Every value FFmpeg knows has a name, none of them empty.
    for (int format = 0; format < AV_PIX_FMT_NB; ++format) {
        EXPECT_FALSE(pixel_format_name(format).empty()) << format;
    }
    EXPECT_FALSE(pixel_format_name(AV_PIX_FMT_NB + 1000).empty());
}

TEST(Yuv420Driver, AFailingFrameDiscardsEverythingAndTheDecoderGoesBack) {
    const auto clean = encode_h264({.frames = 2, .gop = 1});
    const std::string format_message = "yuv420 video output expects FFmpeg to decode yuv420p frames, got ";
    const struct {
        std::vector<Packet> batch;
        std::string name;
        std::int64_t parked;  // a batch of two streams gets a decoder of its own, freed after it
        std::size_t exportable;  // frames before the first one that fails
    } cases[] = {
        {concatenate(clean, encode_h264({.frames = 3, .pixel_format = AV_PIX_FMT_YUV422P})), "YUV422P", 0, 2},
        {concatenate(clean, encode_h264({.frames = 3, .pixel_format = AV_PIX_FMT_YUV420P10LE})), "YUV420P10LE", 0, 2},
        {encode_h264({.frames = 3, .full_range = true}), "YUVJ420P", 1, 0},
    };
    for (const auto& c : cases) {
        const auto [outcome, parked] = on_fresh_thread([&] {
            const std::int64_t before = live_h264_decoder_count();
            auto frames = decode_selected_h264_packets_to_yuv420(to_batch(c.batch), FrameSelection());
            return std::pair{frames ? std::string("success") : frames.error().message,
                             live_h264_decoder_count() - before};
        });
        EXPECT_EQ(outcome, format_message + c.name);
        EXPECT_EQ(parked, c.parked) << c.name;
        // The same frames unselected are never looked at.
        std::vector<std::uint64_t> exportable(c.exportable);
        std::iota(exportable.begin(), exportable.end(), 0);
        exportable.push_back(UINT64_MAX);
        const auto kept = on_fresh_thread([&] { return decode_yuv(c.batch, exportable); });
        EXPECT_EQ(kept.failure, "") << c.name;
        EXPECT_EQ(kept.frames.size(), c.exportable) << c.name;
    }
}

}  // namespace
}  // namespace pytovrik::testing
