// libavformat's demuxer of one file, reduced to the H.264 track a player
// would show: the first H.264 video stream, every other stream discarded.
// Packets come out as the ffmpeg command line takes them: it reads again
// after EAGAIN, and takes any other error as the end of the input, decoding
// what came before it (fftools/ffmpeg.c, process_input).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <string>

#include "common/ffmpeg_owners.hpp"
#include "common/outcome.hpp"
#include "file_bytes.hpp"
#include "scan/file_avio.hpp"

namespace pytovrik::file {

// Which stream of the file the track is, as the first open found it.
struct TrackStreamId {
    int index = -1;  // AVStream::index
    int id = 0;      // AVStream::id: the PID in MPEG-TS, the track number in Matroska
};

class TrackDemuxer {
public:
    // Opens the file and reads its stream information (the scan).
    static Outcome<std::unique_ptr<TrackDemuxer>> open(std::shared_ptr<FileBytes> file);
    // Opens the file again to find packets the scan saw: the container's
    // header only, and the stream the scan chose.
    static Outcome<std::unique_ptr<TrackDemuxer>> reopen(std::shared_ptr<FileBytes> file, TrackStreamId stream);

    TrackDemuxer(const TrackDemuxer&) = delete;
    TrackDemuxer& operator=(const TrackDemuxer&) = delete;
    ~TrackDemuxer() = default;

    AVFormatContext* format() const noexcept { return format_.get(); }
    const AVStream* stream() const noexcept { return format_->streams[stream_id_.index]; }
    TrackStreamId stream_id() const noexcept { return stream_id_; }

    // The next packet of the track into `packet`, releasing what it held;
    // false at the end of the input. end_code() then says what ended it: 0 for the end of the file.
    bool read_packet(AVPacket* packet);
    int end_code() const noexcept { return end_code_; }
    std::string end_reason() const;
    // Why reading the source failed, empty when it has not.
    const std::string& read_failure() const noexcept { return avio_->failure(); }

    // False where no packet's bytes can lie contiguously in the file:
    // MPEG-TS spreads each over 188-byte transport packets.
    bool packets_may_be_contiguous() const noexcept;

    // Repositions the demuxer so that the next packets start at or before
    // the one found at `byte_position` during the scan. False where the
    // demuxer cannot be repositioned there. Where it seeks by byte, the
    // source's bytes up to `needed_end` are read at once.
    bool seek_near(std::int64_t byte_position, std::int64_t pts, std::int64_t needed_end = -1);

private:
    TrackDemuxer(std::unique_ptr<FileAvio> avio, UniqueAVFormatContext format, TrackStreamId stream_id) noexcept
        : avio_(std::move(avio)), format_(std::move(format)), stream_id_(stream_id) {}

    static Outcome<UniqueAVFormatContext> open_format(const FileAvio& avio, const std::string& path);
    // The file's bytes behind an AVIO, and libavformat opened on them.
    static Outcome<std::pair<std::unique_ptr<FileAvio>, UniqueAVFormatContext>> open_input(
        std::shared_ptr<FileBytes> file);

    // Declared first: the format context reads through it up to its release.
    std::unique_ptr<FileAvio> avio_;
    UniqueAVFormatContext format_;
    TrackStreamId stream_id_;
    int end_code_ = 0;
};

}  // namespace pytovrik::file
