#!/usr/bin/env bash
# Makes the file layer's test media with the system's ffmpeg and x264, into
# the folder given. Small on purpose: few frames, small pictures. Each file is
# made once; delete the folder to make them again.
#
#   make_media.sh DIR [SPLIT_SEI_PACKETS [EMULATOR...]]
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
streams=$here/../data/conformance/streams
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
make() {  # make NAME COMMAND...: runs the command unless NAME exists
    local name=$1
    shift
    [[ -e $name ]] || "$@" || { rm -f "$name"; return 1; }
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
# Open GOP whose key frames each have three leading pictures after them in
# decode order (a fixed group, three B-frames always).
make open_gop_leading.mp4 ff "${src[@]}" -t 2 -c:v libx264 -bf 3 -g 24 -keyint_min 24 -sc_threshold 0 \
    -x264-params open-gop=1:b-adapt=0:b-pyramid=normal open_gop_leading.mp4
make intra_refresh.mp4 ff "${src[@]}" -t 2 -c:v libx264 -bf 0 -g 25 -x264-params intra-refresh=1 intra_refresh.mp4

# Fragments: an empty movie box; the first fragment in the movie box; a
# segment index over every fragment, with negative composition offsets.
make fragmented.mp4 ff "${src[@]}" -t 2 "${x264[@]}" -movflags frag_keyframe+empty_moov fragmented.mp4
make fragmented_moov_samples.mp4 ff "${src[@]}" -t 2 "${x264[@]}" -movflags frag_keyframe \
    fragmented_moov_samples.mp4
make fragmented_indexed.mp4 ff "${src[@]}" -t 2 "${x264[@]}" \
    -movflags frag_keyframe+empty_moov+default_base_moof+negative_cts_offsets+global_sidx fragmented_indexed.mp4

# Minutes of video with sound, for what reading a few frames costs: groups of
# a second, so that eight frames are a few percent of the groups.
make minutes.mp4 ff -f lavfi -i "testsrc2=size=320x240:rate=25" -f lavfi -i "sine=frequency=440:sample_rate=16000" \
    -t 180 -c:v libx264 -g 25 -crf 23 -preset veryfast -c:a aac -b:a 32k minutes.mp4

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


# Containers read by scanning the whole file (MPEG-TS, Matroska, AVI, FLV,
# raw H.264), named by container; an audio track beside the video where the
# container interleaves one.
split_sei=${2:-}
# A cross build's tool runs under its emulator (the rest of its words).
read -r -a emulator <<< "${3:-}"
gop=(-c:v libx264 -bf 2 -g 25 -keyint_min 25 -sc_threshold 0)
tone=(-f lavfi -i "sine=frequency=440:sample_rate=32000" -c:a mp2 -b:a 32k)
# Six seconds at a high rate, long enough to hold the damaged stretch below.
make ts_bframes.ts ff "${src[@]}" "${tone[@]}" -t 6 "${gop[@]}" -crf 6 ts_bframes.ts
make mkv_bframes.mkv ff "${src[@]}" "${tone[@]}" -t 4 "${gop[@]}" mkv_bframes.mkv
make avi_bframes.avi ff "${src[@]}" "${tone[@]}" -t 4 "${gop[@]}" avi_bframes.avi
make flv_bframes.flv ff "${src[@]}" -t 4 "${gop[@]}" flv_bframes.flv
make raw_bframes.h264 ff "${src[@]}" -t 4 "${gop[@]}" -f h264 raw_bframes.h264
# Moov first, so that cutting the file cuts the samples.
make scan_bframes.mp4 ff "${src[@]}" -t 4 "${gop[@]}" -movflags +faststart scan_bframes.mp4

# A broadcast recording joined mid-stream: the first bytes are a transport
# packet in the middle of a group, far from any key picture.
make ts_cut.ts bash -c 'tail -c +$(( ($(stat -c %s ts_bframes.ts) / 188 * 2 / 5) * 188 + 1 )) ts_bframes.ts > ts_cut.ts'

# Interlaced video coded as field pairs, remuxed as broadcasts store it.
# Raw streams give the muxers no timestamps to start from: genpts makes them
# for CVFI1; CAPAMA3's packets get one per packet at 25 a second of the
# 90 kHz MPEG-TS clock.
make ts_field_cvfi1.ts ff -fflags +genpts -i "$streams/CVFI1_SVA_C.264" -c copy ts_field_cvfi1.ts
make mkv_field_cvfi1.mkv ff -fflags +genpts -i "$streams/CVFI1_SVA_C.264" -c copy mkv_field_cvfi1.mkv
make ts_field_capama3.ts ff -i "$streams/CAPAMA3_Sand_F.264" -c copy -bsf:v "setts=ts=N*3600" ts_field_capama3.ts
make mkv_field_capama3.mkv ff -i ts_field_capama3.ts -c copy mkv_field_capama3.mkv

# A resolution change: two encodes joined, with their parameter sets in band.
make ts_resolution_change.ts bash -c '
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 1 \
        -c:v libx264 -g 25 part1.ts &&
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=176x144:rate=25 -t 1 \
        -c:v libx264 -g 25 part2.ts &&
    printf "file part1.ts\nfile part2.ts\n" > parts.txt &&
    ffmpeg -hide_banner -loglevel error -nostdin -y -f concat -i parts.txt -c copy ts_resolution_change.ts &&
    rm part1.ts part2.ts parts.txt'
make mkv_resolution_change.mkv ff -i ts_resolution_change.ts -c copy mkv_resolution_change.mkv
# FLV states the change out of band: a second encode's tags, its AVC
# sequence header first, appended to the first file (past its 13-byte file
# header), its timestamps a second on.
make flv_resolution_change.flv bash -c '
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 1 \
        -c:v libx264 -g 25 part1.flv &&
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=176x144:rate=25 -t 1 \
        -c:v libx264 -g 25 -output_ts_offset 1 part2.flv &&
    { cat part1.flv; tail -c +14 part2.flv; } > flv_resolution_change.flv && rm part1.flv part2.flv'

# Downloads cut short, and copies with a damaged stretch a fifth into the
# file: 4 KiB of 0xFF, and in MPEG-TS 200 KiB of zeros. The MPEG-TS demuxer
# gives up resynchronising after 64 KiB each time; once it has no packet
# left to flush, av_read_frame says EAGAIN, and reading on finds the rest.
truncate_copy() { head -c $(( $(stat -c %s "$1") * 3 / 5 )) "$1" > "$2"; }
damage_copy() {  # damage_copy SOURCE COPY BYTES FILL
    cp "$1" "$2"
    head -c "$3" /dev/zero | tr '\0' "$4" |
        dd of="$2" bs=1 seek=$(( $(stat -c %s "$1") / 5 )) conv=notrunc status=none
}
make ts_truncated.ts truncate_copy ts_bframes.ts ts_truncated.ts
make mkv_truncated.mkv truncate_copy mkv_bframes.mkv mkv_truncated.mkv
make avi_truncated.avi truncate_copy avi_bframes.avi avi_truncated.avi
make scan_truncated.mp4 truncate_copy scan_bframes.mp4 scan_truncated.mp4
make ts_damaged.ts damage_copy ts_bframes.ts ts_damaged.ts 204800 '\0'
make mkv_damaged.mkv damage_copy mkv_bframes.mkv mkv_damaged.mkv 4096 '\377'
make avi_damaged.avi damage_copy avi_bframes.avi avi_damaged.avi 4096 '\377'
make scan_damaged.mp4 damage_copy scan_bframes.mp4 scan_damaged.mp4 4096 '\377'

# A packet that holds only an SEI, split off the picture it came with.
if [[ -n $split_sei && ! -e mkv_sei_only.mkv ]]; then
    ff -i mkv_bframes.mkv -an -c copy sei_source.mkv
    "${emulator[@]}" "$split_sei" sei_source.mkv mkv_sei_only.mkv || { rm -f mkv_sei_only.mkv; exit 1; }
    rm sei_source.mkv
fi

# Every conformance stream, raw and remuxed into MP4, Matroska and MPEG-TS
# without re-encoding (conf_<name>.*). A raw stream with B pictures gives the
# muxers no timestamps to start from: its MPEG-TS copy gets one per packet at
# 25 a second of the 90 kHz clock, and its Matroska copy is made from that.
manifest=$here/../data/conformance/manifest.tsv
while IFS=$'\t' read -r name file _; do
    [[ $name == name ]] && continue
    raw=$here/../data/conformance/$file
    make "conf_$name.h264" ln -s "$raw" "conf_$name.h264"
    make "conf_$name.mp4" ff -fflags +genpts -i "$raw" -c copy "conf_$name.mp4"
    make "conf_$name.ts" bash -c "
        ffmpeg -hide_banner -loglevel quiet -nostdin -y -fflags +genpts -i '$raw' -c copy 'conf_$name.ts' ||
        ffmpeg -hide_banner -loglevel error -nostdin -y -i '$raw' -c copy -bsf:v setts=ts=N*3600 'conf_$name.ts'"
    make "conf_$name.mkv" ff -i "conf_$name.ts" -c copy "conf_$name.mkv"
done < "$manifest"

# x264 streams made to be hard, in every container (hard_<kind>.*): five
# scenes, so that scene cuts make intra pictures; several reference frames
# reaching past them, B-pyramids, weighted prediction, open groups, intra
# refresh and interlacing.
scenes='testsrc2=size=192x108:rate=25:duration=1[a];
mandelbrot=size=192x108:rate=25,trim=duration=1,setpts=PTS-STARTPTS[b];
cellauto=size=192x108:rate=25,trim=duration=1,setpts=PTS-STARTPTS[c];
smptebars=size=192x108:rate=25:duration=1[d];
rgbtestsrc=size=192x108:rate=25:duration=1[e];
[a][b][c][d][e]concat=n=5:v=1:a=0,format=yuv420p'
hard() {  # hard KIND X264_OPTIONS...
    local kind=$1
    shift
    make "hard_$kind.mp4" ff -filter_complex "$scenes" -c:v libx264 "$@" "hard_$kind.mp4"
    make "hard_$kind.mkv" ff -i "hard_$kind.mp4" -c copy "hard_$kind.mkv"
    make "hard_$kind.ts" ff -i "hard_$kind.mp4" -c copy "hard_$kind.ts"
    make "hard_$kind.h264" ff -i "hard_$kind.mp4" -c copy -f h264 "hard_$kind.h264"
}
# Scene cuts as non-IDR intra pictures that later pictures reach past.
hard scenecut -bf 3 -x264-params keyint=500:min-keyint=500:scenecut=40:ref=5:b-pyramid=normal:weightp=2
hard scenecut_open -bf 3 -x264-params keyint=60:min-keyint=30:scenecut=40:ref=4:open-gop=1:b-pyramid=normal
hard refresh -bf 0 -x264-params keyint=40:intra-refresh=1:ref=4
hard one_idr -bf 3 -x264-params keyint=500:min-keyint=500:scenecut=0:ref=6:b-pyramid=strict:weightp=2
hard interlaced -bf 2 -flags +ildct+ilme -x264-params keyint=500:min-keyint=500:scenecut=40:ref=4:weightp=1

# A download cut inside its last sample, which ffmpeg's demuxer drops.
make history_wwwq_cut.mp4 ln -s "$here/../data/history/wwwq_cut.mp4" history_wwwq_cut.mp4

# No H.264 video at all.
make ts_audio_only.ts ff "${tone[@]}" -t 1 ts_audio_only.ts
# Another codec's video: named in the error, read by a probe.
make hevc.mp4 ff "${src[@]}" -t 0.4 -c:v libx265 -x265-params log-level=error hevc.mp4

# Display matrices, as ffmpeg's -display_rotation R sets them (R degrees
# counter-clockwise); an ffmpeg without that option (5.1) sets the same
# matrix from the rotate tag on a stream copy. Groups of 5, with B-frames; an odd
# size, so that the turned chroma planes are not squares of the luma's.
make upright.mp4 ff -f lavfi -i "testsrc2=size=98x66:rate=25" -t 0.6 -c:v libx264 -bf 2 -g 5 -keyint_min 5 \
    -sc_threshold 0 upright.mp4
for degrees in 90 180 270; do
    if ffmpeg -hide_banner -h full 2>/dev/null | grep -q -- -display_rotation; then
        make "rotation_$degrees.mp4" ff -display_rotation "$degrees" -i upright.mp4 -c copy "rotation_$degrees.mp4"
    else
        make "rotation_$degrees.mp4" ff -i upright.mp4 -c copy -metadata:s:v:0 "rotate=$degrees" "rotation_$degrees.mp4"
    fi
done
