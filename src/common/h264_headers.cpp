#include "common/h264_headers.hpp"

namespace pytovrik::h264 {

namespace {

// Reads a header as its syntax table reads: a read past the bytes kept, or a
// value out of its range, marks the reader failed once and yields 0 from
// then on, and each syntax structure is checked once at its end. A failed
// reader's zeros bound every loop that follows.
template <std::size_t Capacity>
class SyntaxReader {
public:
    explicit SyntaxReader(Bytes nal) : bits_(nal.subspan(nal.empty() ? 0 : 1)) {}

    std::uint32_t u(int count) { return checked(bits_.read_bits(count)); }
    bool flag() { return u(1) != 0; }
    std::uint32_t ue(std::uint32_t max = UINT32_MAX) {
        const auto value = checked(bits_.read_ue());
        return value <= max ? value : fail_with(0U);
    }
    std::int64_t se(std::int64_t min = INT64_MIN, std::int64_t max = INT64_MAX) {
        const auto value = bits_.read_se();
        if (!value || *value < min || *value > max) {
            return fail_with(std::int64_t{0});
        }
        return failed_ ? 0 : *value;
    }
    std::size_t position() const { return bits_.position(); }
    bool ok() const { return !failed_; }
    void fail() { failed_ = true; }

private:
    std::uint32_t checked(std::optional<std::uint32_t> value) { return value && !failed_ ? *value : fail_with(0U); }
    template <class T>
    T fail_with(T zero) {
        failed_ = true;
        return zero;
    }

    PayloadBits<Capacity> bits_;
    bool failed_ = false;
};

// A parameter set is a few dozen bytes; one with scaling lists and HRD
// parameters stays far below this. A slice header is read as far as
// dec_ref_pic_marking, within its first bytes.
using SetReader = SyntaxReader<1024>;
using SliceReader = SyntaxReader<512>;

void skip_scaling_list(SetReader& r, int size) {
    std::int64_t last = 8;
    std::int64_t next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            next = (last + r.se(-128, 127) + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

void skip_hrd_parameters(SetReader& r) {
    const std::uint32_t cpb_count = r.ue(31);
    r.u(8);  // bit_rate_scale, cpb_size_scale
    for (std::uint32_t i = 0; i <= cpb_count && r.ok(); ++i) {
        r.ue();  // bit_rate_value_minus1
        r.ue();  // cpb_size_value_minus1
        r.flag();  // cbr_flag
    }
    r.u(20);  // four delay and length fields
}

bool profile_has_chroma_syntax(std::uint32_t profile) {
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

// The VUI up to and through bitstream_restriction.
void read_vui(SetReader& r, SequenceParameterSet& sps) {
    if (r.flag() && r.u(8) == 255) {  // aspect_ratio_info_present_flag, aspect_ratio_idc
        r.u(32);  // sar_width, sar_height
    }
    if (r.flag()) {  // overscan_info_present_flag
        r.flag();
    }
    if (r.flag() && (r.u(5) & 1U) != 0) {  // video_signal_type_present_flag; video_format, full range, colour
        r.u(24);  // colour_primaries, transfer_characteristics, matrix_coefficients
    }
    if (r.flag()) {  // chroma_loc_info_present_flag
        r.ue();
        r.ue();
    }
    if (r.flag()) {  // timing_info_present_flag
        r.u(32);
        r.u(32);
        r.flag();
    }
    const bool nal_hrd = r.flag();
    if (nal_hrd) {
        skip_hrd_parameters(r);
    }
    const bool vcl_hrd = r.flag();
    if (vcl_hrd) {
        skip_hrd_parameters(r);
    }
    if (nal_hrd || vcl_hrd) {
        r.flag();  // low_delay_hrd_flag
    }
    r.flag();  // pic_struct_present_flag
    sps.bitstream_restriction_bit = r.position();
    if (r.flag()) {
        r.flag();  // motion_vectors_over_pic_boundaries_flag
        for (int i = 0; i < 4; ++i) {
            r.ue();  // max_bytes_per_pic_denom, max_bits_per_mb_denom, log2 max mv lengths
        }
        sps.max_num_reorder_frames = r.ue();
        sps.max_dec_frame_buffering = r.ue();
        sps.bitstream_restriction = true;
    }
}

// From chroma_format_idc to the scaling matrices, in the profiles that have them.
void read_chroma_syntax(SetReader& r, SequenceParameterSet& sps) {
    sps.chroma_format_idc = r.ue(3);
    if (sps.chroma_format_idc == 3) {
        sps.separate_colour_plane = r.flag();
    }
    r.ue();    // bit_depth_luma_minus8
    r.ue();    // bit_depth_chroma_minus8
    r.flag();  // qpprime_y_zero_transform_bypass_flag
    if (r.flag()) {  // seq_scaling_matrix_present_flag
        const int lists = sps.chroma_format_idc == 3 ? 12 : 8;
        for (int i = 0; i < lists && r.ok(); ++i) {
            if (r.flag()) {
                skip_scaling_list(r, i < 6 ? 16 : 64);
            }
        }
    }
}

void read_picture_order(SetReader& r, SequenceParameterSet& sps) {
    sps.pic_order_cnt_type = r.ue(2);
    if (sps.pic_order_cnt_type == 0) {
        sps.log2_max_pic_order_cnt_lsb = r.ue(12) + 4;
    } else if (sps.pic_order_cnt_type == 1) {
        sps.delta_pic_order_always_zero = r.flag();
        sps.offset_for_non_ref_pic = static_cast<std::int32_t>(r.se());
        sps.offset_for_top_to_bottom_field = static_cast<std::int32_t>(r.se());
        const std::uint32_t cycle = r.ue(255);
        for (std::uint32_t i = 0; i < cycle && r.ok(); ++i) {
            sps.offsets_for_ref_frame.push_back(static_cast<std::int32_t>(r.se()));
        }
    }
}

// Slice groups (Baseline's FMO): their maps are skipped.
void skip_slice_groups(SetReader& r) {
    const std::uint32_t groups = r.ue(7);
    if (groups == 0) {
        return;
    }
    const std::uint32_t map_type = r.ue(6);
    if (map_type == 0) {
        for (std::uint32_t i = 0; i <= groups && r.ok(); ++i) {
            r.ue();  // run_length_minus1
        }
    } else if (map_type == 2) {
        for (std::uint32_t i = 0; i < groups && r.ok(); ++i) {
            r.ue();  // top_left
            r.ue();  // bottom_right
        }
    } else if (map_type >= 3 && map_type <= 5) {
        r.flag();  // slice_group_change_direction_flag
        r.ue();    // slice_group_change_rate_minus1
    } else if (map_type == 6) {
        const std::uint32_t units = r.ue((1U << 20) - 1);
        int id_bits = 0;
        while ((1U << id_bits) < groups + 1) {
            ++id_bits;
        }
        for (std::uint32_t i = 0; i <= units && r.ok(); ++i) {
            r.u(id_bits);
        }
    }
}

void skip_ref_pic_list_modification(SliceReader& r) {
    if (!r.flag()) {
        return;
    }
    for (int i = 0; i < 100 && r.ok(); ++i) {
        const std::uint32_t idc = r.ue(5);
        if (idc == 3) {
            return;
        }
        r.ue();  // abs_diff_pic_num_minus1 or long_term_pic_num
    }
    r.fail();  // a list that never ends
}

void skip_weights(SliceReader& r, std::uint32_t count, bool chroma) {
    for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
        if (r.flag()) {  // luma_weight_flag
            r.se();
            r.se();
        }
        if (chroma && r.flag()) {
            for (int j = 0; j < 4; ++j) {
                r.se();
            }
        }
    }
}

// dec_ref_pic_marking, noting a memory_management_control_operation 5.
void read_ref_pic_marking(SliceReader& r, SliceHeaderStart& slice, bool idr) {
    if (idr) {
        r.flag();  // no_output_of_prior_pics_flag
        r.flag();  // long_term_reference_flag
        return;
    }
    if (!r.flag()) {  // adaptive_ref_pic_marking_mode_flag
        return;
    }
    for (int i = 0; i < 100 && r.ok(); ++i) {
        const std::uint32_t operation = r.ue(6);
        if (operation == 0) {
            return;
        }
        slice.resets_picture_order = slice.resets_picture_order || (operation == 5 && r.ok());
        if (operation != 5) {
            r.ue();  // the operation's first argument
        }
        if (operation == 3) {
            r.ue();  // and 3's second
        }
    }
    r.fail();  // a list that never ends
}

// The slice header from after the picture order count fields to the end of
// dec_ref_pic_marking.
void read_to_ref_pic_marking(SliceReader& r, const SequenceParameterSet& sps, const PictureParameterSet& pps,
                             SliceHeaderStart& slice, bool idr, bool reference) {
    if (pps.redundant_pic_cnt_present) {
        r.ue();
    }
    const std::uint32_t kind = slice.slice_type % 5;  // P, B, I, SP, SI
    const bool predicted = kind == 0 || kind == 1 || kind == 3;
    if (kind == 1) {
        r.flag();  // direct_spatial_mv_pred_flag
    }
    std::uint32_t l0 = pps.num_ref_idx_l0_default;
    std::uint32_t l1 = pps.num_ref_idx_l1_default;
    if (predicted) {
        if (r.flag()) {  // num_ref_idx_active_override_flag
            l0 = r.ue(31) + 1;
            if (kind == 1) {
                l1 = r.ue(31) + 1;
            }
        }
        skip_ref_pic_list_modification(r);
        if (kind == 1) {
            skip_ref_pic_list_modification(r);
        }
    }
    if ((pps.weighted_pred && (kind == 0 || kind == 3)) || (pps.weighted_bipred_idc == 1 && kind == 1)) {
        const bool chroma = sps.chroma_format_idc != 0 && !sps.separate_colour_plane;
        r.ue();  // luma_log2_weight_denom
        if (chroma) {
            r.ue();  // chroma_log2_weight_denom
        }
        skip_weights(r, l0, chroma);
        if (kind == 1) {
            skip_weights(r, l1, chroma);
        }
    }
    if (reference) {
        read_ref_pic_marking(r, slice, idr);
    }
}

}  // namespace

std::optional<SequenceParameterSet> parse_sequence_parameter_set(Bytes nal) {
    if (nal_unit_type(nal) != NAL_SPS) {
        return std::nullopt;
    }
    SetReader r(nal);
    SequenceParameterSet sps;
    sps.profile_idc = r.u(8);
    sps.constraint_flags = r.u(8);
    sps.level_idc = r.u(8);
    sps.id = r.ue(MAX_SPS_ID);
    if (profile_has_chroma_syntax(sps.profile_idc)) {
        read_chroma_syntax(r, sps);
    }
    sps.log2_max_frame_num = r.ue(12) + 4;
    read_picture_order(r, sps);
    sps.max_num_ref_frames = r.ue();
    r.flag();  // gaps_in_frame_num_value_allowed_flag
    sps.width_in_mbs = r.ue(0xFFFF) + 1;
    sps.height_in_map_units = r.ue(0xFFFF) + 1;
    sps.frame_mbs_only = r.flag();
    if (!sps.frame_mbs_only) {
        sps.mb_adaptive_frame_field = r.flag();
    }
    r.flag();  // direct_8x8_inference_flag
    if (r.flag()) {  // frame_cropping_flag
        for (std::uint32_t& side : sps.crop) {
            side = r.ue();
        }
    }
    sps.vui_present = r.flag();
    if (sps.vui_present) {
        read_vui(r, sps);
    }
    if (!r.ok()) {
        return std::nullopt;
    }
    return sps;
}

std::optional<PictureParameterSet> parse_picture_parameter_set(Bytes nal) {
    if (nal_unit_type(nal) != NAL_PPS) {
        return std::nullopt;
    }
    SetReader r(nal);
    PictureParameterSet pps;
    pps.id = r.ue(MAX_PPS_ID);
    pps.sps_id = r.ue(MAX_SPS_ID);
    r.flag();  // entropy_coding_mode_flag
    pps.bottom_field_pic_order_in_frame_present = r.flag();
    if (!r.ok()) {
        return std::nullopt;
    }
    // What the rest of a slice header depends on: known only when read whole.
    PictureParameterSet rest = pps;
    skip_slice_groups(r);
    rest.num_ref_idx_l0_default = r.ue(31) + 1;
    rest.num_ref_idx_l1_default = r.ue(31) + 1;
    rest.weighted_pred = r.flag();
    rest.weighted_bipred_idc = r.u(2);
    r.se();    // pic_init_qp_minus26
    r.se();    // pic_init_qs_minus26
    r.se();    // chroma_qp_index_offset
    r.flag();  // deblocking_filter_control_present_flag
    r.flag();  // constrained_intra_pred_flag
    rest.redundant_pic_cnt_present = r.flag();
    if (!r.ok()) {
        return pps;
    }
    rest.complete = true;
    return rest;
}

std::optional<std::uint32_t> slice_pps_id(Bytes nal) {
    SyntaxReader<32> r(nal);
    r.ue();  // first_mb_in_slice
    r.ue(9);  // slice_type
    const std::uint32_t pps_id = r.ue(MAX_PPS_ID);
    return r.ok() ? std::optional(pps_id) : std::nullopt;
}

std::optional<SliceHeaderStart> parse_slice_header_start(Bytes nal, const SequenceParameterSet& sps,
                                                         const PictureParameterSet& pps) {
    const int type = nal_unit_type(nal);
    if (type != NAL_SLICE && type != NAL_IDR_SLICE) {
        return std::nullopt;
    }
    SliceReader r(nal);
    SliceHeaderStart slice;
    slice.first_mb_in_slice = r.ue();
    slice.slice_type = r.ue(9);
    slice.pps_id = r.ue();
    if (sps.separate_colour_plane) {
        r.u(2);  // colour_plane_id
    }
    slice.frame_num = r.u(static_cast<int>(sps.log2_max_frame_num));
    if (!sps.frame_mbs_only) {
        slice.field_pic = r.flag();
        if (slice.field_pic) {
            slice.bottom_field = r.flag();
        }
    }
    if (type == NAL_IDR_SLICE) {
        slice.idr_pic_id = r.ue();
    }
    if (sps.pic_order_cnt_type == 0) {
        slice.pic_order_cnt_lsb = r.u(static_cast<int>(sps.log2_max_pic_order_cnt_lsb));
        if (pps.bottom_field_pic_order_in_frame_present && !slice.field_pic) {
            slice.delta_pic_order_cnt_bottom = r.se();
        }
    }
    if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero) {
        slice.delta_pic_order_cnt[0] = r.se();
        if (pps.bottom_field_pic_order_in_frame_present && !slice.field_pic) {
            slice.delta_pic_order_cnt[1] = r.se();
        }
    }
    if (!r.ok() || slice.pps_id != pps.id) {
        return std::nullopt;
    }
    if (pps.complete) {
        read_to_ref_pic_marking(r, sps, pps, slice, type == NAL_IDR_SLICE, (nal[0] & 0x60) != 0);
        slice.read_to_ref_pic_marking = r.ok();
    }
    return slice;
}

std::optional<std::uint32_t> recovery_frame_count(Bytes payload) {
    PayloadBits bits(payload);
    return bits.read_ue();
}

}  // namespace pytovrik::h264
