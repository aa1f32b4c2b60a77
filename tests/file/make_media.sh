#!/usr/bin/env bash
# Makes the file layer's test media with the system's ffmpeg and x264, into
# the folder given. Small on purpose: few frames, small pictures. Each file is
# made once; delete the folder to make them again.
set -euo pipefail
out=$1
streams=$(cd "$(dirname "$0")/../data/conformance/streams" && pwd)
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
make() {  # make NAME COMMAND...: runs the command unless NAME exists
    local name=$1
    shift
    [[ -e $name ]] || "$@"
}
src=(-f lavfi -i "testsrc2=size=160x120:rate=25")
x264=(-c:v libx264 -bf 2 -g 12 -keyint_min 12 -sc_threshold 0)

# A plain progressive MP4 with B-frames: three closed groups of 12.
make plain.mp4 ff "${src[@]}" -t 1.44 "${x264[@]}" plain.mp4

# Cut without re-encoding, mid-group: the edit list starts after the key
# frame the first shown picture needs.
make long.mp4 ff "${src[@]}" -t 4 -c:v libx264 -bf 3 -g 25 -keyint_min 25 -sc_threshold 0 long.mp4
make cut.mp4 ff -ss 1.3 -i long.mp4 -c copy -t 1.5 cut.mp4

# Negative composition offsets: decode times shift back (ctts version 1).
make negative_cts.mp4 ff "${src[@]}" -t 1 "${x264[@]}" -movflags negative_cts_offsets negative_cts.mp4
# Timestamps moved below zero: an edit list hides the first pictures.
make negative_pts.mp4 ff "${src[@]}" -t 1 "${x264[@]}" -output_ts_offset -0.2 -avoid_negative_ts disabled \
    negative_pts.mp4

# The video track starts late (an empty edit) and ends early, after an audio
# track that is the movie's first.
make late_video.mp4 ff -f lavfi -i "sine=frequency=440:duration=2" \
    -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1" -map 0:a -map 1:v -c:a aac "${x264[@]}" \
    -vf "setpts=PTS+0.4/TB" late_video.mp4

# Only the first picture is IDR.
make open_gop.mp4 ff "${src[@]}" -t 2 -c:v libx264 -bf 3 -g 25 -x264-params open-gop=1 open_gop.mp4
make intra_refresh.mp4 ff "${src[@]}" -t 2 -c:v libx264 -bf 0 -g 25 -x264-params intra-refresh=1 intra_refresh.mp4

# Fragments: an empty movie box; the first fragment in the movie box; a
# segment index over every fragment, with negative composition offsets.
make fragmented.mp4 ff "${src[@]}" -t 2 "${x264[@]}" -movflags frag_keyframe+empty_moov fragmented.mp4
make fragmented_moov_samples.mp4 ff "${src[@]}" -t 2 "${x264[@]}" -movflags frag_keyframe \
    fragmented_moov_samples.mp4
make fragmented_indexed.mp4 ff "${src[@]}" -t 2 "${x264[@]}" \
    -movflags frag_keyframe+empty_moov+default_base_moof+negative_cts_offsets+global_sidx fragmented_indexed.mp4

make faststart.mp4 ff "${src[@]}" -t 2 "${x264[@]}" -movflags faststart faststart.mp4
make movie.mov ff "${src[@]}" -t 1 "${x264[@]}" movie.mov

# Interlaced conformance streams coded as field pairs, remuxed as broadcast
# recordings are.
make fields_cvfi1.mp4 ff -i "$streams/CVFI1_SVA_C.264" -c copy fields_cvfi1.mp4
make fields_capama3.mp4 ff -i "$streams/CAPAMA3_Sand_F.264" -c copy fields_capama3.mp4

# A download cut short inside the media data: the last sample is partial.
make truncated.mp4 bash -c 'head -c $(( $(stat -c %s faststart.mp4) * 2 / 3 )) faststart.mp4 > truncated.mp4'
# A movie box at the end of the file, cut inside its last box (user data):
# nothing the track needs is lost.
make cut_user_data.mp4 bash -c 'head -c $(( $(stat -c %s plain.mp4) - 20 )) plain.mp4 > cut_user_data.mp4'
