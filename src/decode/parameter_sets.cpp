#include "decode/parameter_sets.hpp"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace pytovrik {

namespace {

constexpr int NAL_SLICE = 1;
constexpr int NAL_IDR_SLICE = 5;
constexpr int NAL_SPS = 7;
constexpr int NAL_PPS = 8;
constexpr std::uint32_t MAX_SPS_ID = 31;
constexpr std::uint32_t MAX_PPS_ID = 255;

// Reads Exp-Golomb codes from the first bytes of a NAL payload, with the
// emulation prevention bytes (00 00 03) removed. The ids sit in the first few
// bytes, so a short prefix is enough.
class HeaderBits {
public:
    explicit HeaderBits(std::span<const std::uint8_t> payload) {
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

    void skip_bytes(std::size_t count) { position_ += 8 * count; }

    std::optional<std::uint32_t> read_ue() {
        int leading_zeros = 0;
        for (;;) {
            const auto bit = read_bit();
            if (!bit) {
                return std::nullopt;
            }
            if (*bit) {
                break;
            }
            if (++leading_zeros > 31) {
                return std::nullopt;
            }
        }
        std::uint64_t suffix = 0;
        for (int i = 0; i < leading_zeros; ++i) {
            const auto bit = read_bit();
            if (!bit) {
                return std::nullopt;
            }
            suffix = (suffix << 1) | *bit;
        }
        const std::uint64_t value = ((std::uint64_t{1} << leading_zeros) - 1) + suffix;
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(value);
    }

private:
    std::optional<std::uint32_t> read_bit() {
        if (position_ >= 8 * size_) {
            return std::nullopt;
        }
        const std::uint8_t byte = bytes_[position_ / 8];
        const auto bit = static_cast<std::uint32_t>((byte >> (7 - position_ % 8)) & 1U);
        ++position_;
        return bit;
    }

    std::array<std::uint8_t, 32> bytes_{};
    std::size_t size_ = 0;
    std::size_t position_ = 0;
};

class ParameterSetTracker {
public:
    // False once the batch is known to need a parameter set from outside.
    bool see(std::span<const std::uint8_t> nal) {
        if (nal.empty()) {
            return true;
        }
        const int type = nal[0] & 0x1f;
        HeaderBits bits(nal.subspan(1));
        switch (type) {
            case NAL_SPS: {
                bits.skip_bytes(3);  // profile_idc, constraint flags, level_idc
                const auto id = bits.read_ue();
                if (id && *id <= MAX_SPS_ID) {
                    sps_.set(*id);
                }
                return true;
            }
            case NAL_PPS: {
                const auto id = bits.read_ue();
                const auto sps_id = bits.read_ue();
                if (!id || !sps_id || *id > MAX_PPS_ID || *sps_id > MAX_SPS_ID) {
                    return true;  // a fresh decoder rejects it just the same
                }
                // A PPS only parses when its SPS is already known.
                if (!sps_.test(*sps_id)) {
                    return false;
                }
                pps_.set(*id);
                return true;
            }
            case NAL_SLICE:
            case NAL_IDR_SLICE: {
                const auto first_mb = bits.read_ue();
                const auto slice_type = bits.read_ue();
                const auto pps_id = bits.read_ue();
                return first_mb && slice_type && pps_id && *pps_id <= MAX_PPS_ID && pps_.test(*pps_id);
            }
            default:
                return true;
        }
    }

private:
    std::bitset<MAX_SPS_ID + 1> sps_;
    std::bitset<MAX_PPS_ID + 1> pps_;
};

// Calls `visit` with each NAL unit (without its start code) of an Annex B
// packet, stopping when it returns false.
template <class Visit>
bool for_each_nal(std::span<const std::uint8_t> packet, Visit&& visit) {
    const std::size_t size = packet.size();
    std::size_t start = SIZE_MAX;
    for (std::size_t i = 0; i + 3 <= size; ++i) {
        if (packet[i + 2] > 1) {
            i += 2;  // no start code can begin at i, i + 1 or i + 2
            continue;
        }
        if (packet[i] != 0 || packet[i + 1] != 0 || packet[i + 2] != 1) {
            continue;
        }
        if (start != SIZE_MAX && !visit(packet.subspan(start, i - start))) {
            return false;
        }
        start = i + 3;
        i += 2;
    }
    return start == SIZE_MAX || visit(packet.subspan(start));
}

}  // namespace

bool batch_defines_its_parameter_sets(const PacketBatch& packets) {
    ParameterSetTracker tracker;
    for (const OwnedPacket& packet : packets) {
        const std::span<const std::uint8_t> bytes(packet.data(), packet.size());
        if (!for_each_nal(bytes, [&](std::span<const std::uint8_t> nal) { return tracker.see(nal); })) {
            return false;
        }
    }
    return true;
}

}  // namespace pytovrik
