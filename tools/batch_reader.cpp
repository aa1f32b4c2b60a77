#include "batch_reader.hpp"

namespace pytovrik::cli {

Outcome<std::optional<Batch>> BatchReader::next() {
    Batch batch;
    std::vector<std::uint8_t> replay;
    std::uint64_t fields = 0;
    auto add = [&](AccessUnit unit) {
        if (batch.packets.empty()) {
            replay = parameter_sets_.replay();
            batch.input_offset = unit.input_offset;
            batch.reported_width = unit.width;
            batch.reported_height = unit.height;
            parameter_sets_.remember(unit.bytes);
            batch.sequence_fingerprint = parameter_sets_.sequence_fingerprint();
        } else {
            parameter_sets_.remember(unit.bytes);
        }
        if (unit.single_field) {
            ++fields;
        } else {
            ++batch.expected_frames;
        }
        batch.packets.push_back(std::move(unit.bytes));
    };

    if (held_idr_) {
        add(std::move(*held_idr_));
        held_idr_.reset();
    }
    for (;;) {
        auto unit = source_.next();
        if (!unit) {
            return propagate(unit);
        }
        if (!*unit) {
            break;
        }
        if (mode_ == BatchMode::group_of_pictures && !batch.packets.empty() && contains_idr_slice((*unit)->bytes)) {
            held_idr_ = std::move(**unit);
            break;
        }
        add(std::move(**unit));
    }
    if (batch.packets.empty()) {
        return std::nullopt;
    }
    batch.expected_frames += (fields + 1) / 2;
    if (!replay.empty()) {
        auto& first = batch.packets.front();
        first.insert(first.begin(), replay.begin(), replay.end());
    }
    batch.number = ++batches_;
    return batch;
}

}  // namespace pytovrik::cli
