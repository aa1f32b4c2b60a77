#include "decode/stream_key.hpp"

#include <algorithm>
#include <bitset>
#include <span>
#include <string>

#include "common/h264_headers.hpp"

namespace pytovrik {

namespace {

using namespace h264;

bool carries_user_data(Bytes nal) {
    bool found = false;
    const bool readable = for_each_sei_message(nal, [&](std::uint64_t type, Bytes) {
        found = type == SEI_USER_DATA_UNREGISTERED;
        return !found;
    });
    // A message the reader cannot follow may still teach the decoder.
    return found || !readable;
}

class StreamKeyReader {
public:
    void see(Bytes nal) {
        switch (nal_unit_type(nal)) {
        case NAL_SPS:
            see_sequence_set(nal);
            break;
        case NAL_PPS:
            see_picture_set(nal);
            break;
        case NAL_SEI:
            if (carries_user_data(nal)) {
                add_key_unit(nal);
            }
            break;
        case NAL_SLICE:
        case NAL_IDR_SLICE:
            see_slice(nal);
            break;
        default:
            break;
        }
    }

    StreamKey finish() {
        if (!seen_slice_ || distinct_sequence_sets_ != 1 || !key_.defines_its_parameter_sets) {
            key_.poolable = false;
        }
        return std::move(key_);
    }

private:
    void add_key_unit(Bytes nal) {
        const bool known = std::any_of(units_.begin(), units_.end(), [&](Bytes unit) {
            return std::equal(unit.begin(), unit.end(), nal.begin(), nal.end());
        });
        if (known) {
            return;
        }
        if (seen_slice_) {
            key_.poolable = false;  // the stream teaches something new mid-batch
        }
        units_.push_back(nal);
        const auto size = static_cast<std::uint32_t>(nal.size());
        for (int shift = 0; shift < 32; shift += 8) {
            key_.units.push_back(static_cast<std::uint8_t>(size >> shift));
        }
        key_.units.insert(key_.units.end(), nal.begin(), nal.end());
        if (nal_unit_type(nal) == NAL_SPS) {
            ++distinct_sequence_sets_;
        }
    }

    void see_sequence_set(Bytes nal) {
        add_key_unit(nal);
        const auto sps = parse_sequence_parameter_set(nal);
        if (!sps || !sps->bitstream_restriction) {
            key_.poolable = false;
        }
        if (const auto id = sps_id_of(nal)) {
            sequence_sets_.set(*id);
        }
    }

    void see_picture_set(Bytes nal) {
        add_key_unit(nal);
        const auto ids = pps_ids_of(nal);
        if (!ids) {
            return;  // a fresh decoder rejects it just the same
        }
        // A PPS only parses when its SPS is already known.
        if (!sequence_sets_.test(ids->sps_id)) {
            note_undefined("SPS " + std::to_string(ids->sps_id));
            return;
        }
        picture_sets_.set(ids->pps_id);
    }

    void see_slice(Bytes nal) {
        if (!seen_slice_ && nal_unit_type(nal) != NAL_IDR_SLICE) {
            key_.poolable = false;
        }
        seen_slice_ = true;
        const auto pps_id = slice_pps_id(nal);
        if (!pps_id) {
            key_.defines_its_parameter_sets = false;
        } else if (!picture_sets_.test(*pps_id)) {
            note_undefined("PPS " + std::to_string(*pps_id));
        }
    }

    void note_undefined(std::string set) {
        if (key_.defines_its_parameter_sets) {
            key_.undefined_set = std::move(set);
        }
        key_.defines_its_parameter_sets = false;
    }

    StreamKey key_{.units = {}, .poolable = true, .defines_its_parameter_sets = true, .blank = false, .undefined_set = {}};
    std::vector<Bytes> units_;
    int distinct_sequence_sets_ = 0;
    bool seen_slice_ = false;
    std::bitset<MAX_SPS_ID + 1> sequence_sets_;
    std::bitset<MAX_PPS_ID + 1> picture_sets_;
};

}  // namespace

StreamKey stream_key_of(const PacketBatch& packets) {
    if (std::all_of(packets.begin(), packets.end(), [](const OwnedPacket& packet) { return packet.empty(); })) {
        return StreamKey{.units = {}, .poolable = true, .defines_its_parameter_sets = true, .blank = true, .undefined_set = {}};
    }
    StreamKeyReader reader;
    for (const OwnedPacket& packet : packets) {
        const std::span<const std::uint8_t> bytes(packet.data(), packet.size());
        h264::for_each_nal_unit(bytes, [&](Bytes nal) {
            reader.see(nal);
            return true;
        });
    }
    return reader.finish();
}

}  // namespace pytovrik
