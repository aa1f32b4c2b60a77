// Writes small MP4 files box by box, for cases ffmpeg does not write (two
// sample descriptions, odd tables) and for hostile files made by patching a
// valid one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "track.hpp"

namespace pytovrik::file::testing {

class BoxWriter {
public:
    BoxWriter& u8(std::uint8_t value);
    BoxWriter& u16(std::uint16_t value);
    BoxWriter& u32(std::uint32_t value);
    BoxWriter& u64(std::uint64_t value);
    BoxWriter& bytes(const ByteVector& value);
    BoxWriter& zeros(std::size_t count);
    // A box whose size is filled in once `body` has written its payload.
    BoxWriter& box(std::string_view type, const std::function<void(BoxWriter&)>& body);
    const ByteVector& data() const { return data_; }

private:
    ByteVector data_;
};

struct MovieRecipe {
    std::vector<ByteVector> samples;
    // The avcC payload of each sample entry.
    std::vector<ByteVector> configurations;
    // Samples per chunk and each chunk's 1-based sample entry; empty: one
    // chunk of every sample, entry 1.
    std::vector<std::uint32_t> chunk_sizes;
    std::vector<std::uint32_t> chunk_entries;
    std::vector<std::int32_t> composition_offsets;           // one per sample; empty: no ctts
    std::optional<std::vector<std::uint32_t>> sync_samples;  // 1-based; none: no stss
    std::vector<std::array<std::int64_t, 2>> edits;          // {duration, media time}
    std::uint32_t edit_rate = 0x00010000;
    std::uint32_t sample_duration = 512;
    // 4, 8 or 16: the sizes in a compact sample size table (stz2) of fields
    // that wide; 0: a sample size table (stsz).
    std::uint8_t compact_size_bits = 0;
    std::uint32_t time_scale = 12800;
};

// ftyp, mdat, then moov with one H.264 track.
ByteVector build_movie_file(const MovieRecipe& recipe);

// Offset of the first box of this type (its size field), searching the
// bytes for its four characters; throws when there is none.
std::size_t find_box(const ByteVector& file, std::string_view type);
void put_be32(ByteVector& file, std::size_t offset, std::uint32_t value);
std::uint32_t get_be32(const ByteVector& file, std::size_t offset);

// Writes `bytes` to a file in the test's temporary folder; returns its path.
std::string write_test_file(const std::string& name, const ByteVector& bytes);

}  // namespace pytovrik::file::testing
