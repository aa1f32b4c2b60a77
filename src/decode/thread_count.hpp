#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pytovrik {

// An unsigned 64-bit decimal number: ASCII digits after at most one leading
// '+', at least one digit, nothing trimmed. Anything else has no value.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The thread count for a new decoder from TOVRIK_VIDEO_FFMPEG_THREADS;
// 0 (FFmpeg chooses) when unset or invalid.
std::uint64_t ffmpeg_thread_count_from_env();

}  // namespace pytovrik
