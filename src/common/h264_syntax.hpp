// Just enough H.264 stream syntax to find NAL units in Annex B bytes and read
// the Exp-Golomb ids at the start of a parameter set or slice header. Header
// only, so the decoder tool can use it while it calls the library through
// the public header alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace pytovrik::h264 {

using Bytes = std::span<const std::uint8_t>;

constexpr int NAL_SLICE = 1;
constexpr int NAL_IDR_SLICE = 5;
constexpr int NAL_SEI = 6;
constexpr int NAL_SPS = 7;
constexpr int NAL_PPS = 8;
// Limits of the syntax; a set outside them is refused by the decoder too.
constexpr std::uint32_t MAX_SPS_ID = 31;
constexpr std::uint32_t MAX_PPS_ID = 255;

inline int nal_unit_type(Bytes nal) { return nal.empty() ? -1 : nal[0] & 0x1f; }

// Calls `visit` with each NAL unit of an Annex B buffer, without its start
// code and without the zero bytes that may trail it before the next start
// code (they belong to the byte stream, not to the unit). Units that are
// empty after that are skipped. Stops, returning false, when `visit` does.
template <class Visit>
bool for_each_nal_unit(Bytes annexb, Visit&& visit) {
    const std::size_t size = annexb.size();
    std::size_t start = SIZE_MAX;
    auto close_unit = [&](std::size_t end) {
        if (start == SIZE_MAX) {
            return true;
        }
        while (end > start && annexb[end - 1] == 0) {
            --end;
        }
        return end == start || visit(annexb.subspan(start, end - start));
    };
    for (std::size_t i = 0; i + 3 <= size; ++i) {
        if (annexb[i + 2] > 1) {
            i += 2;  // no start code can begin at i, i + 1 or i + 2
            continue;
        }
        if (annexb[i] != 0 || annexb[i + 1] != 0 || annexb[i + 2] != 1) {
            continue;
        }
        if (!close_unit(i)) {
            return false;
        }
        start = i + 3;
        i += 2;
    }
    return close_unit(size);
}

// Reads bits and unsigned Exp-Golomb codes from the start of a NAL unit's
// payload (the bytes after its one-byte header), with the emulation
// prevention bytes (00 00 03) removed. Only the first `Capacity` bytes are
// kept: the ids the library and the tool want sit in the first few.
template <std::size_t Capacity = 32>
class PayloadBits {
public:
    explicit PayloadBits(Bytes payload) {
        int zeros = 0;
        for (const std::uint8_t byte : payload) {
            if (size_ == bytes_.size()) {
                break;
            }
            if (zeros >= 2 && byte == 3) {
                zeros = 0;
                continue;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            bytes_[size_++] = byte;
        }
    }

    void skip_bits(std::size_t count) { position_ += count; }
    std::size_t position() const { return position_; }

    // u(n) for n up to 32; std::nullopt past the kept prefix.
    std::optional<std::uint32_t> read_bits(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            const auto bit = read_bit();
            if (!bit) {
                return std::nullopt;
            }
            value = (value << 1) | *bit;
        }
        return value;
    }

    std::optional<std::uint32_t> read_bit() {
        if (position_ >= 8 * size_) {
            return std::nullopt;
        }
        const std::uint8_t byte = bytes_[position_ / 8];
        const auto bit = static_cast<std::uint32_t>((byte >> (7 - position_ % 8)) & 1U);
        ++position_;
        return bit;
    }

    // ue(v); std::nullopt past the kept prefix or above 2^32 - 1.
    std::optional<std::uint32_t> read_ue() {
        int leading_zeros = 0;
        for (;;) {
            const auto bit = read_bit();
            if (!bit) {
                return std::nullopt;
            }
            if (*bit != 0) {
                break;
            }
            if (++leading_zeros > 31) {
                return std::nullopt;
            }
        }
        const auto suffix = read_bits(leading_zeros);
        if (!suffix) {
            return std::nullopt;
        }
        const std::uint64_t value = ((std::uint64_t{1} << leading_zeros) - 1) + *suffix;
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(value);
    }

    // se(v), mapped from ue(v) as 1, -1, 2, -2, ...
    std::optional<std::int64_t> read_se() {
        const auto code = read_ue();
        if (!code) {
            return std::nullopt;
        }
        const auto magnitude = static_cast<std::int64_t>((std::uint64_t{*code} + 1) / 2);
        return (*code & 1U) != 0 ? magnitude : -magnitude;
    }

    // Whether any bit of the kept prefix is left to read.
    bool exhausted() const { return position_ >= 8 * size_; }

private:
    std::array<std::uint8_t, Capacity> bytes_{};
    std::size_t size_ = 0;
    std::size_t position_ = 0;
};

// The id a sequence parameter set defines: after profile_idc, the constraint
// flags and level_idc.
inline std::optional<std::uint32_t> sps_id_of(Bytes nal) {
    PayloadBits bits(nal.subspan(nal.empty() ? 0 : 1));
    bits.skip_bits(24);
    const auto id = bits.read_ue();
    return id && *id <= MAX_SPS_ID ? id : std::nullopt;
}

struct PictureSetIds {
    std::uint32_t pps_id;
    std::uint32_t sps_id;
};

// The id a picture parameter set defines and the sequence set it refers to.
inline std::optional<PictureSetIds> pps_ids_of(Bytes nal) {
    PayloadBits bits(nal.subspan(nal.empty() ? 0 : 1));
    const auto pps_id = bits.read_ue();
    const auto sps_id = bits.read_ue();
    if (!pps_id || !sps_id || *pps_id > MAX_PPS_ID || *sps_id > MAX_SPS_ID) {
        return std::nullopt;
    }
    return PictureSetIds{*pps_id, *sps_id};
}

}  // namespace pytovrik::h264
