// The header syntax of H.264 that decides how a decoder treats a stream:
// sequence and picture parameter sets, the start of a slice header, and SEI
// messages. Read straight from the NAL units, header only, so the library,
// the file layer and the tools share one reader. Every reader returns
// std::nullopt for a unit it cannot read whole; callers treat that as "not
// known", never as a default.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/h264_syntax.hpp"

namespace pytovrik::h264 {

// SEI payload types the callers care about.
constexpr std::uint32_t SEI_USER_DATA_UNREGISTERED = 5;
constexpr std::uint32_t SEI_RECOVERY_POINT = 6;

struct SequenceParameterSet {
    std::uint32_t id = 0;
    std::uint32_t profile_idc = 0;
    std::uint32_t level_idc = 0;
    std::uint32_t constraint_flags = 0;  // constraint_set0_flag in the top bit of the byte
    std::uint32_t chroma_format_idc = 1;
    bool separate_colour_plane = false;
    std::uint32_t log2_max_frame_num = 4;
    std::uint32_t pic_order_cnt_type = 0;
    std::uint32_t log2_max_pic_order_cnt_lsb = 4;
    bool delta_pic_order_always_zero = false;
    // Picture order count type 1: the expected count advances by a cycle
    // of offsets, one per reference frame.
    std::int32_t offset_for_non_ref_pic = 0;
    std::int32_t offset_for_top_to_bottom_field = 0;
    std::vector<std::int32_t> offsets_for_ref_frame;
    std::uint32_t max_num_ref_frames = 0;
    std::uint32_t width_in_mbs = 0;
    std::uint32_t height_in_map_units = 0;
    bool frame_mbs_only = true;
    bool mb_adaptive_frame_field = false;
    // frame_crop_left/right/top/bottom_offset, in the SPS's own units.
    std::array<std::uint32_t, 4> crop{};
    bool vui_present = false;
    bool bitstream_restriction = false;
    std::uint32_t max_num_reorder_frames = 0;
    std::uint32_t max_dec_frame_buffering = 0;
    // Bit offset of bitstream_restriction_flag in the payload (after the
    // header byte, escapes removed); 0 when there is no VUI.
    std::size_t bitstream_restriction_bit = 0;

    std::uint32_t frame_height_in_mbs() const { return height_in_map_units * (frame_mbs_only ? 1U : 2U); }

    // The picture size after cropping; 0 for a crop that eats the picture.
    std::uint32_t width() const {
        const std::uint32_t unit = chroma_format_idc == 1 || chroma_format_idc == 2 ? 2U : 1U;
        const std::uint64_t cut = std::uint64_t{unit} * (std::uint64_t{crop[0]} + crop[1]);
        const std::uint64_t full = std::uint64_t{width_in_mbs} * 16;
        return cut < full ? static_cast<std::uint32_t>(full - cut) : 0;
    }
    std::uint32_t height() const {
        const std::uint32_t unit = (chroma_format_idc == 1 ? 2U : 1U) * (frame_mbs_only ? 1U : 2U);
        const std::uint64_t cut = std::uint64_t{unit} * (std::uint64_t{crop[2]} + crop[3]);
        const std::uint64_t full = std::uint64_t{frame_height_in_mbs()} * 16;
        return cut < full ? static_cast<std::uint32_t>(full - cut) : 0;
    }
};

struct PictureParameterSet {
    std::uint32_t id = 0;
    std::uint32_t sps_id = 0;
    bool bottom_field_pic_order_in_frame_present = false;
    // What the rest of a slice header depends on; known when `complete`.
    bool complete = false;
    std::uint32_t num_ref_idx_l0_default = 1;
    std::uint32_t num_ref_idx_l1_default = 1;
    bool weighted_pred = false;
    std::uint32_t weighted_bipred_idc = 0;
    bool redundant_pic_cnt_present = false;
};

// The fields of a slice header up to the picture order count, which tell
// which picture (or field) a slice belongs to.
struct SliceHeaderStart {
    std::uint32_t first_mb_in_slice = 0;
    std::uint32_t slice_type = 0;  // 0 to 9; modulo 5: P, B, I, SP, SI
    std::uint32_t pps_id = 0;
    std::uint32_t frame_num = 0;
    bool field_pic = false;
    bool bottom_field = false;
    std::uint32_t idr_pic_id = 0;
    std::uint32_t pic_order_cnt_lsb = 0;
    std::int64_t delta_pic_order_cnt_bottom = 0;
    // Picture order count type 1: the picture's deltas from the expected count.
    std::array<std::int64_t, 2> delta_pic_order_cnt{};
    // memory_management_control_operation 5 (the picture order restarts
    // after this picture), when the header could be read that far.
    bool resets_picture_order = false;
    bool read_to_ref_pic_marking = false;

    bool intra() const { return slice_type % 5 == 2 || slice_type % 5 == 4; }
    bool predicted_both_ways() const { return slice_type % 5 == 1; }
};

// Each reader returns std::nullopt for a unit it cannot read whole (the
// parsing lives in h264_headers.cpp).
std::optional<SequenceParameterSet> parse_sequence_parameter_set(Bytes nal);
// A PPS whose fields past the sequence set and field order cannot be read is
// returned with `complete` false.
std::optional<PictureParameterSet> parse_picture_parameter_set(Bytes nal);
// The id of the PPS a slice refers to, without knowing any parameter set.
std::optional<std::uint32_t> slice_pps_id(Bytes nal);
// `sps` and `pps` must be the sets the slice refers to (pps.id ==
// slice_pps_id(nal), sps.id == pps.sps_id).
std::optional<SliceHeaderStart> parse_slice_header_start(Bytes nal, const SequenceParameterSet& sps,
                                                         const PictureParameterSet& pps);

// Calls `visit(payload_type, payload)` for each message of an SEI NAL unit,
// payloads with their escapes removed. False when the unit is not an SEI or
// a message runs past its end.
template <class Visit>
bool for_each_sei_message(Bytes nal, Visit&& visit) {
    if (nal_unit_type(nal) != NAL_SEI) {
        return false;
    }
    std::vector<std::uint8_t> rbsp;
    rbsp.reserve(nal.size());
    int zeros = 0;
    for (const std::uint8_t byte : nal.subspan(nal.empty() ? 0 : 1)) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        rbsp.push_back(byte);
    }
    std::size_t at = 0;
    auto read_number = [&](std::uint64_t& value) {
        value = 0;
        while (at < rbsp.size() && rbsp[at] == 0xFF) {
            value += 255;
            ++at;
        }
        if (at == rbsp.size()) {
            return false;
        }
        value += rbsp[at++];
        return true;
    };
    // The last byte holds the stop bit; messages end before it.
    while (at + 1 < rbsp.size()) {
        std::uint64_t type = 0;
        std::uint64_t size = 0;
        if (!read_number(type) || !read_number(size) || size > rbsp.size() - at) {
            return false;
        }
        if (!visit(type, Bytes(rbsp).subspan(at, static_cast<std::size_t>(size)))) {
            return true;
        }
        at += static_cast<std::size_t>(size);
    }
    return true;
}

// recovery_frame_cnt of a recovery point SEI message's payload.
std::optional<std::uint32_t> recovery_frame_count(Bytes payload);

}  // namespace pytovrik::h264
