#include "decode/parameter_sets.hpp"

#include <bitset>
#include <cstdint>
#include <span>

#include "common/h264_syntax.hpp"

namespace pytovrik {

namespace {

using namespace h264;

class ParameterSetTracker {
public:
    // False once the batch is known to need a parameter set from outside.
    bool see(std::span<const std::uint8_t> nal) {
        if (nal.empty()) {
            return true;
        }
        switch (nal_unit_type(nal)) {
            case NAL_SPS: {
                if (const auto id = sps_id_of(nal)) {
                    sps_.set(*id);
                }
                return true;
            }
            case NAL_PPS: {
                const auto ids = pps_ids_of(nal);
                if (!ids) {
                    return true;  // a fresh decoder rejects it just the same
                }
                // A PPS only parses when its SPS is already known.
                if (!sps_.test(ids->sps_id)) {
                    return false;
                }
                pps_.set(ids->pps_id);
                return true;
            }
            case NAL_SLICE:
            case NAL_IDR_SLICE: {
                PayloadBits bits(nal.subspan(1));
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

}  // namespace

bool batch_defines_its_parameter_sets(const PacketBatch& packets) {
    ParameterSetTracker tracker;
    for (const OwnedPacket& packet : packets) {
        const std::span<const std::uint8_t> bytes(packet.data(), packet.size());
        if (!h264::for_each_nal_unit(bytes, [&](std::span<const std::uint8_t> nal) { return tracker.see(nal); })) {
            return false;
        }
    }
    return true;
}

}  // namespace pytovrik
