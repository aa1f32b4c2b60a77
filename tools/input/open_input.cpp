#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>

#include "frame_source.hpp"

namespace pytovrik::cli {
namespace {

// Two or more zero bytes then a one: how every Annex B stream begins, and
// how no container format we read does.
bool starts_with_start_code(std::span<const char> head) {
    std::size_t zeros = 0;
    while (zeros < head.size() && head[zeros] == 0) {
        ++zeros;
    }
    return zeros >= 2 && zeros < head.size() && head[zeros] == 1;
}

}  // namespace

Outcome<std::unique_ptr<FrameSource>> open_input(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return fail("'" + path + "' is a directory, not a video file");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return fail("cannot open '" + path + "': " + std::strerror(errno));
    }
    std::array<char, 64> head{};
    file.read(head.data(), head.size());
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0) {
        return fail("'" + path + "' is empty: no H.264 stream in it");
    }
    if (starts_with_start_code(std::span<const char>(head.data(), got))) {
        return open_annexb_frames(path);
    }
    return open_file_frames(path);
}

}  // namespace pytovrik::cli
