#!/usr/bin/env bash
# Makes the benchmark's H.264 inputs with the ffmpeg command line and libx264:
# synthetic pictures with temporal noise, so the encoder spends bits the way
# it does on camera footage (a flat test pattern decodes unrealistically fast).
# Usage: bench/make_inputs.sh [output dir] [seconds]   (default: build-bench/bench-inputs, 5;
# the seconds apply to the raw streams; the MP4 files have lengths of their own)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/../build-bench/bench-inputs}"
seconds="${2:-5}"
mkdir -p "$out"

# Usage: encode TARGET FORMAT FFMPEG-OPTIONS...
# Encodes what the options (inputs, filters, rate control) make, unless
# TARGET exists, with what every input shares: High profile, 3 B-frames with
# pyramid, 2-second GOP, yuv420p, as a typical camera or web file has.
encode() {
    local target="$1" format="$2"
    shift 2
    if [[ -s "$target" ]]; then
        echo "$target exists, kept"
        return
    fi
    ffmpeg -hide_banner -loglevel error -nostdin -y "$@" \
        -c:v libx264 -profile:v high -preset fast -bf 3 -x264-params b-pyramid=normal -g 60 \
        -an -f "$format" "$target.partial"
    mv "$target.partial" "$target"
    echo "$target: $(stat -c %s "$target") bytes"
}

# Usage: make_input NAME SIZE SECONDS FORMAT [extra encoder options]
make_input() {
    local name="$1" size="$2" duration="$3" format="$4"
    shift 4
    encode "$out/$name.$format" "$format" -f lavfi -i "testsrc2=size=$size:rate=30:duration=$duration" \
        -vf "noise=alls=10:allf=t+u,format=yuv420p" -crf 23 "$@"
}

# Usage: make_heavy_input NAME WIDTH HEIGHT BITRATE
# Camera-like footage: fine detail everywhere that pans across the picture (a
# blurred noise texture, scrolled and multiplied into the test pattern) under
# temporal grain, at a bitrate a camera records (9 Mbit/s at 1080p, the same
# bits per pixel at 720p). Every block carries detail and motion, where the
# light stream spends its bits on grain over a still pattern.
make_heavy_input() {
    local name="$1" width="$2" height="$3" bitrate="$4"
    encode "$out/$name.h264" h264 \
        -f lavfi -i "color=c=gray:s=$((width * 5 / 4))x$((height * 13 / 10)):rate=30:duration=$seconds" \
        -f lavfi -i "testsrc2=size=${width}x${height}:rate=30:duration=$seconds" \
        -filter_complex "[0]noise=alls=100:allf=0,gblur=sigma=1.2,eq=contrast=2.5:brightness=0.3,\
scroll=h=0.0011:v=0.0006,crop=$width:$height:0:0,format=yuv420p[texture];[1]format=yuv420p[pattern];\
[pattern][texture]blend=c0_mode=multiply:c1_opacity=0:c2_opacity=0,noise=alls=10:allf=t+u,format=yuv420p" \
        -b:v "$bitrate" -maxrate "$bitrate" -bufsize "$bitrate"
}

# Raw Annex B, no container, for the library's own benchmark: light streams
# (the encoder's bits go to grain on a still pattern) and heavy ones.
make_input 1080p 1920x1080 "$seconds" h264
make_input 720p 1280x720 "$seconds" h264
# A second 720p stream, encoded apart, for requests that change stream.
make_input 720p_other 1280x720 "$seconds" h264 -crf 28 -bf 2
make_heavy_input heavy_1080p 1920 1080 9M
make_heavy_input heavy_720p 1280 720 4M
# MP4, 10 s, a key frame exactly every 2 s, for frame access by index
# across a file (bench/sparse_bench.py).
make_input sparse_1080p 1920x1080 10 mp4 -keyint_min 60 -sc_threshold 0
make_input sparse_720p 1280x720 10 mp4 -keyint_min 60 -sc_threshold 0
# Open GOP, 60 s at 640x360: a key frame every 2 s that is an I picture with a
# recovery point, not an IDR picture (only the first is), with B-frames before
# it in presentation order that refer across it.
make_input open_gop_360p 640x360 60 mp4 -keyint_min 60 -sc_threshold 0 -x264-params b-pyramid=normal:open-gop=1
# A real-world stream: a conformance bitstream shipped with the tests.
cp -f "$here/../tests/data/conformance/streams/BA1_FT_C.264" "$out/conformance_cif.h264"
echo "$out/conformance_cif.h264: copied"
# One hour at 30 fps (108,000 frames) of 320x240, about 1.7 KB a frame: what
# matters for opening a file from its index is the number of samples. A minute encoded
# once, then joined sixty times without re-encoding.
hour="$out/hour_320x240.mp4"
if [[ -s "$hour" ]]; then
    echo "$hour exists, kept"
else
    minute="$out/minute_320x240.mp4"
    ffmpeg -hide_banner -loglevel error -nostdin -y \
        -f lavfi -i "testsrc2=size=320x240:rate=30:duration=60" -vf "noise=alls=10:allf=t+u,format=yuv420p" \
        -c:v libx264 -preset veryfast -crf 22 -bf 3 -g 60 -keyint_min 60 -sc_threshold 0 -an "$minute"
    list="$out/hour_list.txt"
    for _ in $(seq 60); do echo "file '$minute'"; done > "$list"
    ffmpeg -hide_banner -loglevel error -nostdin -y -f concat -safe 0 -i "$list" -c copy "$hour.partial.mp4"
    mv "$hour.partial.mp4" "$hour"
    rm -f "$list" "$minute"
    echo "$hour: $(stat -c %s "$hour") bytes"
fi
# Its first ten minutes remuxed into Matroska and MPEG-TS, read by a scan
# (bench/source_bench.py: bytes read at open against the file's size).
for container in mkv ts; do
    target="$out/ten_minutes_320x240.$container"
    if [[ -s "$target" ]]; then
        echo "$target exists, kept"
    else
        ffmpeg -hide_banner -loglevel error -nostdin -y -i "$hour" -t 600 -c copy "$target.partial.$container"
        mv "$target.partial.$container" "$target"
        echo "$target: $(stat -c %s "$target") bytes"
    fi
done
