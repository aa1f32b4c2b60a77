#include "batch_decoder.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <string>

#include "library_response.hpp"

namespace pytovrik::cli {
namespace {

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

// positions empty: every frame. A failure is what the library and FFmpeg
// said of it.
Outcome<void> call_library(std::span<const RuntimePacket> packets, RuntimeFormat format, FrameSize size,
                          std::span<const std::uint64_t> positions, LibraryResponse& response) {
    RuntimeDecodeRequest request{};
    request.output_width = size.width;
    request.output_height = size.height;
    request.output_format = static_cast<std::uint32_t>(format);
    request.packets = packets.data();
    request.packet_count = packets.size();
    request.selected_positions = positions.empty() ? nullptr : positions.data();
    request.selected_position_count = positions.size();
    const PytovrikDecoder library = decoding_library();
    if (pytovrik_video_file_decode_h264(&library, &request, response.get()) != 0) {
        return fail(pytovrik_video_file_last_error());
    }
    return {};
}

std::vector<RuntimePacket> packets_of(const Batch& batch) {
    std::vector<RuntimePacket> packets;
    packets.reserve(batch.packets.size());
    for (const auto& packet : batch.packets) {
        packets.push_back(RuntimePacket{packet.data(), packet.size()});
    }
    return packets;
}

}  // namespace

Outcome<FrameSize> BatchDecoder::rgb_size_for(const Batch& batch) {
    if (rgb_size_) {
        return *rgb_size_;
    }
    if (auto known = decoded_sizes_.find(batch.sequence_fingerprint); known != decoded_sizes_.end()) {
        return known->second;
    }
    // The decoder's size can differ from what the stream's cropping window
    // says (FFmpeg keeps a left crop only as far as alignment allows), so ask
    // the library for the first picture as YUV, which comes at decoded size.
    FrameSize size;
    const RuntimePacket first{batch.packets.front().data(), batch.packets.front().size()};
    const std::uint64_t position_zero = 0;
    LibraryResponse probe;
    if (call_library(std::span(&first, 1), RuntimeFormatYuv420, {}, std::span(&position_zero, 1), probe) &&
        probe.frames().size() == 1) {
        size = {probe.frames()[0].width, probe.frames()[0].height};
    } else if (batch.reported_width > 0 && batch.reported_height > 0) {
        // YUV output refuses some streams (full range, 10-bit, 4:2:2) that
        // RGB output takes; the input's own report is the next best.
        size = {static_cast<std::uint32_t>(batch.reported_width), static_cast<std::uint32_t>(batch.reported_height)};
    } else {
        return fail("cannot tell the picture size of batch " + std::to_string(batch.number) +
                    ": give the RGB size with --size WxH");
    }
    decoded_sizes_.emplace(batch.sequence_fingerprint, size);
    return size;
}

std::uint64_t BatchDecoder::frames_per_call(const Batch& batch, FrameSize rgb_size) const {
    std::uint64_t frame_bytes = 0;
    if (format_ == RuntimeFormatRgb) {
        frame_bytes = std::uint64_t{rgb_size.width} * rgb_size.height * 3;
    } else if (batch.reported_width > 0 && batch.reported_height > 0) {
        // An estimate is enough for a budget.
        frame_bytes = static_cast<std::uint64_t>(batch.reported_width) *
                      static_cast<std::uint64_t>(batch.reported_height) * 3 / 2;
    }
    if (memory_budget_ == 0 || frame_bytes == 0) {
        return unlimited;
    }
    return std::max<std::uint64_t>(1, memory_budget_ / frame_bytes);
}

Outcome<BatchOutcome> BatchDecoder::decode(const Batch& batch, std::uint64_t first_position,
                                          const FrameConsumer& consume) {
    FrameSize size;
    if (format_ == RuntimeFormatRgb) {
        auto rgb_size = rgb_size_for(batch);
        if (!rgb_size) {
            return propagate(rgb_size);
        }
        size = *rgb_size;
    }
    const std::vector<RuntimePacket> packets = packets_of(batch);
    const std::uint64_t window = frames_per_call(batch, size);
    const std::uint64_t expected = std::max<std::uint64_t>(batch.expected_frames, 1);
    BatchOutcome outcome;

    // One library call; hands on the frames at selected positions (batch-local
    // `positions`, or every frame from `skip_below` on when positions is
    // empty) and yields how many came back.
    auto call = [&](std::span<const std::uint64_t> positions, std::uint64_t deliver_below,
                    std::uint64_t skip_below) -> Outcome<std::size_t> {
        LibraryResponse response;
        if (auto called = call_library(packets, format_, size, positions, response); !called) {
            return fail("decode failed at batch " + std::to_string(batch.number) + " (input offset " +
                        std::to_string(batch.input_offset) + "): " + called.error().message);
        }
        const auto frames = response.frames();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const std::uint64_t local = positions.empty() ? i : positions[i];
            if (local < skip_below || local >= deliver_below || !selection_.contains(first_position + local)) {
                continue;
            }
            last_size_ = FrameSize{frames[i].width, frames[i].height};
            if (auto consumed = consume(first_position + local, frames[i]); !consumed) {
                return propagate(consumed);
            }
            ++outcome.frames_kept;
        }
        return frames.size();
    };

    // The common case: every frame, in one call, and the response says how
    // many there were.
    if (selection_.keeps_every_frame() && window >= expected) {
        auto returned = call({}, unlimited, 0);
        if (!returned) {
            return propagate(returned);
        }
        outcome.frames_decoded = *returned;
        return outcome;
    }

    std::vector<std::uint64_t> wanted;
    if (selection_.keeps_every_frame()) {
        wanted.resize(expected);
        for (std::uint64_t i = 0; i < expected; ++i) {
            wanted[i] = i;
        }
    } else {
        wanted = selection_.positions_within(first_position, expected);
    }
    if (wanted.empty() || wanted.back() != expected - 1) {
        wanted.push_back(expected - 1);
    }
    wanted.push_back(expected);

    // Positions that exist are exactly those below the count, so each call
    // returns a prefix of what it asked for, and the first position missing
    // bounds the count.
    std::optional<std::uint64_t> highest_returned;
    std::optional<std::uint64_t> first_missing;
    for (std::size_t start = 0; start < wanted.size() && !first_missing;) {
        // The two counting positions ride along with the last slice.
        std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(window, wanted.size() - start));
        if (wanted.size() - start - length <= 2) {
            length = wanted.size() - start;
        }
        const std::span<const std::uint64_t> slice(wanted.data() + start, length);
        auto returned = call(slice, expected, 0);
        if (!returned) {
            return propagate(returned);
        }
        if (*returned > 0) {
            highest_returned = slice[*returned - 1];
        }
        if (*returned < slice.size()) {
            first_missing = slice[*returned];
        }
        start += length;
    }
    if (first_missing == expected && highest_returned == expected - 1) {
        outcome.frames_decoded = expected;
        return outcome;
    }

    // The guess was wrong. Frames already handed on keep their positions
    // (a frame's position does not depend on the count); walk the frames
    // after the last one seen until the batch runs out. Anything selected
    // among them that was not asked for yet lies at or past the guess.
    const std::uint64_t scan_from = !first_missing ? expected : highest_returned ? *highest_returned + 1 : 0;
    if (window == unlimited) {
        auto returned = call({}, unlimited, scan_from);
        if (!returned) {
            return propagate(returned);
        }
        outcome.frames_decoded = *returned;
        return outcome;
    }
    std::vector<std::uint64_t> slice;
    for (std::uint64_t start = scan_from;; start += window) {
        slice.clear();
        for (std::uint64_t i = 0; i < window; ++i) {
            slice.push_back(start + i);
        }
        auto returned = call(slice, unlimited, scan_from < expected ? expected : 0);
        if (!returned) {
            return propagate(returned);
        }
        if (*returned < slice.size()) {
            outcome.frames_decoded = start + *returned;
            return outcome;
        }
    }
}

}  // namespace pytovrik::cli
