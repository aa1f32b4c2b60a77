// Just enough H.264 syntax to cut a stream into self-contained batches: find
// the NAL units of an access unit, spot IDR pictures, and keep the parameter
// sets a fresh decoder will need.
#pragma once

#include <string>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "common/h264_syntax.hpp"

namespace pytovrik::cli {

using h264::Bytes;

// The NAL units of an Annex B buffer, without start codes or the zero bytes
// that may trail a unit before the next start code.
std::vector<Bytes> split_nal_units(Bytes annexb);

constexpr int nal_type_idr_slice = h264::NAL_IDR_SLICE;
constexpr int nal_type_sps = h264::NAL_SPS;
constexpr int nal_type_pps = h264::NAL_PPS;
using h264::nal_unit_type;

bool contains_idr_slice(Bytes access_unit);

// The latest sequence and picture parameter set of every id seen so far,
// kept the way the decoder keeps them: a sequence parameter set that changes
// makes the decoder drop the picture parameter sets that referred to it.
class ParameterSetMemory {
public:
    void remember(Bytes access_unit);
    // Every kept set as Annex B, sequence sets first so that each picture set
    // finds its sequence set already defined.
    std::vector<std::uint8_t> replay() const;
    // Changes whenever a kept sequence parameter set does (and with it,
    // possibly, the decoded picture size).
    std::string sequence_fingerprint() const;

private:
    struct PictureSet {
        unsigned sps_id = 0;
        std::vector<std::uint8_t> nal;
    };
    std::map<unsigned, std::vector<std::uint8_t>> sequence_sets_;
    std::map<unsigned, PictureSet> picture_sets_;
};

}  // namespace pytovrik::cli
