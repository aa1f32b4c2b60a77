// Turns "frames i, j, k" of an indexed file into decode requests for the
// library: one job for each place where decoding starts, holding the asked
// frames it serves. The host prepares a job's request, sends it to the
// library, and hands the outcome back; the plan then says which returned
// frame is which asked one, or that the job must be decoded again from an
// earlier random access point (a start that did not recover the way the
// index expected), or that it failed.
//
// Each request asks for its frames' positions and for the last picture it
// should yield and the one after it: exactly the first of those coming back
// confirms that the decoder produced the number of pictures the index
// expects, so no frame is ever matched to a wrong index.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/outcome.hpp"
#include "pytovrik_video.h"
#include "video_index.hpp"

namespace pytovrik::file {

class FramePlan {
public:
    // Frames may repeat and come in any order; each is a slot of the result.
    static Outcome<std::unique_ptr<FramePlan>> make(VideoIndex& index, std::span<const std::uint64_t> frames);

    std::size_t job_count() const { return jobs_.size(); }
    // The slots (positions in the frames given to make()) a job fills.
    std::span<const std::uint64_t> job_slots(std::size_t job) const { return jobs_[job].slots; }

    // Reads the job's samples and fills the request's packets and positions;
    // the host sets the output format and size. The memory stays the plan's
    // until the job is prepared again or the plan is freed. Different jobs
    // may be prepared and finished on different threads at once.
    Outcome<void> prepare(std::size_t job, RuntimeDecodeRequest& request);

    enum class Verdict { Done, Again };
    // After the host sent the prepared request: `decoded` is whether the
    // library returned 0, `frame_count` how many frames came back.
    // Done: `frame_of_slot[k]` is the returned frame for the job's k-th slot.
    // Again: prepare and decode the job once more (it now starts earlier,
    // prepare() takes no more account of the learnt points than before).
    // A failure names the file and the frames; `decode_failure` is what the
    // host knows of why the library failed. `concealed`: the library said it
    // concealed damage; a job that left pictures out is then decoded again
    // with all of them, as concealment depends on what was decoded before.
    Outcome<Verdict> finish(std::size_t job, bool decoded, std::uint64_t frame_count,
                            std::span<std::uint64_t> frame_of_slot, std::string_view decode_failure,
                            bool concealed = false);

private:
    struct Job {
        std::vector<std::uint64_t> slots;
        std::vector<std::uint64_t> frames;  // of each slot
        std::uint32_t start = 0;            // sample where decoding starts
        int retries = 0;
        bool keep_all = false;              // send every picture, asked or not
        bool left_out = false;              // prepare() left a picture out
        // Built by prepare():
        std::vector<ByteVector> packets;
        std::vector<std::uint32_t> packet_samples;  // the picture each packet ends with
        std::vector<RuntimePacket> runtime_packets;
        std::vector<std::uint64_t> positions;         // asked of the library, sorted
        std::vector<std::uint64_t> position_of_slot;  // of each slot
        std::uint64_t expected = 0;                   // pictures the request yields
    };

    // The samples a job reads, from `first` on, and how far its request runs.
    struct ReadSamples {
        std::uint32_t first = 0;
        RequestReach reach;
        std::vector<ByteVector> bytes;
    };

    explicit FramePlan(VideoIndex& index) : index_(index) {}
    Outcome<ReadSamples> read_and_learn(Job& job) const;
    Outcome<std::vector<std::uint32_t>> choose_samples(Job& job, const ReadSamples& read, const RequestView& view) const;
    Outcome<void> match_pictures(Job& job, std::vector<std::uint32_t> sent_frames, std::uint32_t recovered_at) const;
    std::string frames_text(const Job& job) const;
    std::string with_frames_for_packets(std::string_view failure, const Job& job) const;

    VideoIndex& index_;
    std::vector<Job> jobs_;
};

}  // namespace pytovrik::file
