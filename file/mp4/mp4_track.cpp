#include "mp4/mp4_track.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <vector>

#include "common/ffmpeg_owners.hpp"
#include "mp4/edit_list.hpp"
#include "mp4/movie_box.hpp"
#include "mp4/movie_fragments.hpp"
#include "mp4/mp4_boxes.hpp"
#include "mp4/mp4_outcome.hpp"
#include "mp4/sample_entries.hpp"
#include "mp4/sample_tables.hpp"
#include "mp4/segment_index.hpp"
#include "sample_reads.hpp"

namespace pytovrik::file {
namespace {

using namespace mp4;

// libavformat's first probe reads this much (PROBE_BUF_MIN) and keeps a
// demuxer scoring above AVPROBE_SCORE_RETRY.
constexpr std::size_t PROBE_BYTES = 2048;
// A data reference box holds a few short entries.
constexpr std::uint64_t MAX_DATA_REFERENCE_BYTES = 1U << 20;

class Mp4Track final : public Track {
public:
    explicit Mp4Track(std::shared_ptr<FileBytes> file) : file_(std::move(file)) {}

    Outcome<void> read_samples(std::span<const std::uint32_t> indices, const SampleConsumer& consume) override {
        for (std::size_t at = 0; at < indices.size(); ++at) {
            if (auto checked = check_index(indices, at); !checked) {
                return checked;
            }
        }
        return read_close_samples(*file_, samples, indices, consume);
    }

private:
    Outcome<void> check_index(std::span<const std::uint32_t> indices, std::size_t at) const {
        if (indices[at] >= samples.size() || (at > 0 && indices[at] <= indices[at - 1])) {
            return fail("'" + file_->path() + "': sample " + std::to_string(indices[at]) +
                        " is out of range or out of order (the track has " + std::to_string(samples.size()) +
                        " samples)");
        }
        return {};
    }

    std::shared_ptr<FileBytes> file_;
};

// The probe libavformat runs on the file's first bytes: only a file it
// hands to its mov demuxer is read here.
Mp4Outcome<const AVInputFormat*> probe_mov(const FileBytes& file) {
    std::array<std::uint8_t, PROBE_BYTES + AVPROBE_PADDING_SIZE> head{};
    auto got = file.read(0, std::span(head).first(PROBE_BYTES));
    if (!got) {
        return halt(got.error());
    }
    const AVInputFormat* mov = av_find_input_format("mov");
    AVProbeData probe{};
    probe.filename = file.path().c_str();
    probe.buf = head.data();
    probe.buf_size = static_cast<int>(*got);
    int score = AVPROBE_SCORE_RETRY;
    if (mov == nullptr || av_probe_input_format2(&probe, 1, &score) != mov) {
        return fall_back("libavformat does not read the file as ISO base media");
    }
    // libavformat skips an ID3v2 tag before it starts on the boxes.
    if (*got >= 3 && head[0] == 'I' && head[1] == 'D' && head[2] == '3') {
        return fall_back("the file starts with an ID3 tag");
    }
    return mov;
}

// libavformat reads the samples of a track whose data reference is an alias
// record from another file, when it reads them at all.
Mp4Outcome<void> check_data_references(const FileBytes& file, const Box& dref) {
    auto payload = read_payload(file, dref, MAX_DATA_REFERENCE_BYTES);
    if (!payload) {
        return fall_back("the data reference box is unusually large");
    }
    FieldReader fields(*payload);
    fields.skip(4);
    const std::uint32_t count = fields.u32();
    for (std::uint32_t i = 0; i < count && !fields.overrun(); ++i) {
        const std::size_t start = fields.position();
        const std::uint32_t size = fields.u32();
        const std::uint32_t type = fields.u32();
        if (size < 12 || size - 4 > fields.remaining() + 4) {
            return fall_back("the data reference box is irregular");
        }
        if (type == box_type("alis") && size > 150) {
            return fall_back("the track refers to media in another file");
        }
        fields.skip(start + size - fields.position());
    }
    return {};
}

class Mp4Reader {
public:
    explicit Mp4Reader(std::shared_ptr<FileBytes> file) : file_(std::move(file)) {}

    Mp4Outcome<std::unique_ptr<Track>> open() {
        const std::uint64_t bytes_before = file_->bytes_read();
        auto mov = probe_mov(*file_);
        if (!mov) {
            return propagate(mov);
        }
        if (auto walked = walk_top_level(); !walked) {
            return propagate(walked);
        }
        if (!movie_seen_) {
            if (movie_in_free_space_) {
                return fall_back("the movie box hides in a free space box");
            }
            // libavformat cannot open such a file either.
            return halt(
                malformed(*file_, "the file has no movie box (moov); it may have been cut short before it").error());
        }
        if (!video_) {
            return fall_back("the movie has no track libavformat reads as H.264 video");
        }
        if (lazy_fragments_ && pending_fragment_) {
            return fall_back("a movie fragment has no media data after it");
        }
        set_presentation_times(index_, presented_);
        if (!header_read_) {
            take_frame_rate_sums();
        }
        if (rate_frames_ <= 0 || rate_duration_ <= 0) {
            return fall_back("the track's time tables give no frame rate");
        }
        auto track = std::make_unique<Mp4Track>(file_);
        track->info.container = (*mov)->name;
        track->info.time_base = {1, time_scale_};
        int rate_num = 0;
        int rate_den = 0;
        av_reduce(&rate_num, &rate_den, std::int64_t{time_scale_} * rate_frames_, rate_duration_, INT_MAX);
        track->info.frame_rate = {rate_num, rate_den};
        track->info.display_matrix = display_matrix_;
        track->descriptions = std::move(descriptions_);
        const std::size_t listed = index_.samples.size();
        track->samples = readable_samples();
        if (track->samples.empty() && unreachable_) {
            return halt(malformed(*file_, "none of the track's " + std::to_string(listed) +
                                              " samples can be read: the first lies at byte " +
                                              std::to_string(unreachable_->position) + " and holds " +
                                              std::to_string(unreachable_->size) + " bytes, in a file of " +
                                              std::to_string(file_->size()))
                            .error());
        }
        track->info.bytes_read = file_->bytes_read() - bytes_before;
        return std::unique_ptr<Track>(std::move(track));
    }

private:
    Mp4Outcome<void> walk_top_level() {
        const std::uint64_t size = file_->size();
        BoxHeaderReader headers(*file_);
        std::uint64_t offset = 0;
        while (offset < size) {
            auto header = headers.read(offset, size);
            if (!header) {
                return halt(header.error());
            }
            if (header->status != HeaderStatus::box) {
                break;  // libavformat stops at a box it cannot size
            }
            const Box& box = header->box;
            const bool cut = box.end > size;
            Mp4Outcome<void> read;
            if (box.type == box_type("moov") && !movie_seen_) {
                Box present = box;
                present.end = std::min(box.end, size);
                read = read_movie(present, cut);
            } else if (box.type == box_type("moof")) {
                read = cut ? fall_back("a movie fragment is cut short") : read_fragment(box);
            } else if (box.type == box_type("sidx")) {
                read = cut ? fall_back("a segment index is cut short") : read_segment_index(box);
            } else if (box.type == box_type("mdat")) {
                read = note_media_data(box);
            } else if ((box.type == box_type("free") || box.type == box_type("hoov")) && !movie_seen_) {
                read = look_for_hidden_movie(box);
            }
            if (!read) {
                return read;
            }
            if (auto ended = note_header_end(box); !ended) {
                return ended;
            }
            if (cut) {
                break;
            }
            offset = box.end;
        }
        return {};
    }

    // With a complete segment index, libavformat's open stops after the
    // first box it parses once it has seen the movie and media data; the
    // frame rate it states counts only the fragments read by then.
    Mp4Outcome<void> note_header_end(const Box& box) {
        if (box.type == box_type("mdat") && box.payload_size() != 0) {
            media_data_seen_ = true;
        }
        if (!lazy_fragments_ || header_read_) {
            return {};
        }
        static constexpr std::array parsed = {box_type("moov"), box_type("moof"), box_type("mdat"), box_type("sidx"),
                                              box_type("free"), box_type("wide"), box_type("uuid"), box_type("meta"),
                                              box_type("udta"), box_type("ftyp")};
        static constexpr std::array skipped = {box_type("styp"), box_type("prft"), box_type("emsg"),
                                               box_type("skip"), box_type("mfra"), box_type("pdin")};
        if (std::find(parsed.begin(), parsed.end(), box.type) == parsed.end()) {
            if (std::find(skipped.begin(), skipped.end(), box.type) == skipped.end()) {
                return fall_back("box '" + type_name(box.type) + "' follows a complete segment index");
            }
            return {};
        }
        if (movie_seen_ && media_data_seen_) {
            header_read_ = true;
            take_frame_rate_sums();
        }
        return {};
    }

    void take_frame_rate_sums() {
        rate_frames_ = index_.frames_for_rate;
        rate_duration_ = index_.duration_for_rate;
    }

    // libavformat takes a free space box that starts like a movie box for
    // one, when the file has no other.
    Mp4Outcome<void> look_for_hidden_movie(const Box& box) {
        auto head = read_payload_head(*file_, box, 8);
        if (!head) {
            return halt(head.error());
        }
        if (head->size() == 8) {
            const std::uint32_t type = read_be32(head->data() + 4);
            movie_in_free_space_ = movie_in_free_space_ || type == box_type("mvhd") || type == box_type("cmov");
        }
        // A 'hoov' is taken for the movie box at once, even before a real one.
        if (movie_in_free_space_ && box.type == box_type("hoov")) {
            return fall_back("the movie box hides in a 'hoov' box");
        }
        return {};
    }

    Mp4Outcome<void> read_movie(const Box& moov, bool cut) {
        movie_seen_ = true;
        auto movie = read_movie_box(*file_, moov, cut);
        if (!movie) {
            return propagate(movie);
        }
        track_ids_ = std::move(movie->track_ids);
        extends_ = std::move(movie->extends);
        if (!movie->video) {
            return {};
        }
        const TrackBoxes& track = *movie->video;
        if (!track.unsupported.empty()) {
            return fall_back(track.unsupported);
        }
        if (!track.has_track_header || std::count(track_ids_.begin(), track_ids_.end(), track.track_id) != 1) {
            return fall_back("the H.264 track has no track id of its own");
        }
        if (track.time_scale == 0) {
            return fall_back("the H.264 track has no media header");
        }
        if (track.data_references) {
            if (auto checked = check_data_references(*file_, *track.data_references); !checked) {
                return checked;
            }
        }
        auto entries = read_sample_entries(*file_, *track.sample_descriptions);
        if (!entries) {
            return propagate(entries);
        }
        auto index = build_sample_index(*file_, track, *entries);
        if (!index) {
            return propagate(index);
        }
        index_ = std::move(*index);
        std::vector<Edit> edits;
        if (track.edit_list) {
            auto read = read_edit_list(*file_, *track.edit_list);
            if (!read) {
                return propagate(read);
            }
            edits = std::move(*read);
        }
        if (!edits.empty() && index_.complete && !index_.samples.empty()) {
            apply_edit_list(index_, edits, track.time_scale, track.movie_time_scale);
            fragments_.edited_offsets = index_.has_offset_table;
        }
        fragments_.track_id = track.track_id;
        fragments_.pseudo_stream_id = entries->pseudo_stream_id;
        fragments_.time_offset =
            edits.empty() ? 0 : fragment_time_offset(edits, track.time_scale, track.movie_time_scale);
        descriptions_ = std::move(entries->descriptions);
        time_scale_ = track.time_scale;
        display_matrix_ = track.matrix;
        video_ = true;
        return {};
    }

    Mp4Outcome<void> read_fragment(const Box& moof) {
        if (!movie_seen_) {
            return fall_back("a movie fragment comes before the movie box");
        }
        if (!video_) {
            return {};
        }
        if (!fragment_reader_) {
            if (descriptions_.size() > 1) {
                return fall_back("a fragmented track has several sample descriptions");
            }
            if (lazy_fragments_ && !index_.samples.empty()) {
                return fall_back("indexed fragments follow samples in the movie box");
            }
            fragments_.extends = extends_;
            fragment_reader_.emplace(*file_, fragments_, index_);
        }
        if (lazy_fragments_ && pending_fragment_) {
            return fall_back("two movie fragments have no media data between them");
        }
        const std::size_t first = index_.samples.size();
        if (auto read = fragment_reader_->read(moof); !read) {
            return read;
        }
        if (lazy_fragments_) {
            // libavformat reads this moof only once the packets before it are
            // used up: the decode time shift it has then is the one they get.
            set_presentation_times(index_, first);
            presented_ = index_.samples.size();
            pending_fragment_ = first;
        }
        return {};
    }

    Mp4Outcome<void> note_media_data(const Box& mdat) {
        if (!lazy_fragments_ || !pending_fragment_) {
            return {};
        }
        // libavformat cuts samples at the end of the media data after their
        // moof; it never needs to here.
        for (std::size_t i = *pending_fragment_; i < index_.samples.size(); ++i) {
            const TrackSample& sample = index_.samples[i];
            if (sample.position > mdat.end || sample.size > mdat.end - sample.position) {
                return fall_back("a fragment's samples lie outside the media data after it");
            }
        }
        pending_fragment_.reset();
        return {};
    }

    Mp4Outcome<void> read_segment_index(const Box& sidx) {
        if (!movie_seen_) {
            return {};  // libavformat knows no track yet and ignores it
        }
        auto end = read_segment_index_end(*file_, sidx, track_ids_);
        if (!end) {
            return propagate(end);
        }
        if (!*end) {
            return {};
        }
        fragments_.has_segment_index = true;
        auto complete = segments_reach_end(*file_, **end);
        if (!complete) {
            return halt(complete.error());
        }
        if (*complete) {
            if (fragment_reader_) {
                return fall_back("a complete segment index follows movie fragments");
            }
            lazy_fragments_ = true;
        }
        return {};
    }

    // libavformat's packets: it drops empty ones, hands out what the file
    // still holds of a sample the file's end cuts, and stops at the first
    // sample the file does not reach, or whose size its index holds as a
    // negative number (bit 29 set in a 30-bit field).
    std::vector<TrackSample> readable_samples() {
        std::vector<TrackSample>& samples = index_.samples;
        const std::uint64_t size = file_->size();
        std::size_t kept = 0;
        for (TrackSample sample : samples) {
            if (sample.size == 0) {
                continue;
            }
            if (sample.position >= size || sample.size >= NEGATIVE_INDEXED_SAMPLE_SIZE) {
                unreachable_ = sample;
                break;
            }
            if (sample.size > size - sample.position) {
                sample.size = static_cast<std::uint32_t>(size - sample.position);
                sample.flags |= SAMPLE_TRUNCATED;
            }
            samples[kept++] = sample;
        }
        samples.resize(kept);
        samples.shrink_to_fit();
        return std::move(samples);
    }

    std::shared_ptr<FileBytes> file_;
    bool movie_seen_ = false;
    bool movie_in_free_space_ = false;
    bool video_ = false;
    std::array<std::int32_t, 9> display_matrix_{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    std::vector<std::uint32_t> track_ids_;
    std::vector<TrackExtends> extends_;
    SampleIndex index_;
    std::vector<SampleDescription> descriptions_;
    std::int32_t time_scale_ = 1;
    FragmentedTrack fragments_;
    std::optional<FragmentReader> fragment_reader_;
    bool lazy_fragments_ = false;
    std::optional<std::size_t> pending_fragment_;  // first sample of a moof awaiting its mdat
    std::size_t presented_ = 0;                    // samples whose presentation time is final
    std::optional<TrackSample> unreachable_;       // the first sample libavformat cannot read
    bool media_data_seen_ = false;
    bool header_read_ = false;  // where libavformat's open stops reading boxes
    std::int64_t rate_frames_ = 0;
    std::int64_t rate_duration_ = 0;
};

}  // namespace

Outcome<std::unique_ptr<Track>> open_mp4_track(std::shared_ptr<FileBytes> file, std::string* fallback_reason) {
    auto opened = Mp4Reader(std::move(file)).open();
    if (opened) {
        return std::move(*opened);
    }
    if (auto* failure = std::get_if<Failure>(&opened.error())) {
        return std::unexpected(std::move(*failure));
    }
    if (fallback_reason != nullptr) {
        *fallback_reason = std::get<Fallback>(opened.error()).reason;
    }
    return std::unique_ptr<Track>();
}

}  // namespace pytovrik::file
