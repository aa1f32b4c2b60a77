#!/usr/bin/env bash
# Makes the file layer's test media with the system's ffmpeg and x264, into
# the folder given. Small on purpose: few frames, small pictures. Each file is
# made once; delete the folder to make them again.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
make() {  # make NAME COMMAND...: runs the command unless NAME exists
    local name=$1
    shift
    [[ -e $name ]] || "$@"
}
src=(-f lavfi -i "testsrc2=size=160x120:rate=25")

# A plain progressive MP4 with B-frames: three closed groups of 12.
make plain.mp4 ff "${src[@]}" -t 1.44 -c:v libx264 -bf 2 -g 12 -keyint_min 12 -sc_threshold 0 plain.mp4
