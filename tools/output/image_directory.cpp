// One image file per frame in a directory, for people to look at. PPM needs
// nothing; PNG borrows libavcodec's encoder, which the tool links anyway.
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "common/ffmpeg_owners.hpp"
#include "output/frame_sink.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace pytovrik::cli {
namespace {

class PngEncoder {
public:
    Outcome<std::vector<std::uint8_t>> encode(const RuntimeFrame& frame) {
        const int width = static_cast<int>(frame.width);
        const int height = static_cast<int>(frame.height);
        if (context_ == nullptr || context_->width != width || context_->height != height) {
            if (auto opened = open(width, height); !opened) {
                return propagate(opened);
            }
        }
        UniqueAVFrame picture(av_frame_alloc());
        UniqueAVPacket packet(av_packet_alloc());
        if (picture == nullptr || packet == nullptr) {
            return fail("out of memory encoding PNG");
        }
        picture->format = AV_PIX_FMT_RGB24;
        picture->width = width;
        picture->height = height;
        // The encoder only reads the pixels; it copies frames it does not own.
        picture->data[0] = frame.rgb.data;
        picture->linesize[0] = width * 3;
        int status = avcodec_send_frame(context_.get(), picture.get());
        if (status >= 0) {
            status = avcodec_receive_packet(context_.get(), packet.get());
        }
        if (status < 0) {
            return fail("cannot encode PNG: " + ffmpeg_error_text(status));
        }
        return std::vector<std::uint8_t>(packet->data, packet->data + packet->size);
    }

private:
    Outcome<void> open(int width, int height) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
        if (codec == nullptr) {
            return fail("this FFmpeg has no PNG encoder: write PPM instead");
        }
        context_.reset(avcodec_alloc_context3(codec));
        if (context_ == nullptr) {
            return fail("out of memory encoding PNG");
        }
        context_->width = width;
        context_->height = height;
        context_->pix_fmt = AV_PIX_FMT_RGB24;
        context_->time_base = AVRational{1, 25};
        if (const int status = avcodec_open2(context_.get(), codec, nullptr); status < 0) {
            context_.reset();
            return fail("cannot encode PNG: " + ffmpeg_error_text(status));
        }
        return {};
    }

    UniqueAVCodecContext context_;
};

class ImageDirectorySink final : public FrameSink {
public:
    ImageDirectorySink(std::filesystem::path directory, ImageFormat format)
        : directory_(std::move(directory)), format_(format) {}

    Outcome<void> write(std::uint64_t position, const RuntimeFrame& frame) override {
        if (frame.format != RuntimeFormatRgb) {
            return fail("image output takes RGB frames only");
        }
        char name[48];
        std::snprintf(name, sizeof name, "frame_%06" PRIu64 ".%s", position, format_ == ImageFormat::png ? "png" : "ppm");
        auto file = OutputFile::create((directory_ / name).string());
        if (!file) {
            return propagate(file);
        }
        if (format_ == ImageFormat::png) {
            auto png = png_.encode(frame);
            if (!png) {
                return propagate(png);
            }
            if (auto written = file->write(*png); !written) {
                return written;
            }
        } else {
            const std::string header =
                "P6\n" + std::to_string(frame.width) + " " + std::to_string(frame.height) + "\n255\n";
            if (auto written = file->write(header); !written) {
                return written;
            }
            if (auto written = file->write(bytes_of(frame.rgb)); !written) {
                return written;
            }
        }
        return file->close();
    }

    Outcome<void> finish() override { return {}; }

private:
    std::filesystem::path directory_;
    ImageFormat format_;
    PngEncoder png_;
};

}  // namespace

Outcome<std::unique_ptr<FrameSink>> make_image_directory_sink(const std::string& directory, ImageFormat format) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error || !std::filesystem::is_directory(directory)) {
        return fail("cannot create the directory '" + directory + "'" + (error ? ": " + error.message() : ""));
    }
    return std::make_unique<ImageDirectorySink>(directory, format);
}

}  // namespace pytovrik::cli
