#include "stream_analysis.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

namespace pytovrik::file {

namespace {

using namespace h264;

// FFmpeg reads an encoder's version from user data that follows a 16-byte
// UUID with this text, and keeps old x264 versions' workarounds by it.
constexpr char X264_IDENTIFICATION[] = "x264 - core ";

bool identifies_x264(Bytes payload) {
    constexpr std::size_t UUID_SIZE = 16;
    constexpr std::size_t TEXT_SIZE = sizeof X264_IDENTIFICATION - 1;
    return payload.size() >= UUID_SIZE + TEXT_SIZE &&
           std::memcmp(payload.data() + UUID_SIZE, X264_IDENTIFICATION, TEXT_SIZE) == 0;
}

constexpr std::int64_t ORDER_PERIOD = std::int64_t{1} << 33;

bool same_bytes(const SharedUnit& unit, Bytes nal) {
    return unit != nullptr && std::equal(unit->bytes.begin(), unit->bytes.end(), nal.begin(), nal.end());
}

// The unit in force for an id, kept when the stream repeats it, as
// broadcasts do before every key frame.
void keep_unit(SharedUnit& unit, Bytes nal) {
    if (!same_bytes(unit, nal)) {
        unit = std::make_shared<const HeaderUnit>(nal);
    }
}

// Picture order count type 1: a reference frame's expected count advances by
// the SPS's cycle of offsets; a non-reference picture sits between, and each
// field or frame adds its own deltas. A frame takes the earlier of its
// fields' counts.
// Counts no real stream reaches give std::nullopt rather than overflow.
std::optional<std::int64_t> cycle_order(const SliceHeaderStart& slice, const SequenceParameterSet& sps,
                                        std::int64_t absolute, bool reference) {
    const auto& cycle = sps.offsets_for_ref_frame;
    std::int64_t frame_number = cycle.empty() ? 0 : absolute;
    if (!reference && frame_number > 0) {
        --frame_number;
    }
    std::int64_t expected = 0;
    if (frame_number > 0) {
        std::int64_t per_cycle = 0;
        for (const std::int32_t offset : cycle) {
            per_cycle += offset;
        }
        const auto size = static_cast<std::int64_t>(cycle.size());
        const std::int64_t in_cycle = (frame_number - 1) % size;
        if (__builtin_mul_overflow((frame_number - 1) / size, per_cycle, &expected) ||
            expected <= -ORDER_PERIOD || expected >= ORDER_PERIOD) {
            return std::nullopt;
        }
        for (std::int64_t i = 0; i <= in_cycle; ++i) {
            expected += cycle[static_cast<std::size_t>(i)];
        }
    }
    if (!reference) {
        expected += sps.offset_for_non_ref_pic;
    }
    const std::int64_t top = expected + slice.delta_pic_order_cnt[0];
    if (!slice.field_pic) {
        return std::min(top, top + sps.offset_for_top_to_bottom_field + slice.delta_pic_order_cnt[1]);
    }
    return slice.bottom_field ? expected + sps.offset_for_top_to_bottom_field + slice.delta_pic_order_cnt[0] : top;
}

}  // namespace

bool sample_framing_holds(std::span<const std::uint8_t> bytes, std::uint8_t length_size) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < length_size) {
            return false;
        }
        std::size_t size = 0;
        for (std::size_t i = 0; i < length_size; ++i) {
            size = size << 8 | bytes[at + i];
        }
        at += length_size;
        if (size > bytes.size() - at) {
            return false;
        }
        at += size;
    }
    return true;
}

HeaderUnit::HeaderUnit(std::span<const std::uint8_t> nal)
    : bytes(nal.begin(), nal.end()),
      hash(std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(nal.data()), nal.size()))) {}

StreamHeader StreamHeader::of(std::span<const ByteVector> units) {
    StreamHeader header;
    for (const ByteVector& unit : units) {
        header.units.push_back(std::make_shared<const HeaderUnit>(unit));
    }
    return header;
}

bool StreamHeader::operator==(const StreamHeader& other) const {
    return std::equal(units.begin(), units.end(), other.units.begin(), other.units.end(),
                      [](const SharedUnit& a, const SharedUnit& b) {
                          return a == b || (a->hash == b->hash && a->bytes == b->bytes);
                      });
}

std::uint64_t StreamHeader::hash() const {
    std::uint64_t hash = units.size();
    for (const SharedUnit& unit : units) {
        hash = (hash ^ unit->hash) * 0x100000001b3ULL;
    }
    return hash;
}

void StreamAnalyser::use_parameter_sets(std::span<const ByteVector> units) {
    for (const ByteVector& unit : units) {
        see_parameter_set(unit);
    }
}

void StreamAnalyser::see_parameter_set(Bytes nal) {
    if (nal_unit_type(nal) == NAL_SPS) {
        if (auto sps = parse_sequence_parameter_set(nal)) {
            keep_unit(sps_units_[sps->id], nal);
            max_frame_num_ = 1U << sps->log2_max_frame_num;
            sps_[sps->id] = *sps;
        }
    } else if (nal_unit_type(nal) == NAL_PPS) {
        if (auto pps = parse_picture_parameter_set(nal)) {
            keep_unit(pps_units_[pps->id], nal);
            pps_[pps->id] = *pps;
        }
    }
}

std::optional<std::int64_t> StreamAnalyser::order_of(const SliceHeaderStart& slice, const SequenceParameterSet& sps,
                                                     bool idr, bool reference) {
    if (idr) {
        order_ = PictureOrder{};
        ++period_;
    }
    std::int64_t count = 0;
    if (sps.pic_order_cnt_type == 0) {
        const std::int64_t max_lsb = std::int64_t{1} << sps.log2_max_pic_order_cnt_lsb;
        const std::int64_t lsb = slice.pic_order_cnt_lsb;
        const std::int64_t prev_lsb = order_.prev_lsb;
        std::int64_t msb = order_.prev_msb;
        if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) {
            msb += max_lsb;
        } else if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) {
            msb -= max_lsb;
        }
        // A frame is ordered by the earlier of its two fields.
        count = msb + lsb + std::min<std::int64_t>(0, slice.field_pic ? 0 : slice.delta_pic_order_cnt_bottom);
        if (reference) {
            order_.prev_msb = msb;
            order_.prev_lsb = slice.pic_order_cnt_lsb;
        }
    } else {
        // Types 1 and 2 count from frame_num, which wraps: the offset grows
        // by a wrap each time it goes down.
        if (!idr && order_.prev_frame_num > slice.frame_num) {
            order_.frame_num_offset += std::int64_t{1} << sps.log2_max_frame_num;
        }
        order_.prev_frame_num = slice.frame_num;
        const std::int64_t absolute = idr ? 0 : order_.frame_num_offset + slice.frame_num;
        if (sps.pic_order_cnt_type == 2) {
            count = idr ? 0 : 2 * absolute - (reference ? 0 : 1);
        } else if (const auto cycled = cycle_order(slice, sps, absolute, reference)) {
            count = *cycled;
        } else {
            return std::nullopt;
        }
    }
    if (count <= -ORDER_PERIOD / 2 || count >= ORDER_PERIOD / 2) {
        return std::nullopt;
    }
    const std::int64_t order = period_ * ORDER_PERIOD + count;
    // After memory_management_control_operation 5 the count starts again,
    // as after an IDR picture, from the next picture on.
    if (slice.resets_picture_order) {
        order_ = PictureOrder{};
        ++period_;
    }
    return order;
}

SampleFacts StreamAnalyser::analyse(std::span<const std::uint8_t> bytes, std::uint8_t length_size) {
    SampleReading reading;
    for_each_sample_unit(bytes, length_size, [&](Bytes nal) {
        const int type = nal_unit_type(nal);
        if (type == NAL_SPS || type == NAL_PPS) {
            reading.facts.flags |= SAMPLE_PARAMETER_SETS;
            see_parameter_set(nal);
        } else if (type == NAL_SEI) {
            see_sei(nal, reading.facts);
        } else if (type == NAL_SLICE || type == NAL_IDR_SLICE) {
            see_slice(nal, reading);
        }
    });
    if (reading.frame_started) {
        reading.facts.flags |= SAMPLE_FRAME_START;
    }
    return reading.facts;
}

void StreamAnalyser::see_sei(Bytes nal, SampleFacts& facts) {
    for_each_sei_message(nal, [&](std::uint64_t payload_type, Bytes payload) {
        if (payload_type == SEI_RECOVERY_POINT) {
            if (const auto count = recovery_frame_count(payload)) {
                facts.flags |= SAMPLE_RECOVERY_POINT;
                facts.recovery_frame_count = *count;
            }
        } else if (payload_type == SEI_USER_DATA_UNREGISTERED && identifies_x264(payload)) {
            keep_unit(encoder_sei_, nal);
        }
        return true;
    });
}

// A field completes the one before it when it has the other parity, the same
// frame_num and the same reference use (FFmpeg's pairing). Whether the
// picture starts a frame.
bool StreamAnalyser::pair_fields(const std::optional<SliceHeaderStart>& slice, bool reference) {
    const bool second_field = slice && slice->field_pic && pending_first_field_ &&
                              pending_first_field_->bottom != slice->bottom_field &&
                              pending_first_field_->frame_num == slice->frame_num &&
                              pending_first_field_->reference == reference;
    if (second_field) {
        pending_first_field_.reset();
        return false;
    }
    if (slice && slice->field_pic) {
        pending_first_field_ = PendingField{slice->frame_num, slice->bottom_field, reference};
    } else {
        pending_first_field_.reset();
    }
    return true;
}

void StreamAnalyser::see_slice(Bytes nal, SampleReading& reading) {
    SampleFacts& facts = reading.facts;
    const bool idr = nal_unit_type(nal) == NAL_IDR_SLICE;
    const bool reference = (nal[0] & 0x60) != 0;
    facts.flags |= SAMPLE_PICTURE;
    const auto pps_id = slice_pps_id(nal);
    const PictureParameterSet* pps = pps_id && pps_[*pps_id] ? &*pps_[*pps_id] : nullptr;
    const SequenceParameterSet* sps = pps != nullptr && sps_[pps->sps_id] ? &*sps_[pps->sps_id] : nullptr;
    const auto slice = sps != nullptr ? parse_slice_header_start(nal, *sps, *pps) : std::nullopt;
    const bool first_slice = !reading.slice_seen;
    reading.slice_seen = true;
    if (!first_slice && !(slice && slice->first_mb_in_slice == 0)) {
        // Another slice of the same picture.
        if (reading.in_first_picture) {
            if (idr) facts.flags |= SAMPLE_IDR;
            if (reference) facts.flags |= SAMPLE_REFERENCE;
            if (!slice || !slice->intra()) facts.flags &= static_cast<std::uint16_t>(~SAMPLE_INTRA);
        }
        return;
    }
    reading.frame_started = pair_fields(slice, reference) || reading.frame_started;
    const auto order = slice ? order_of(*slice, *sps, idr, reference) : std::nullopt;
    reading.in_first_picture = first_slice;
    if (reference) facts.flags |= SAMPLE_REFERENCE;
    if (!first_slice) {
        return;
    }
    if (idr) facts.flags |= SAMPLE_IDR;
    if (slice && slice->intra()) {
        facts.flags |= SAMPLE_INTRA;
        facts.clears_references =
            slice->resets_picture_order || (reference && !slice->field_pic && sps->max_num_ref_frames <= 1);
    }
    facts.frame_num = slice ? slice->frame_num : 0;
    facts.order = order;
}

StreamHeader StreamAnalyser::header() const {
    StreamHeader header;
    for (const SharedUnit& unit : sps_units_) {
        if (unit != nullptr) header.units.push_back(unit);
    }
    for (const SharedUnit& unit : pps_units_) {
        if (unit != nullptr) header.units.push_back(unit);
    }
    if (encoder_sei_ != nullptr) {
        header.units.push_back(encoder_sei_);
    }
    return header;
}

}  // namespace pytovrik::file
