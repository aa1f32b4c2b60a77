#!/usr/bin/env bash
# Regenerates tests/fuzz/corpus: tiny streams from the ffmpeg command line
# (without the encoder's SEI text, which mutations would only waste time on),
# each behind the fuzz target's 8-byte header (see decode_request_fuzzer.cpp).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

encode() {  # name size frames pix_fmt extra x264 options...
    local name=$1 size=$2 frames=$3 pix_fmt=$4
    shift 4
    ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v "$frames" \
        -pix_fmt "$pix_fmt" -c:v libx264 -preset ultrafast "$@" \
        -bsf:v filter_units=remove_types=6 -f h264 "$work/$name.264"
}

# header: flags width height position-count seed(4), then positions
seed() {  # name header-hex stream
    { printf '%b' "$2"; cat "$3"; } >"$out/$1"
}

encode cabac_bframes 32x32 6 yuv420p -preset medium -bf 2 -x264-params keyint=4
encode cavlc_odd_size 33x17 4 yuv420p -profile:v baseline
encode high422 16x16 3 yuv422p -profile:v high422
encode full_range 16x16 3 yuvj420p
encode high10 16x16 2 yuv420p10le -profile:v high10
encode interlaced 32x32 4 yuv420p -flags +ildct -x264-params tff=1
encode slices 32x32 3 yuv420p -x264-params slices=4
encode small_a 32x16 2 yuv420p
encode small_b 16x32 2 yuv420p
cat "$work/small_a.264" "$work/small_b.264" >"$work/size_change.264"

seed yuv_all_frames         '\x01\x00\x00\x00\x00\x00\x00\x00'             "$work/cabac_bframes.264"
seed rgb_scaled_selection   '\x00\x18\x0c\x03\x12\x34\x56\x78\x05\x01\x01' "$work/cabac_bframes.264"
seed yuv_odd_size_random    '\x03\x00\x00\x00\xca\xfe\xba\xbe'             "$work/cavlc_odd_size.264"
seed rgb_odd_size           '\x00\x21\x11\x00\x00\x00\x00\x00'             "$work/cavlc_odd_size.264"
seed yuv_rejects_422        '\x01\x00\x00\x00\x00\x00\x00\x00'             "$work/high422.264"
seed rgb_from_422           '\x00\x08\x08\x01\x00\x00\x00\x01\x02'         "$work/high422.264"
seed yuv_rejects_full_range '\x01\x00\x00\x00\x00\x00\x00\x00'             "$work/full_range.264"
seed rgb_from_10_bit        '\x06\x10\x10\x00\x00\x00\x00\x07'             "$work/high10.264"
seed yuv_interlaced         '\x07\x00\x00\x01\x00\x00\x00\x09\xff'         "$work/interlaced.264"
seed rgb_slices_one_packet  '\x04\x20\x20\x00\x00\x00\x00\x00'             "$work/slices.264"
seed yuv_size_change        '\x01\x00\x00\x00\x00\x00\x00\x00'             "$work/size_change.264"
seed rgb_size_change        '\x00\x0b\x07\x00\x00\x00\x00\x00'             "$work/size_change.264"
seed yuv_empty_packet       '\x09\x00\x00\x00\x00\x00\x00\x03'             "$work/small_a.264"
seed rgb_null_empty_packet  '\x18\x04\x04\x00\x00\x00\x00\x02'             "$work/small_b.264"
seed rgb_zero_width         '\x20\x04\x04\x00\x00\x00\x00\x00'             "$work/small_a.264"
seed rgb_negative_width     '\x40\x04\x04\x00\x00\x00\x00\x00'             "$work/small_a.264"
seed rgb_huge_height        '\x60\x04\x04\x00\x00\x00\x00\x00'             "$work/small_a.264"
seed rgb_nothing_selected   '\x60\x04\x04\x01\x00\x00\x00\x00\x30'         "$work/small_a.264"

# The opening access units of conformance streams: coding tools the encoder
# above does not use (PCM, multiple slice groups, frame cropping).
conformance=$here/../data/conformance/streams
head -c 3000 "$conformance/SVA_Base_B.264" >"$work/sva_base_b.264"
head -c 6000 "$conformance/CVPCMNL1_SVA_C.264" >"$work/pcm.264"
head -c 3000 "$conformance/CVFC1_Sony_C.jsv" >"$work/cropping.264"
head -c 3000 "$conformance/MR1_BT_A.h264" >"$work/mr1.264"
seed yuv_conformance_baseline '\x01\x00\x00\x00\x00\x00\x00\x00' "$work/sva_base_b.264"
seed rgb_conformance_pcm      '\x00\x2c\x24\x00\x00\x00\x00\x00' "$work/pcm.264"
seed yuv_conformance_cropping '\x01\x00\x00\x00\x00\x00\x00\x00' "$work/cropping.264"
seed yuv_conformance_mr1      '\x03\x00\x00\x00\x01\x02\x03\x04' "$work/mr1.264"
