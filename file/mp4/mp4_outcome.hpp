// What stops the MP4 reader short of a track: a file it cannot read at all
// (a Failure, for the caller to report), or a file libavformat reads in ways
// this reader does not reproduce exactly (a Fallback: the caller scans the
// file with libavformat instead). Never an approximation.
#pragma once

#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "common/outcome.hpp"

namespace pytovrik::file::mp4 {

struct Fallback {
    std::string reason;
};

using Halt = std::variant<Failure, Fallback>;

template <class T>
using Mp4Outcome = std::expected<T, Halt>;

inline std::unexpected<Halt> fall_back(std::string reason) {
    return std::unexpected<Halt>(Fallback{std::move(reason)});
}

inline std::unexpected<Halt> halt(Failure failure) {
    return std::unexpected<Halt>(std::move(failure));
}

}  // namespace pytovrik::file::mp4
