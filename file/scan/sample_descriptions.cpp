#include "scan/sample_descriptions.hpp"

#include <limits>
#include <string>
#include <string_view>

#include "common/h264_syntax.hpp"

namespace pytovrik::file {
namespace {

constexpr std::uint8_t AVCC_VERSION = 1;
constexpr std::size_t AVCC_HEADER_SIZE = 6;  // up to and with the SPS count

Outcome<SampleDescription> describe_avcc(std::span<const std::uint8_t> record) {
    // The decoder wants 7 bytes at least: the header and the PPS count.
    if (record.size() < AVCC_HEADER_SIZE + 1) {
        return fail("avcC record of " + std::to_string(record.size()) + " bytes is too short");
    }
    SampleDescription description;
    description.length_size = static_cast<std::uint8_t>((record[4] & 0x03) + 1);
    std::size_t at = AVCC_HEADER_SIZE;
    auto take_sets = [&](unsigned count, const char* kind) -> Outcome<void> {
        for (unsigned i = 0; i < count; ++i) {
            if (record.size() - at < 2) {
                return fail(std::string("avcC record ends inside its ") + kind + " " + std::to_string(i));
            }
            const std::size_t size = (std::size_t{record[at]} << 8) | record[at + 1];
            at += 2;
            if (record.size() - at < size) {
                return fail(std::string("avcC record's ") + kind + " " + std::to_string(i) + " of " +
                            std::to_string(size) + " bytes runs past its end");
            }
            if (size > 0) {
                description.parameter_sets.emplace_back(record.begin() + static_cast<std::ptrdiff_t>(at),
                                                        record.begin() + static_cast<std::ptrdiff_t>(at + size));
            }
            at += size;
        }
        return {};
    };
    if (auto sps = take_sets(record[5] & 0x1fU, "SPS"); !sps) {
        return propagate(sps);
    }
    // A record that ends right after its SPS counts no PPS, as the decoder reads it.
    const unsigned pps_count = at < record.size() ? record[at++] : 0U;
    if (auto pps = take_sets(pps_count, "PPS"); !pps) {
        return propagate(pps);
    }
    return description;
}

SampleDescription describe_annexb(std::span<const std::uint8_t> bytes) {
    SampleDescription description;
    h264::for_each_nal_unit(bytes, [&](h264::Bytes nal) {
        const int type = h264::nal_unit_type(nal);
        if (type == h264::NAL_SPS || type == h264::NAL_PPS) {
            description.parameter_sets.emplace_back(nal.begin(), nal.end());
        }
        return true;
    });
    return description;
}

std::size_t hash_of(const SampleDescription& description) {
    std::size_t hash = std::hash<std::uint32_t>{}(description.length_size);
    for (const ByteVector& set : description.parameter_sets) {
        const std::string_view bytes(reinterpret_cast<const char*>(set.data()), set.size());
        hash = hash * 31 + std::hash<std::string_view>{}(bytes);
    }
    return hash;
}

bool same_description(const SampleDescription& a, const SampleDescription& b) {
    return a.length_size == b.length_size && a.parameter_sets == b.parameter_sets;
}

}  // namespace

Outcome<SampleDescription> describe_extradata(std::span<const std::uint8_t> extradata) {
    if (!extradata.empty() && extradata[0] == AVCC_VERSION) {
        return describe_avcc(extradata);
    }
    return describe_annexb(extradata);
}

Outcome<std::uint16_t> DescriptionTable::intern(SampleDescription description) {
    const std::size_t hash = hash_of(description);
    auto [first, last] = by_hash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (same_description(descriptions_[it->second], description)) {
            return it->second;
        }
    }
    if (descriptions_.size() > std::numeric_limits<std::uint16_t>::max()) {
        return fail("more than " + std::to_string(descriptions_.size()) + " different sets of extradata");
    }
    const auto index = static_cast<std::uint16_t>(descriptions_.size());
    descriptions_.push_back(std::move(description));
    by_hash_.emplace(hash, index);
    return index;
}

}  // namespace pytovrik::file
