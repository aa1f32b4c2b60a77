#include "mp4/avc_configuration.hpp"

#include "common/h264_syntax.hpp"
#include "mp4/mp4_boxes.hpp"

namespace pytovrik::file::mp4 {
namespace {

// numOfSequenceParameterSets, then numOfPictureParameterSets: each unit
// behind a 16-bit length.
Outcome<void> read_length_prefixed_sets(FieldReader& fields, unsigned count, const char* kind,
                                        SampleDescription& description) {
    for (unsigned i = 0; i < count; ++i) {
        const std::uint16_t length = fields.u16();
        const auto unit = fields.bytes(length);
        if (fields.overrun()) {
            return fail(std::string("the avcC record ends inside its ") + kind + " " + std::to_string(i + 1) + " of " +
                        std::to_string(count));
        }
        description.parameter_sets.emplace_back(unit.begin(), unit.end());
    }
    return {};
}

}  // namespace

Outcome<void> read_avc_configuration(std::span<const std::uint8_t> extradata, SampleDescription& description) {
    description.parameter_sets.clear();
    if (extradata.empty() || extradata[0] != 1) {
        description.length_size = 0;
        h264::for_each_nal_unit(extradata, [&](h264::Bytes unit) {
            const int type = h264::nal_unit_type(unit);
            if (type == h264::NAL_SPS || type == h264::NAL_PPS) {
                description.parameter_sets.emplace_back(unit.begin(), unit.end());
            }
            return true;
        });
        return {};
    }
    if (extradata.size() < 7) {
        return fail("the avcC record holds " + std::to_string(extradata.size()) + " bytes, fewer than 7");
    }
    FieldReader fields(extradata);
    fields.skip(4);
    description.length_size = static_cast<std::uint8_t>((fields.u8() & 3U) + 1);
    const unsigned sps_count = fields.u8() & 0x1FU;
    if (auto sets = read_length_prefixed_sets(fields, sps_count, "sequence parameter set", description); !sets) {
        return sets;
    }
    const unsigned pps_count = fields.u8();
    if (fields.overrun()) {
        return fail("the avcC record ends before its picture parameter set count");
    }
    return read_length_prefixed_sets(fields, pps_count, "picture parameter set", description);
}

}  // namespace pytovrik::file::mp4
