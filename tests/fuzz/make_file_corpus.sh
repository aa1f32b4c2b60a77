#!/usr/bin/env bash
# Regenerates tests/fuzz/file_corpus: the video file fuzzer's seeds (see
# video_file_fuzzer.cpp), each a whole container file of a few KB: tiny
# pictures, a handful of frames, short groups, in every container the file
# layer reads, and the shapes its index handles (B-frames, edit lists,
# fragments, field pairs, open GOP, intra refresh, a stream joined mid-way,
# a resolution change), plus files that lie or would cost out of proportion
# (make_hostile_files.py).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/file_corpus
streams=$here/../data/conformance/streams
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
src=(-f lavfi -i "testsrc2=size=32x32:rate=25")
# Short closed groups with B-frames; no SEI (the encoder's settings text
# would be most of each file).
x264=(-c:v libx264 -preset ultrafast -bf 2 -b_strategy 0 -g 4 -keyint_min 4 -sc_threshold 0
      -bsf:v filter_units=remove_types=6)
ten=(-frames:v 10)

ff "${src[@]}" "${ten[@]}" "${x264[@]}" "$out/mp4_plain.mp4"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" -movflags negative_cts_offsets "$out/mp4_negative_cts.mp4"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" -movflags frag_keyframe+empty_moov "$out/mp4_fragmented.mp4"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" \
    -movflags frag_keyframe+empty_moov+default_base_moof+global_sidx "$out/mp4_fragmented_indexed.mp4"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" "$out/mov_plain.mov"
# An edit list that starts mid-group, and one that hides pictures before 0.
ff "${src[@]}" -frames:v 16 "${x264[@]}" "$work/long.mp4"
ff -ss 0.2 -i "$work/long.mp4" -c copy -t 0.24 "$out/mp4_edit_list.mp4"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" -output_ts_offset -0.08 -avoid_negative_ts disabled \
    "$out/mp4_negative_pts.mp4"
# Only the first picture is IDR: recovery point SEI, kept for them.
ff "${src[@]}" "${ten[@]}" -c:v libx264 -preset ultrafast -bf 2 -g 4 -x264-params open-gop=1 \
    "$out/mp4_open_gop.mp4"
# Intra refresh: a picture 64 wide refreshes over a few, so its recovery
# point SEI names a picture some frames later; joined mid-stream, a
# transport stream has no IDR picture at all.
refresh=(-f lavfi -i "testsrc2=size=64x16:rate=25" -c:v libx264 -preset ultrafast -bf 0 -g 6
         -x264-params intra-refresh=1)
ff "${refresh[@]}" -frames:v 12 "$out/mp4_intra_refresh.mp4"
ff "${refresh[@]}" -frames:v 24 "$work/refresh.ts"
tail -c +$(( ($(stat -c %s "$work/refresh.ts") / 188 / 3) * 188 + 1 )) "$work/refresh.ts" \
    >"$out/ts_intra_refresh_joined.ts"
# Field pairs: the first pictures of an interlaced conformance stream.
ff -fflags +genpts -i "$streams/CVFI1_SVA_C.264" -c copy -frames:v 4 "$out/mp4_fields.mp4"
ff -fflags +genpts -i "$streams/CVFI1_SVA_C.264" -c copy -frames:v 4 "$out/mkv_fields.mkv"

ff "${src[@]}" "${ten[@]}" "${x264[@]}" "$out/ts_plain.ts"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" "$out/mkv_plain.mkv"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" "$out/avi_plain.avi"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" "$out/flv_plain.flv"
ff "${src[@]}" "${ten[@]}" "${x264[@]}" -f h264 "$out/raw_plain.h264"
# A transport stream joined mid-group: it starts far from a key picture.
ff "${src[@]}" -frames:v 16 "${x264[@]}" "$work/long.ts"
tail -c +$(( ($(stat -c %s "$work/long.ts") / 188 / 2) * 188 + 1 )) "$work/long.ts" >"$out/ts_joined_mid_group.ts"
# Two encodes of different sizes joined, their parameter sets in band.
ff -f lavfi -i testsrc2=size=32x32:rate=25 -frames:v 4 "${x264[@]}" "$work/a.ts"
ff -f lavfi -i testsrc2=size=48x16:rate=25 -frames:v 4 "${x264[@]}" "$work/b.ts"
cat "$work/a.ts" "$work/b.ts" >"$out/ts_resolution_change.ts"
ff -i "$out/ts_resolution_change.ts" -c copy "$out/mkv_resolution_change.mkv"

# Cut short: the last sample partial, the movie box at the end lost.
ff "${src[@]}" "${ten[@]}" "${x264[@]}" -movflags faststart "$work/faststart.mp4"
head -c $(( $(stat -c %s "$work/faststart.mp4") * 2 / 3 )) "$work/faststart.mp4" >"$out/mp4_truncated.mp4"
head -c $(( $(stat -c %s "$out/mkv_plain.mkv") * 3 / 5 )) "$out/mkv_plain.mkv" >"$out/mkv_truncated.mkv"

# One group of 40 pictures, for the file without a sync sample table.
ff "${src[@]}" -frames:v 40 "${x264[@]}" -g 40 -keyint_min 40 "$work/long_group.mp4"
python3 "$here/make_hostile_files.py" "$out/mp4_plain.mp4" "$out/mp4_fragmented.mp4" "$work/long_group.mp4" \
    "$out/raw_plain.h264" "$out"
