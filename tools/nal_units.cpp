#include "nal_units.hpp"

#include <algorithm>
#include <optional>

namespace pytovrik::cli {
namespace {

// Reads unsigned Exp-Golomb codes from the start of a NAL unit's payload,
// with emulation prevention bytes removed.
class PayloadBits {
public:
    explicit PayloadBits(Bytes payload) {
        // The ids we read sit in the first few bytes; 32 are plenty.
        int zeros = 0;
        for (std::size_t i = 0; i < payload.size() && rbsp_.size() < 32; ++i) {
            const std::uint8_t byte = payload[i];
            if (zeros >= 2 && byte == 3) {
                zeros = 0;
                continue;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            rbsp_.push_back(byte);
        }
    }

    void skip(std::size_t bits) { position_ += bits; }

    std::optional<unsigned> read_unsigned_exp_golomb() {
        int leading_zeros = 0;
        for (;;) {
            const auto bit = read_bit();
            if (!bit) {
                return std::nullopt;
            }
            if (*bit == 1) {
                break;
            }
            if (++leading_zeros > 31) {
                return std::nullopt;
            }
        }
        std::uint64_t value = 1;
        for (int i = 0; i < leading_zeros; ++i) {
            const auto bit = read_bit();
            if (!bit) {
                return std::nullopt;
            }
            value = value << 1 | *bit;
        }
        return static_cast<unsigned>(value - 1);
    }

private:
    std::optional<unsigned> read_bit() {
        if (position_ / 8 >= rbsp_.size()) {
            return std::nullopt;
        }
        const unsigned bit = static_cast<unsigned>(rbsp_[position_ / 8] >> (7 - position_ % 8)) & 1u;
        ++position_;
        return bit;
    }

    std::vector<std::uint8_t> rbsp_;
    std::size_t position_ = 0;
};

// Limits of the syntax; a set outside them is rejected by the decoder too,
// so there is nothing to keep.
constexpr unsigned max_sps_id = 31;
constexpr unsigned max_pps_id = 255;

void append_with_start_code(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal) {
    static constexpr std::uint8_t start_code[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(start_code), std::end(start_code));
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

std::vector<Bytes> split_nal_units(Bytes annexb) {
    std::vector<Bytes> units;
    std::size_t i = 0;
    std::optional<std::size_t> unit_start;
    auto close_unit = [&](std::size_t end) {
        if (!unit_start) {
            return;
        }
        while (end > *unit_start && annexb[end - 1] == 0) {
            --end;
        }
        if (end > *unit_start) {
            units.push_back(annexb.subspan(*unit_start, end - *unit_start));
        }
    };
    while (i + 2 < annexb.size()) {
        if (annexb[i] == 0 && annexb[i + 1] == 0 && annexb[i + 2] == 1) {
            close_unit(i);
            i += 3;
            unit_start = i;
        } else {
            ++i;
        }
    }
    close_unit(annexb.size());
    return units;
}

bool contains_idr_slice(Bytes access_unit) {
    const auto units = split_nal_units(access_unit);
    return std::any_of(units.begin(), units.end(),
                       [](Bytes nal) { return nal_unit_type(nal) == nal_type_idr_slice; });
}

void ParameterSetMemory::remember(Bytes access_unit) {
    for (const Bytes nal : split_nal_units(access_unit)) {
        const int type = nal_unit_type(nal);
        if (type == nal_type_sps && nal.size() > 4) {
            // profile_idc, the constraint flags and level_idc come first.
            PayloadBits bits(nal.subspan(1));
            bits.skip(24);
            const auto sps_id = bits.read_unsigned_exp_golomb();
            if (!sps_id || *sps_id > max_sps_id) {
                continue;
            }
            std::vector<std::uint8_t> bytes(nal.begin(), nal.end());
            auto kept = sequence_sets_.find(*sps_id);
            if (kept != sequence_sets_.end() && kept->second == bytes) {
                continue;
            }
            std::erase_if(picture_sets_, [&](const auto& entry) { return entry.second.sps_id == *sps_id; });
            sequence_sets_[*sps_id] = std::move(bytes);
        } else if (type == nal_type_pps && nal.size() > 1) {
            PayloadBits bits(nal.subspan(1));
            const auto pps_id = bits.read_unsigned_exp_golomb();
            const auto sps_id = bits.read_unsigned_exp_golomb();
            if (!pps_id || !sps_id || *pps_id > max_pps_id || *sps_id > max_sps_id ||
                !sequence_sets_.contains(*sps_id)) {
                continue;
            }
            picture_sets_[*pps_id] = PictureSet{*sps_id, std::vector<std::uint8_t>(nal.begin(), nal.end())};
        }
    }
}

std::vector<std::uint8_t> ParameterSetMemory::replay() const {
    std::vector<std::uint8_t> out;
    for (const auto& [id, nal] : sequence_sets_) {
        append_with_start_code(out, nal);
    }
    for (const auto& [id, set] : picture_sets_) {
        append_with_start_code(out, set.nal);
    }
    return out;
}

std::string ParameterSetMemory::sequence_fingerprint() const {
    std::vector<std::uint8_t> out;
    for (const auto& [id, nal] : sequence_sets_) {
        append_with_start_code(out, nal);
    }
    // A string key: GCC 12 at -O3 warns falsely on memcmp inside the
    // three-way comparison of byte vectors that a map key would use.
    return std::string(out.begin(), out.end());
}

}  // namespace pytovrik::cli
