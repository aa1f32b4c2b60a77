#!/usr/bin/env bash
# Regenerates data/sample.h264, the stream the command-line decoder plays when
# it is given no input. The result is committed; run this only to change it.
#
# A synthetic pattern with temporal noise keeps the file free of third-party
# content while still giving the encoder motion and texture to work on. Three
# closed groups of pictures (an IDR every 25 frames, no scene-cut keyframes)
# let --batch gop split the stream, and B-frames make output order differ from
# decode order.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../data/sample.h264}
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=size=320x240:rate=25:duration=3,noise=alls=6:allf=t" \
  -c:v libx264 -profile:v high -pix_fmt yuv420p -preset medium -crf 26 \
  -bf 3 -g 25 -keyint_min 25 -sc_threshold 0 -x264-params "open-gop=0" \
  -bitexact -f h264 "$out"
echo "wrote $out ($(stat -c %s "$out") bytes)"
