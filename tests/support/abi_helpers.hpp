// Calling the library through its C ABI from tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pytovrik_video.h"
#include "support/h264_streams.hpp"

namespace pytovrik::testing {

// A request whose pointers stay valid as long as this object lives.
class RequestBuilder {
public:
    RequestBuilder(const std::vector<Packet>& packets, std::uint32_t output_format);
    RequestBuilder& positions(std::vector<std::uint64_t> positions);
    RequestBuilder& size(std::uint32_t width, std::uint32_t height);
    const RuntimeDecodeRequest& request();

private:
    std::vector<RuntimePacket> packets_;
    std::vector<std::uint64_t> positions_;
    RuntimeDecodeRequest request_{};
};

// A response freed when it goes out of scope.
class ScopedResponse {
public:
    ScopedResponse() = default;
    ScopedResponse(const ScopedResponse&) = delete;
    ScopedResponse& operator=(const ScopedResponse&) = delete;
    ~ScopedResponse() { pytovrik_video_free_response_v1(&response); }
    RuntimeDecodeResponse response{nullptr, 0};
};

// A copy of one returned frame, independent of the response.
struct FrameCopy {
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgb;
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> uv;
    bool operator==(const FrameCopy&) const = default;
};

// Decodes through the exported function; std::nullopt on status -1.
std::optional<std::vector<FrameCopy>> decode_frames(const std::vector<Packet>& packets, std::uint32_t output_format,
                                                    std::vector<std::uint64_t> positions = {},
                                                    std::uint32_t width = 0, std::uint32_t height = 0);

// "<size> 0x<adler32>" of a YUV frame, planes Y, U, V packed, Adler-32 with
// start value 0: the reference format of the conformance checksums.
std::string framecrc_line(const FrameCopy& frame);
// One line per YUV frame, or "status -1" for a failed request: outcomes that
// compare, and print, briefly.
std::vector<std::string> framecrc_lines(const std::optional<std::vector<FrameCopy>>& frames);

// Sets or unsets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);  // value nullptr: unset
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace pytovrik::testing
