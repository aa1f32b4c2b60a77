#include "support/abi_helpers.hpp"

#include <cstdio>
#include <cstdlib>

namespace pytovrik::testing {

RequestBuilder::RequestBuilder(const std::vector<Packet>& packets, std::uint32_t output_format) {
    for (const Packet& packet : packets) {
        packets_.push_back(RuntimePacket{packet.empty() ? nullptr : packet.data(), packet.size()});
    }
    request_.output_format = output_format;
}

RequestBuilder& RequestBuilder::positions(std::vector<std::uint64_t> positions) {
    positions_ = std::move(positions);
    return *this;
}

RequestBuilder& RequestBuilder::size(std::uint32_t width, std::uint32_t height) {
    request_.output_width = width;
    request_.output_height = height;
    return *this;
}

const RuntimeDecodeRequest& RequestBuilder::request() {
    request_.packets = packets_.empty() ? nullptr : packets_.data();
    request_.packet_count = packets_.size();
    request_.selected_positions = positions_.empty() ? nullptr : positions_.data();
    request_.selected_position_count = positions_.size();
    return request_;
}

namespace {

std::vector<std::uint8_t> copy_bytes(const RuntimeBytes& bytes) {
    if (bytes.data == nullptr) {
        return {};
    }
    return {bytes.data, bytes.data + bytes.len};
}

std::uint32_t adler32_from_zero(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    for (const std::uint8_t byte : bytes) {
        a = (a + byte) % 65521U;
        b = (b + a) % 65521U;
    }
    return (b << 16) | a;
}

}  // namespace

std::optional<std::vector<FrameCopy>> decode_frames(const std::vector<Packet>& packets, std::uint32_t output_format,
                                                    std::vector<std::uint64_t> positions, std::uint32_t width,
                                                    std::uint32_t height) {
    RequestBuilder builder(packets, output_format);
    builder.positions(std::move(positions)).size(width, height);
    ScopedResponse scoped;
    if (pytovrik_video_decode_h264_v1(&builder.request(), &scoped.response) != 0) {
        return std::nullopt;
    }
    std::vector<FrameCopy> frames;
    for (std::uint64_t i = 0; i < scoped.response.frame_count; ++i) {
        const RuntimeFrame& frame = scoped.response.frames[i];
        frames.push_back(FrameCopy{frame.format, frame.width, frame.height, copy_bytes(frame.rgb),
                                   copy_bytes(frame.y), copy_bytes(frame.uv)});
    }
    return frames;
}

std::string framecrc_line(const FrameCopy& frame) {
    std::vector<std::uint8_t> bytes = frame.y;
    for (std::size_t i = 0; i < frame.uv.size(); i += 2) {
        bytes.push_back(frame.uv[i]);
    }
    for (std::size_t i = 1; i < frame.uv.size(); i += 2) {
        bytes.push_back(frame.uv[i]);
    }
    char line[64];
    std::snprintf(line, sizeof line, "%zu 0x%08x", bytes.size(), adler32_from_zero(bytes));
    return line;
}

std::vector<std::string> framecrc_lines(const std::optional<std::vector<FrameCopy>>& frames) {
    if (!frames) {
        return {"status -1"};
    }
    std::vector<std::string> lines;
    for (const FrameCopy& frame : *frames) {
        lines.push_back(framecrc_line(frame));
    }
    return lines;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* previous = std::getenv(name); previous != nullptr) {
        previous_ = previous;
    }
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

}  // namespace pytovrik::testing
