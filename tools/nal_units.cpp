#include "nal_units.hpp"

#include <algorithm>

#include "common/h264_syntax.hpp"

namespace pytovrik::cli {
namespace {

void append_with_start_code(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal) {
    static constexpr std::uint8_t start_code[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(start_code), std::end(start_code));
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

std::vector<Bytes> split_nal_units(Bytes annexb) {
    std::vector<Bytes> units;
    h264::for_each_nal_unit(annexb, [&](Bytes nal) {
        units.push_back(nal);
        return true;
    });
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
        if (type == nal_type_sps) {
            const auto sps_id = h264::sps_id_of(nal);
            if (!sps_id) {
                continue;
            }
            std::vector<std::uint8_t> bytes(nal.begin(), nal.end());
            auto kept = sequence_sets_.find(*sps_id);
            if (kept != sequence_sets_.end() && kept->second == bytes) {
                continue;
            }
            std::erase_if(picture_sets_, [&](const auto& entry) { return entry.second.sps_id == *sps_id; });
            sequence_sets_[*sps_id] = std::move(bytes);
        } else if (type == nal_type_pps) {
            const auto ids = h264::pps_ids_of(nal);
            if (!ids || !sequence_sets_.contains(ids->sps_id)) {
                continue;
            }
            picture_sets_[ids->pps_id] = PictureSet{ids->sps_id, std::vector<std::uint8_t>(nal.begin(), nal.end())};
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
