#include <cerrno>
#include <cstring>

#include "output/frame_sink.hpp"

namespace pytovrik::cli {

Outcome<OutputFile> OutputFile::create(const std::string& path) {
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "wb"));
    if (file == nullptr) {
        return fail("cannot write '" + path + "': " + std::strerror(errno));
    }
    return OutputFile(std::move(file), path);
}

Outcome<void> OutputFile::write(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) {
        return fail("cannot write '" + path_ + "': " + std::strerror(errno));
    }
    return {};
}

Outcome<void> OutputFile::write(std::string_view text) {
    return write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Outcome<void> OutputFile::close() {
    // Buffered data may only fail to reach the disk now (a full disk).
    if (std::fclose(file_.release()) != 0) {
        return fail("cannot write '" + path_ + "': " + std::strerror(errno));
    }
    return {};
}

std::span<const std::uint8_t> bytes_of(const RuntimeBytes& bytes) {
    if (bytes.data == nullptr) {
        return {};
    }
    return {bytes.data, static_cast<std::size_t>(bytes.len)};
}

void append_planar_chroma(std::span<const std::uint8_t> interleaved, std::vector<std::uint8_t>& out) {
    const std::size_t pairs = interleaved.size() / 2;
    const std::size_t cb = out.size();
    out.resize(cb + 2 * pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        out[cb + i] = interleaved[2 * i];
        out[cb + pairs + i] = interleaved[2 * i + 1];
    }
}

}  // namespace pytovrik::cli
