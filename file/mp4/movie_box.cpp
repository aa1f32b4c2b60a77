#include "mp4/movie_box.hpp"

#include <array>

#include "mp4/sample_entries.hpp"

namespace pytovrik::file::mp4 {
namespace {

constexpr std::uint32_t MOVIE_HEADER = box_type("mvhd");
constexpr std::uint32_t TRACK = box_type("trak");
constexpr std::uint32_t MOVIE_EXTENDS = box_type("mvex");
constexpr std::uint32_t TRACK_EXTENDS = box_type("trex");

// The tables that belong in a sample table box; seen anywhere else, they
// would still be read by libavformat, which walks every container alike.
constexpr std::array SAMPLE_TABLE_TYPES = {box_type("stsd"), box_type("stts"), box_type("ctts"), box_type("stss"),
                                           box_type("stsz"), box_type("stz2"), box_type("stsc"), box_type("stco"),
                                           box_type("co64"), box_type("stps"), box_type("sbgp"), box_type("elst")};

bool is_sample_table_type(std::uint32_t type) {
    for (const std::uint32_t table : SAMPLE_TABLE_TYPES) {
        if (type == table) {
            return true;
        }
    }
    return false;
}

// A time scale as libavformat keeps it: read as a signed int, 1 when not
// positive.
std::int32_t time_scale_of(std::uint32_t raw) {
    const auto scale = static_cast<std::int32_t>(raw);
    return scale > 0 ? scale : 1;
}

// The time scale of an mvhd or mdhd: after version, flags and two times of
// 4 bytes (version 0) or 8 (version 1).
Outcome<std::int32_t> read_header_time_scale(const FileBytes& file, const Box& box) {
    auto head = read_payload_head(file, box, 24);
    if (!head) {
        return propagate(head);
    }
    FieldReader fields(*head);
    const std::uint8_t version = fields.u8();
    fields.skip(version == 1 ? 19 : 11);
    const std::uint32_t scale = fields.u32();
    if (fields.overrun()) {
        return malformed(file, "box '" + type_name(box.type) + "' at byte " + std::to_string(box.offset) +
                                   " is too short for its time scale");
    }
    return time_scale_of(scale);
}

class TrackReader {
public:
    TrackReader(const FileBytes& file, std::int32_t movie_time_scale) : file_(file) {
        track_.movie_time_scale = movie_time_scale;
    }

    Outcome<TrackBoxes> read(const Box& trak) {
        auto walked = for_each_child(file_, trak, [&](const Box& child) { return visit_track_child(child); });
        if (!walked) {
            return propagate(walked);
        }
        return std::move(track_);
    }

private:
    void unsupported(const std::string& why) {
        if (track_.unsupported.empty()) {
            track_.unsupported = why;
        }
    }

    // Keeps a table box, once: libavformat keeps the first of some
    // duplicates and the last of others.
    void keep(std::optional<Box>& slot, const Box& box) {
        if (slot) {
            unsupported("the track holds two '" + type_name(box.type) + "' boxes");
        }
        slot = box;
    }

    void check_placement(const Box& box) {
        if (is_sample_table_type(box.type)) {
            unsupported("box '" + type_name(box.type) + "' at byte " + std::to_string(box.offset) +
                        " is outside its usual parent");
        }
    }

    Outcome<bool> visit_track_child(const Box& box) {
        const std::uint32_t type = box.type;
        if (type == box_type("tkhd")) {
            return read_track_header(box);
        }
        if (type == box_type("edts")) {
            return walk(box, [&](const Box& child) -> Outcome<bool> {
                if (child.type == box_type("elst")) {
                    keep(track_.edit_list, child);
                }
                return true;
            });
        }
        if (type == box_type("mdia")) {
            return walk(box, [&](const Box& child) { return visit_media_child(child); });
        }
        check_placement(box);
        return true;
    }

    Outcome<bool> visit_media_child(const Box& box) {
        const std::uint32_t type = box.type;
        if (type == box_type("mdhd")) {
            if (track_.time_scale != 0) {
                return malformed(file_, "a track holds two media headers");
            }
            auto head = read_payload_head(file_, box, 1);
            if (!head) {
                return propagate(head);
            }
            if (!head->empty() && (*head)[0] > 1) {
                return malformed(file_, "the media header at byte " + std::to_string(box.offset) + " has version " +
                                            std::to_string((*head)[0]));
            }
            auto scale = read_header_time_scale(file_, box);
            if (!scale) {
                return propagate(scale);
            }
            track_.time_scale = *scale;
            return true;
        }
        if (type == box_type("hdlr")) {
            return read_handler(box);
        }
        if (type == box_type("minf")) {
            return walk(box, [&](const Box& child) { return visit_media_information_child(child); });
        }
        check_placement(box);
        return true;
    }

    Outcome<bool> visit_media_information_child(const Box& box) {
        const std::uint32_t type = box.type;
        if (type == box_type("hdlr")) {
            return read_handler(box);
        }
        if (type == box_type("dinf")) {
            return walk(box, [&](const Box& child) -> Outcome<bool> {
                if (child.type == box_type("dref")) {
                    keep(track_.data_references, child);
                }
                return true;
            });
        }
        if (type == box_type("stbl")) {
            return walk(box, [&](const Box& child) { return visit_sample_table_child(child); });
        }
        check_placement(box);
        return true;
    }

    Outcome<bool> visit_sample_table_child(const Box& box) {
        const std::uint32_t type = box.type;
        if (type == box_type("stsd")) {
            keep(track_.sample_descriptions, box);
        } else if (type == box_type("stts")) {
            keep(track_.time_to_sample, box);
        } else if (type == box_type("ctts")) {
            keep(track_.composition_offsets, box);
        } else if (type == box_type("stss")) {
            keep(track_.sync_samples, box);
        } else if (type == box_type("stsc")) {
            keep(track_.sample_to_chunk, box);
        } else if (type == box_type("stco") || type == box_type("co64")) {
            keep(track_.chunk_offsets, box);
        } else if (type == box_type("stsz") || type == box_type("stz2")) {
            keep(track_.sample_sizes, box);
        } else if (type == box_type("stps")) {
            unsupported("the track has partial sync samples (stps)");
        } else if (type == box_type("sbgp")) {
            return read_sample_group(box);
        }
        return true;
    }

    template <class Visit>
    Outcome<bool> walk(const Box& box, Visit&& visit) {
        auto walked = for_each_child(file_, box, visit);
        if (!walked) {
            return propagate(walked);
        }
        return true;
    }

    Outcome<bool> read_track_header(const Box& box) {
        if (track_.has_track_header) {
            return malformed(file_, "a track holds two track headers");
        }
        // Version 1 widens three times to 8 bytes; the matrix follows the
        // layer, group, volume and reserved fields.
        auto head = read_payload_head(file_, box, 92);
        if (!head) {
            return propagate(head);
        }
        FieldReader fields(*head);
        const std::uint8_t version = fields.u8();
        fields.skip(version == 1 ? 19 : 11);
        track_.track_id = fields.u32();
        if (fields.overrun()) {
            return malformed(file_, "the track header at byte " + std::to_string(box.offset) + " is too short");
        }
        fields.skip(version == 1 ? 28 : 24);
        std::array<std::int32_t, 9> matrix{};
        for (auto& value : matrix) {
            value = static_cast<std::int32_t>(fields.u32());
        }
        // A header cut before its matrix shows the pictures as stored, as
        // libavformat does with a matrix it cannot read.
        if (!fields.overrun()) {
            track_.matrix = matrix;
        }
        track_.has_track_header = true;
        return true;
    }

    Outcome<bool> read_handler(const Box& box) {
        auto head = read_payload_head(file_, box, 12);
        if (!head) {
            return propagate(head);
        }
        if (head->size() < 12) {
            unsupported("the handler box at byte " + std::to_string(box.offset) + " is too short");
            return true;
        }
        const std::uint32_t subtype = read_be32(head->data() + 8);
        if (subtype == box_type("vide") || subtype == box_type("soun") || subtype == box_type("subp") ||
            subtype == box_type("clcp")) {
            track_.handler = subtype;
        }
        return true;
    }

    // A 'rap ' sample group makes libavformat flag more key frames than the
    // sync sample table does.
    Outcome<bool> read_sample_group(const Box& box) {
        auto head = read_payload_head(file_, box, 16);
        if (!head) {
            return propagate(head);
        }
        if (head->size() >= 8 && read_be32(head->data() + 4) == box_type("rap ")) {
            unsupported("the track has a random access sample group");
        }
        return true;
    }

    const FileBytes& file_;
    TrackBoxes track_;
};

Outcome<bool> read_track_extends(const FileBytes& file, const Box& box, MovieBoxes& movie) {
    auto head = read_payload_head(file, box, 24);
    if (!head) {
        return propagate(head);
    }
    FieldReader fields(*head);
    fields.skip(4);
    TrackExtends extends;
    extends.track_id = fields.u32();
    extends.description = fields.u32();
    extends.duration = fields.u32();
    extends.size = fields.u32();
    extends.flags = fields.u32();
    if (fields.overrun()) {
        return malformed(file, "the track extends box at byte " + std::to_string(box.offset) + " is too short");
    }
    movie.extends.push_back(extends);
    return true;
}

}  // namespace

Mp4Outcome<MovieBoxes> read_movie_box(const FileBytes& file, const Box& moov, bool cut) {
    MovieBoxes movie;
    auto walked = walk_children(
        file, moov, moov.payload,
        [&](const Box& box) -> Mp4Outcome<bool> {
            if (box.end > moov.end && (box.type == MOVIE_HEADER || box.type == TRACK || box.type == MOVIE_EXTENDS ||
                                       box.type == box_type("cmov"))) {
                return halt(malformed(file, "the movie box at byte " + std::to_string(moov.offset) +
                                                " is cut short by the end of the file, inside its " + box_at(box))
                                .error());
            }
            if (box.end > moov.end) {
                return false;
            }
            if (box.type == MOVIE_HEADER) {
                auto scale = read_header_time_scale(file, box);
                if (!scale) {
                    return halt(scale.error());
                }
                movie.time_scale = *scale;
            } else if (box.type == box_type("cmov")) {
                return fall_back("the movie box is compressed");
            } else if (box.type == TRACK) {
                auto track = TrackReader(file, movie.time_scale).read(box);
                if (!track) {
                    return halt(track.error());
                }
                movie.track_ids.push_back(track->track_id);
                if (movie.video || !track->sample_descriptions) {
                    return true;
                }
                auto format = read_first_sample_format(file, *track->sample_descriptions);
                if (!format) {
                    return halt(format.error());
                }
                if (is_h264_video(track->handler, *format)) {
                    movie.video = std::move(*track);
                } else if (*format == box_type("encv") && track->handler == box_type("vide")) {
                    // An encrypted entry names its codec inside; libavformat may
                    // make an H.264 stream of it.
                    return fall_back("an encrypted video track comes first");
                }
            } else if (box.type == MOVIE_EXTENDS) {
                auto read = for_each_child(file, box, [&](const Box& child) -> Outcome<bool> {
                    if (child.type == TRACK_EXTENDS) {
                        return read_track_extends(file, child, movie);
                    }
                    return true;
                });
                if (!read) {
                    return halt(read.error());
                }
            }
            return true;
        },
        cut);
    if (!walked) {
        return propagate(walked);
    }
    return movie;
}

}  // namespace pytovrik::file::mp4
