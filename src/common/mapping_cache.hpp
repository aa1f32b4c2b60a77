// Output memory kept across requests: the page mappings of freed buffers,
// already faulted in, handed to the next request's frames instead of fresh
// mappings. Process-wide, bounded, safe to use from any thread and across
// fork().
#pragma once

#include <cstddef>
#include <cstdint>

namespace pytovrik {

// The system's page size (4 KiB on x86-64, up to 64 KiB on aarch64). Mappings
// are split and joined at multiples of it: a split inside a page would let
// releasing one piece unmap the start of the next.
[[nodiscard]] std::size_t page_size() noexcept;

// The smallest buffer that is a mapping of its own (see byte_buffer.cpp), and
// so the smallest piece the cache keeps; a multiple of every page size.
inline constexpr std::size_t SMALLEST_MAPPING = std::size_t{256} << 10;

// The most the cache holds, in bytes: 1 GiB.
//
// Fresh memory is the largest cost of a large response after decoding
// itself: 2.6 ms of page faults for a 6 MB 1080p RGB frame against 4 ms to
// decode it, and on a virtual machine more when the host has to back the
// pages again. A host decoding whole clips frees one response and asks for
// the next, so the cache pays off only when it can hold a whole response:
// 1 GiB holds a 5-second 1080p clip as RGB (150 frames, 890 MiB), or 10
// seconds of 1080p YUV. A request larger than that takes what the cache has
// and maps the rest fresh, as before.
//
// What the cache holds is memory the host had live a moment before, so in a
// steady run of requests it adds about one response to the host's footprint,
// never more than the cap; the oldest mappings are unmapped first when a
// newer one needs the room. A forked child starts with an empty cache.
inline constexpr std::size_t MAPPING_CACHE_CAP = std::size_t{1} << 30;

// A cached mapping of exactly `length` bytes, a multiple of page_size() and at
// least SMALLEST_MAPPING, or null when none is large enough. The closest fit
// is taken; what it has beyond `length` stays cached, or is unmapped when it
// is smaller than SMALLEST_MAPPING. Its bytes are those of whatever buffer
// had it last: every caller writes all of it.
[[nodiscard]] std::uint8_t* take_cached_mapping(std::size_t length) noexcept;

// Keeps the mapping [data, data + length) for a later take, joined with any
// cached one it touches, or unmaps it when it is larger than the cap.
// `length` is a multiple of page_size(), at least SMALLEST_MAPPING.
void cache_or_unmap(std::uint8_t* data, std::size_t length) noexcept;

// Unmaps everything the cache holds.
void unmap_cached_mappings() noexcept;

// The bytes the cache holds now.
[[nodiscard]] std::size_t cached_mapping_bytes() noexcept;

}  // namespace pytovrik
