// Which requests may share a pooled decoder.
//
// A flushed H.264 decoder drops its pictures but keeps what streams taught
// it, and what it keeps changes how it decodes the next one. Reading
// libavcodec's flush path (h264_decode_flush, ff_h264_flush_change,
// ff_h264_sei_uninit) and what the decoder sets only on first meeting a
// stream, what survives is:
//   1. the SPS and PPS lists;
//   2. context fields a slice sets from its SPS only when the SPS signals
//      them (colour matrix, primaries, transfer, range, chroma location);
//   3. the reorder depth (has_b_frames), which only ever grows: from the
//      SPS, and from pictures that arrive more out of order than that;
//   4. the encoder's identity read from a user-data SEI (x264_build), which
//      switches workarounds for old encoders;
//   5. whether a random access point was ever seen (has_recovery_point),
//      which with the PPS list steers the guess of which pictures of a
//      stream without an IDR picture are shown.
// Rather than compare those fields (FFmpeg's own, and they change between
// versions), the rule compares where they come from. A batch's key is the
// set of units that teach 1, 2 and 4: its SPS, PPS and user-data SEI NAL
// units, byte for byte, in the order first seen. A pooled decoder decodes a
// batch only when every batch it decoded since it opened had the same key,
// and only when the batch is "poolable":
//   - every key unit comes before its first slice, and that slice is an IDR
//     slice: so from the batch's first picture on, a fresh decoder holds the
//     same parameter sets, SEI-derived identity and random access state (5)
//     as the pooled one, and both forget everything else at that IDR;
//   - it has exactly one distinct SPS: every slice activates that SPS, so
//     the fields of 2 end the same on both, whatever was activated last;
//   - that SPS declares its reorder depth (bitstream_restriction): libavcodec
//     grows the depth from out-of-order pictures only without it, so 3 is
//     then a function of the SPS alone;
//   - every slice refers to parameter sets defined earlier in the batch.
// Under these conditions the pooled decoder starts the batch in the state a
// fresh decoder reaches after the batch's own leading units, so the frames,
// their count and the status are the same. Every other batch gets a fresh
// decoder, which is freed after it; the pooled one stays for the next batch
// of its stream. A data loader reading a file group by group thus keeps its
// decoder from the second group on (the first group of an x264 stream also
// carries the encoder's SEI, so it keys apart from the rest).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode/packet_batch.hpp"

namespace pytovrik {

struct StreamKey {
    // The key units, each behind its length as four little-endian bytes.
    std::vector<std::uint8_t> units;
    bool poolable = false;
    // Every slice refers to a PPS defined earlier in the batch, whose SPS
    // came before that PPS. When in doubt (an unreadable header) false.
    bool defines_its_parameter_sets = true;
    // The batch holds no byte at all: it teaches a decoder nothing, so any
    // decoder may run it, and one that has only ever run such batches is as
    // good as a fresh one for any stream.
    bool blank = false;
    // The first parameter set the batch refers to without defining it before
    // ("PPS 3", "SPS 0"), when its id could be read: a failure names it.
    std::string undefined_set;
};

// Reads the batch's Annex B NAL units; only headers, never slice data.
StreamKey stream_key_of(const PacketBatch& packets);

}  // namespace pytovrik
