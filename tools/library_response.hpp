// The decoding library as this host calls it: its functions handed to the
// file layer, and a response it filled, freed on every path.
#pragma once

#include <span>
#include <utility>

#include "pytovrik_video.h"
#include "pytovrik_video_file.h"

namespace pytovrik::cli {

inline PytovrikDecoder decoding_library() {
    return PytovrikDecoder{&pytovrik_video_decode_h264_v1, &pytovrik_video_free_response_v1};
}

class LibraryResponse {
public:
    LibraryResponse() = default;
    LibraryResponse(LibraryResponse&& other) noexcept : response_(std::exchange(other.response_, {nullptr, 0})) {}
    LibraryResponse& operator=(LibraryResponse&& other) noexcept {
        std::swap(response_, other.response_);
        return *this;
    }
    ~LibraryResponse() { pytovrik_video_free_response_v1(&response_); }

    std::span<const RuntimeFrame> frames() const {
        return response_.frames == nullptr ? std::span<const RuntimeFrame>()
                                           : std::span(response_.frames, static_cast<std::size_t>(response_.frame_count));
    }
    RuntimeDecodeResponse* get() { return &response_; }

private:
    RuntimeDecodeResponse response_{nullptr, 0};
};

}  // namespace pytovrik::cli
