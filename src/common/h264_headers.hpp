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

namespace detail {

// A parameter set is a few dozen bytes; one with scaling lists and HRD
// parameters stays far below this.
using HeaderBits = PayloadBits<1024>;

inline Bytes payload_of(Bytes nal) { return nal.subspan(nal.empty() ? 0 : 1); }

inline bool skip_scaling_list(HeaderBits& bits, int size) {
    std::int64_t last = 8;
    std::int64_t next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            const auto delta = bits.read_se();
            if (!delta || *delta < -128 || *delta > 127) {
                return false;
            }
            next = (last + *delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return true;
}

inline bool skip_hrd_parameters(HeaderBits& bits) {
    const auto cpb_count = bits.read_ue();
    if (!cpb_count || *cpb_count > 31 || !bits.read_bits(8)) {
        return false;
    }
    for (std::uint32_t i = 0; i <= *cpb_count; ++i) {
        if (!bits.read_ue() || !bits.read_ue() || !bits.read_bit()) {
            return false;
        }
    }
    return bits.read_bits(20).has_value();  // four delay and length fields
}

inline bool profile_has_chroma_syntax(std::uint32_t profile) {
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

// The VUI up to and through bitstream_restriction.
inline bool read_vui(HeaderBits& bits, SequenceParameterSet& sps) {
    auto flag = [&] { return bits.read_bit(); };
    const auto aspect = flag();
    if (!aspect) return false;
    if (*aspect != 0) {
        const auto idc = bits.read_bits(8);
        if (!idc || (*idc == 255 && !bits.read_bits(32))) return false;
    }
    const auto overscan = flag();
    if (!overscan || (*overscan != 0 && !flag())) return false;
    const auto signal = flag();
    if (!signal) return false;
    if (*signal != 0) {
        const auto format_range_description = bits.read_bits(5);
        if (!format_range_description || ((*format_range_description & 1U) != 0 && !bits.read_bits(24))) {
            return false;
        }
    }
    const auto chroma_location = flag();
    if (!chroma_location || (*chroma_location != 0 && (!bits.read_ue() || !bits.read_ue()))) return false;
    const auto timing = flag();
    if (!timing || (*timing != 0 && (!bits.read_bits(32) || !bits.read_bits(32) || !flag()))) return false;
    const auto nal_hrd = flag();
    if (!nal_hrd || (*nal_hrd != 0 && !skip_hrd_parameters(bits))) return false;
    const auto vcl_hrd = flag();
    if (!vcl_hrd || (*vcl_hrd != 0 && !skip_hrd_parameters(bits))) return false;
    if ((*nal_hrd != 0 || *vcl_hrd != 0) && !flag()) return false;  // low_delay_hrd_flag
    if (!flag()) return false;                                        // pic_struct_present_flag
    sps.bitstream_restriction_bit = bits.position();
    const auto restriction = flag();
    if (!restriction) return false;
    if (*restriction != 0) {
        if (!flag()) return false;  // motion_vectors_over_pic_boundaries_flag
        for (int i = 0; i < 4; ++i) {
            if (!bits.read_ue()) return false;
        }
        const auto reorder = bits.read_ue();
        const auto buffering = bits.read_ue();
        if (!reorder || !buffering) return false;
        sps.bitstream_restriction = true;
        sps.max_num_reorder_frames = *reorder;
        sps.max_dec_frame_buffering = *buffering;
    }
    return true;
}

template <class Bits>
bool skip_ref_pic_list_modification(Bits& bits) {
    const auto present = bits.read_bit();
    if (!present) return false;
    if (*present == 0) return true;
    for (int i = 0; i < 100; ++i) {
        const auto idc = bits.read_ue();
        if (!idc || *idc > 5) return false;
        if (*idc == 3) return true;
        if (!bits.read_ue()) return false;
    }
    return false;
}

template <class Bits>
bool skip_weights(Bits& bits, std::uint32_t count, bool chroma) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto luma = bits.read_bit();
        if (!luma || (*luma != 0 && (!bits.read_se() || !bits.read_se()))) return false;
        if (chroma) {
            const auto present = bits.read_bit();
            if (!present) return false;
            if (*present != 0) {
                for (int j = 0; j < 4; ++j) {
                    if (!bits.read_se()) return false;
                }
            }
        }
    }
    return true;
}

// The slice header from after the picture order count fields to the end of
// dec_ref_pic_marking, noting a memory_management_control_operation 5.
template <class Bits>
bool read_to_ref_pic_marking(Bits& bits, const SequenceParameterSet& sps, const PictureParameterSet& pps,
                             SliceHeaderStart& slice, bool idr, bool reference) {
    if (pps.redundant_pic_cnt_present && !bits.read_ue()) return false;
    const std::uint32_t kind = slice.slice_type % 5;  // P, B, I, SP, SI
    const bool predicted = kind == 0 || kind == 1 || kind == 3;
    if (kind == 1 && !bits.read_bit()) return false;  // direct_spatial_mv_pred_flag
    std::uint32_t l0 = pps.num_ref_idx_l0_default;
    std::uint32_t l1 = pps.num_ref_idx_l1_default;
    if (predicted) {
        const auto override_counts = bits.read_bit();
        if (!override_counts) return false;
        if (*override_counts != 0) {
            const auto count0 = bits.read_ue();
            if (!count0 || *count0 > 31) return false;
            l0 = *count0 + 1;
            if (kind == 1) {
                const auto count1 = bits.read_ue();
                if (!count1 || *count1 > 31) return false;
                l1 = *count1 + 1;
            }
        }
        if (!skip_ref_pic_list_modification(bits)) return false;
        if (kind == 1 && !skip_ref_pic_list_modification(bits)) return false;
    }
    if ((pps.weighted_pred && (kind == 0 || kind == 3)) || (pps.weighted_bipred_idc == 1 && kind == 1)) {
        const bool chroma = sps.chroma_format_idc != 0 && !sps.separate_colour_plane;
        if (!bits.read_ue() || (chroma && !bits.read_ue())) return false;  // weight denominators
        if (!skip_weights(bits, l0, chroma)) return false;
        if (kind == 1 && !skip_weights(bits, l1, chroma)) return false;
    }
    if (!reference) return true;
    if (idr) return bits.read_bit() && bits.read_bit();
    const auto adaptive = bits.read_bit();
    if (!adaptive) return false;
    if (*adaptive == 0) return true;
    for (int i = 0; i < 100; ++i) {
        const auto operation = bits.read_ue();
        if (!operation || *operation > 6) return false;
        if (*operation == 0) return true;
        slice.resets_picture_order = slice.resets_picture_order || *operation == 5;
        if (*operation != 5 && !bits.read_ue()) return false;  // the operation's first argument
        if (*operation == 3 && !bits.read_ue()) return false;  // and 3's second
    }
    return false;
}

}  // namespace detail

inline std::optional<SequenceParameterSet> parse_sequence_parameter_set(Bytes nal) {
    if (nal_unit_type(nal) != NAL_SPS) {
        return std::nullopt;
    }
    detail::HeaderBits bits(detail::payload_of(nal));
    SequenceParameterSet sps;
    const auto profile = bits.read_bits(8);
    const auto constraints = bits.read_bits(8);
    const auto level = bits.read_bits(8);
    const auto id = bits.read_ue();
    if (!profile || !constraints || !level || !id || *id > MAX_SPS_ID) {
        return std::nullopt;
    }
    sps.profile_idc = *profile;
    sps.constraint_flags = *constraints;
    sps.level_idc = *level;
    sps.id = *id;
    if (detail::profile_has_chroma_syntax(sps.profile_idc)) {
        const auto chroma = bits.read_ue();
        if (!chroma || *chroma > 3) {
            return std::nullopt;
        }
        sps.chroma_format_idc = *chroma;
        if (*chroma == 3) {
            const auto separate = bits.read_bit();
            if (!separate) return std::nullopt;
            sps.separate_colour_plane = *separate != 0;
        }
        if (!bits.read_ue() || !bits.read_ue() || !bits.read_bit()) {  // bit depths, transform bypass
            return std::nullopt;
        }
        const auto matrices = bits.read_bit();
        if (!matrices) return std::nullopt;
        if (*matrices != 0) {
            const int lists = sps.chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                const auto present = bits.read_bit();
                if (!present || (*present != 0 && !detail::skip_scaling_list(bits, i < 6 ? 16 : 64))) {
                    return std::nullopt;
                }
            }
        }
    }
    const auto frame_num_bits = bits.read_ue();
    const auto poc_type = bits.read_ue();
    if (!frame_num_bits || *frame_num_bits > 12 || !poc_type || *poc_type > 2) {
        return std::nullopt;
    }
    sps.log2_max_frame_num = *frame_num_bits + 4;
    sps.pic_order_cnt_type = *poc_type;
    if (*poc_type == 0) {
        const auto lsb_bits = bits.read_ue();
        if (!lsb_bits || *lsb_bits > 12) return std::nullopt;
        sps.log2_max_pic_order_cnt_lsb = *lsb_bits + 4;
    } else if (*poc_type == 1) {
        const auto always_zero = bits.read_bit();
        const auto non_ref = bits.read_se();
        const auto top_to_bottom = bits.read_se();
        const auto cycle = bits.read_ue();
        if (!always_zero || !non_ref || !top_to_bottom || !cycle || *cycle > 255) return std::nullopt;
        sps.delta_pic_order_always_zero = *always_zero != 0;
        sps.offset_for_non_ref_pic = static_cast<std::int32_t>(*non_ref);
        sps.offset_for_top_to_bottom_field = static_cast<std::int32_t>(*top_to_bottom);
        for (std::uint32_t i = 0; i < *cycle; ++i) {
            const auto offset = bits.read_se();
            if (!offset) return std::nullopt;
            sps.offsets_for_ref_frame.push_back(static_cast<std::int32_t>(*offset));
        }
    }
    const auto refs = bits.read_ue();
    const auto gaps = bits.read_bit();
    const auto width = bits.read_ue();
    const auto height = bits.read_ue();
    const auto frame_mbs_only = bits.read_bit();
    if (!refs || !gaps || !width || !height || !frame_mbs_only || *width >= 0x10000 || *height >= 0x10000) {
        return std::nullopt;
    }
    sps.max_num_ref_frames = *refs;
    sps.width_in_mbs = *width + 1;
    sps.height_in_map_units = *height + 1;
    sps.frame_mbs_only = *frame_mbs_only != 0;
    if (!sps.frame_mbs_only) {
        const auto adaptive = bits.read_bit();
        if (!adaptive) return std::nullopt;
        sps.mb_adaptive_frame_field = *adaptive != 0;
    }
    const auto direct = bits.read_bit();
    const auto cropping = bits.read_bit();
    if (!direct || !cropping) return std::nullopt;
    if (*cropping != 0) {
        for (std::uint32_t& side : sps.crop) {
            const auto offset = bits.read_ue();
            if (!offset) return std::nullopt;
            side = *offset;
        }
    }
    const auto vui = bits.read_bit();
    if (!vui) return std::nullopt;
    sps.vui_present = *vui != 0;
    if (sps.vui_present && !detail::read_vui(bits, sps)) {
        return std::nullopt;
    }
    return sps;
}

inline std::optional<PictureParameterSet> parse_picture_parameter_set(Bytes nal) {
    if (nal_unit_type(nal) != NAL_PPS) {
        return std::nullopt;
    }
    detail::HeaderBits bits(detail::payload_of(nal));
    const auto id = bits.read_ue();
    const auto sps_id = bits.read_ue();
    const auto entropy = bits.read_bit();
    const auto bottom_field_order = bits.read_bit();
    if (!id || !sps_id || !entropy || !bottom_field_order || *id > MAX_PPS_ID || *sps_id > MAX_SPS_ID) {
        return std::nullopt;
    }
    PictureParameterSet pps;
    pps.id = *id;
    pps.sps_id = *sps_id;
    pps.bottom_field_pic_order_in_frame_present = *bottom_field_order != 0;
    // Slice groups (Baseline's FMO) come next; their maps are skipped.
    const auto groups = bits.read_ue();
    if (!groups || *groups > 7) {
        return pps;
    }
    if (*groups > 0) {
        const auto map_type = bits.read_ue();
        if (!map_type || *map_type > 6) {
            return pps;
        }
        bool read = true;
        if (*map_type == 0) {
            for (std::uint32_t i = 0; i <= *groups && read; ++i) read = bits.read_ue().has_value();
        } else if (*map_type == 2) {
            for (std::uint32_t i = 0; i < *groups && read; ++i) read = bits.read_ue() && bits.read_ue();
        } else if (*map_type >= 3 && *map_type <= 5) {
            read = bits.read_bit() && bits.read_ue();
        } else if (*map_type == 6) {
            const auto units = bits.read_ue();
            int id_bits = 0;
            while ((1U << id_bits) < *groups + 1) ++id_bits;
            read = units && *units < (1U << 20);
            for (std::uint32_t i = 0; read && i <= *units; ++i) read = bits.read_bits(id_bits).has_value();
        }
        if (!read) {
            return pps;
        }
    }
    const auto l0 = bits.read_ue();
    const auto l1 = bits.read_ue();
    const auto weighted = bits.read_bit();
    const auto bipred = bits.read_bits(2);
    if (!l0 || !l1 || !weighted || !bipred || *l0 > 31 || *l1 > 31 || !bits.read_se() || !bits.read_se() ||
        !bits.read_se() || !bits.read_bit() || !bits.read_bit()) {
        return pps;
    }
    const auto redundant = bits.read_bit();
    if (!redundant) {
        return pps;
    }
    pps.num_ref_idx_l0_default = *l0 + 1;
    pps.num_ref_idx_l1_default = *l1 + 1;
    pps.weighted_pred = *weighted != 0;
    pps.weighted_bipred_idc = *bipred;
    pps.redundant_pic_cnt_present = *redundant != 0;
    pps.complete = true;
    return pps;
}

// The id of the PPS a slice refers to, without knowing any parameter set.
inline std::optional<std::uint32_t> slice_pps_id(Bytes nal) {
    PayloadBits bits(detail::payload_of(nal));
    const auto first_mb = bits.read_ue();
    const auto slice_type = bits.read_ue();
    const auto pps_id = bits.read_ue();
    if (!first_mb || !slice_type || !pps_id || *slice_type > 9 || *pps_id > MAX_PPS_ID) {
        return std::nullopt;
    }
    return pps_id;
}

// `sps` and `pps` must be the sets the slice refers to (pps.id ==
// slice_pps_id(nal), sps.id == pps.sps_id).
inline std::optional<SliceHeaderStart> parse_slice_header_start(Bytes nal, const SequenceParameterSet& sps,
                                                                const PictureParameterSet& pps) {
    const int type = nal_unit_type(nal);
    if (type != NAL_SLICE && type != NAL_IDR_SLICE) {
        return std::nullopt;
    }
    PayloadBits<512> bits(detail::payload_of(nal));
    SliceHeaderStart slice;
    const auto first_mb = bits.read_ue();
    const auto slice_type = bits.read_ue();
    const auto pps_id = bits.read_ue();
    if (!first_mb || !slice_type || !pps_id || *slice_type > 9 || *pps_id != pps.id) {
        return std::nullopt;
    }
    slice.first_mb_in_slice = *first_mb;
    slice.slice_type = *slice_type;
    slice.pps_id = *pps_id;
    if (sps.separate_colour_plane && !bits.read_bits(2)) {
        return std::nullopt;
    }
    const auto frame_num = bits.read_bits(static_cast<int>(sps.log2_max_frame_num));
    if (!frame_num) return std::nullopt;
    slice.frame_num = *frame_num;
    if (!sps.frame_mbs_only) {
        const auto field = bits.read_bit();
        if (!field) return std::nullopt;
        slice.field_pic = *field != 0;
        if (slice.field_pic) {
            const auto bottom = bits.read_bit();
            if (!bottom) return std::nullopt;
            slice.bottom_field = *bottom != 0;
        }
    }
    if (type == NAL_IDR_SLICE) {
        const auto idr_pic_id = bits.read_ue();
        if (!idr_pic_id) return std::nullopt;
        slice.idr_pic_id = *idr_pic_id;
    }
    if (sps.pic_order_cnt_type == 0) {
        const auto lsb = bits.read_bits(static_cast<int>(sps.log2_max_pic_order_cnt_lsb));
        if (!lsb) return std::nullopt;
        slice.pic_order_cnt_lsb = *lsb;
        if (pps.bottom_field_pic_order_in_frame_present && !slice.field_pic) {
            const auto delta = bits.read_se();
            if (!delta) return std::nullopt;
            slice.delta_pic_order_cnt_bottom = *delta;
        }
    }
    if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero) {
        const bool both = pps.bottom_field_pic_order_in_frame_present && !slice.field_pic;
        for (std::size_t i = 0; i < (both ? 2U : 1U); ++i) {
            const auto delta = bits.read_se();
            if (!delta) return std::nullopt;
            slice.delta_pic_order_cnt[i] = *delta;
        }
    }
    if (pps.complete) {
        slice.read_to_ref_pic_marking = detail::read_to_ref_pic_marking(bits, sps, pps, slice, type == NAL_IDR_SLICE,
                                                                        (nal[0] & 0x60) != 0);
    }
    return slice;
}

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
    for (const std::uint8_t byte : detail::payload_of(nal)) {
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
inline std::optional<std::uint32_t> recovery_frame_count(Bytes payload) {
    PayloadBits bits(payload);
    return bits.read_ue();
}

}  // namespace pytovrik::h264
