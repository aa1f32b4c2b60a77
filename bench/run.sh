#!/usr/bin/env bash
# Runs the benchmarks on a Release build and writes bench/results.md.
# Usage: bench/run.sh [build dir] [rounds] [baseline library]     (default: build-bench, 5, none)
# A baseline (another build's libpytovrik_video.so, e.g. of the commit before
# a change) is timed beside this build's library in the same interleaved runs.
# Build first:  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2
# Chart:        python3 bench/plot.py   (bench/results.md -> bench/results.png)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build-bench}" && pwd)"
rounds="${2:-5}"
baseline=()
if [[ -n "${3:-}" ]]; then
    baseline=(--baseline "$(realpath "$3")")
fi
inputs="$build/bench-inputs"
"$here/make_inputs.sh" "$inputs"

parts="$(mktemp -d)"
trap 'rm -rf "$parts"' EXIT
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/decode_bench" --inputs "$inputs" --reps "$rounds" "${baseline[@]}" --markdown "$parts/decode.md"
"$build/bench/decode_bench" --inputs "$inputs" --streams 1080p --reps "$rounds" --no-thp "${baseline[@]}" \
    --markdown "$parts/decode_no_thp.md"
"$build/bench/decoder_reuse_bench" "$inputs/720p.h264" "$inputs/720p_other.h264" --rounds "$rounds" \
    --markdown "$parts/reuse.md"
"$build/bench/fresh_memory_bench" --reps "$rounds" --markdown "$parts/memory.md"
"$build/bench/fresh_memory_bench" --reps "$rounds" --idle-reps 1 --no-thp --markdown "$parts/memory_no_thp.md"
# The peer, if Debian's python3-av is there: not interleaved with the rows above.
if /usr/bin/python3 -c 'import av' 2>/dev/null; then
    {
        echo "| stream | threads | peer | fps |"
        echo "|---|---|---|---:|"
        for stream in 1080p 720p; do
            for threads in 0 1; do
                /usr/bin/python3 "$here/pyav_bench.py" "$inputs/$stream.h264" "$rounds" "$threads"
            done
        done
    } > "$parts/pyav.md"
fi
# Whole clips from Python: the package against the bare C call and PyAV, interleaved.
if /usr/bin/python3 -c 'import av, numpy' 2>/dev/null; then
    PYTOVRIK_VIDEO_LIBRARY="$build/src/libpytovrik_video.so" \
    PYTOVRIK_VIDEO_FILE_LIBRARY="$build/file/libpytovrik_video_file.so" PYTHONPATH="$here/../python" \
        /usr/bin/python3 "$here/whole_clip_bench.py" "$inputs/720p.h264" "$inputs/1080p.h264" \
        "$inputs/heavy_720p.h264" "$inputs/heavy_1080p.h264" --rounds "$rounds" "${baseline[@]}" \
        --markdown "$parts/python.md"
fi
# Frames by index from video files: opening, and 16 frames, against PyAV,
# OpenCV and torchvision, interleaved (the one-hour file's PyAV one pass is
# timed once: it decodes the hour).
if /usr/bin/python3 -c 'import av, cv2, numpy, torchvision' 2>/dev/null; then
    PYTOVRIK_VIDEO_LIBRARY="$build/src/libpytovrik_video.so" \
    PYTOVRIK_VIDEO_FILE_LIBRARY="$build/file/libpytovrik_video_file.so" PYTHONPATH="$here/../python" \
        /usr/bin/python3 "$here/sparse_bench.py" "$inputs/hour_320x240.mp4" "$inputs/open_gop_360p.mp4" \
        "$inputs/sparse_1080p.mp4" "$inputs/sparse_720p.mp4" --rounds "$rounds" --markdown "$parts/sparse.md"
fi
# The one-hour file behind a file-like object with 20 ms a read call, against
# reading it whole first and PyAV on the object; scanned containers' bytes
# read at open (the baseline's file layer beside it, when given).
if /usr/bin/python3 -c 'import av, cv2, numpy, torchvision' 2>/dev/null; then
    base_file=()
    if [[ -n "${3:-}" && -e "$(dirname "$(realpath "$3")")/../file/libpytovrik_video_file.so" ]]; then
        base_file=(--baseline-file-library "$(dirname "$(realpath "$3")")/../file/libpytovrik_video_file.so")
    fi
    PYTOVRIK_VIDEO_LIBRARY="$build/src/libpytovrik_video.so" \
    PYTOVRIK_VIDEO_FILE_LIBRARY="$build/file/libpytovrik_video_file.so" PYTHONPATH="$here/../python:$here" \
        /usr/bin/python3 "$here/source_bench.py" "$inputs/hour_320x240.mp4" "$inputs/ten_minutes_320x240.mkv" \
        "$inputs/ten_minutes_320x240.ts" --rounds "$rounds" "${base_file[@]}" --markdown "$parts/sources.md"
fi
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

{
    echo "# Benchmark results"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), kernel $(uname -r)"
    echo "- Transparent huge pages: enabled \`$(cat /sys/kernel/mm/transparent_hugepage/enabled)\`, defrag \`$(cat /sys/kernel/mm/transparent_hugepage/defrag)\`"
    echo "- FFmpeg: $(ffmpeg -version | head -1 | cut -d' ' -f1-3), libavcodec $(pkg-config --modversion libavcodec), libswscale $(pkg-config --modversion libswscale)"
    echo "- Load average (1, 5, 15 min) before: $load_before; after: $load_after"
    echo "- Inputs (bench/make_inputs.sh): x264 High profile, 3 B-frames, yuv420p, 5 s at 30 fps (150 frames) at 1920x1080 and 1280x720: light (testsrc2 with temporal noise, CRF 23, about 9 and 4 Mbit/s) and heavy (panning detail under grain, 9 and 4 Mbit/s); conformance stream BA1_FT_C (CIF, 299 frames)"
    echo "- fps counts decoded frames per second of wall time, whole batch, response freed inside the timed region. \"x kept floor\", \"x floor\" and \"x before\" are the row's time ratio to its kept floor, the floor and the baseline build (above 1: the row is faster)."
    echo
    echo "## Library against the floors"
    echo
    cat "$parts/decode.md"
    echo
    echo "## 1080p with huge pages disabled for the process"
    echo
    cat "$parts/decode_no_thp.md"
    echo
    if [[ -s "$parts/pyav.md" ]]; then
        echo "## A peer: PyAV keeping RGB ndarrays (run after the table above, best of $rounds)"
        echo
        cat "$parts/pyav.md"
        echo
    fi
    if [[ -s "$parts/python.md" ]]; then
        echo "## Whole clips from Python"
        echo
        cat "$parts/python.md"
        echo
    fi
    if [[ -s "$parts/sources.md" ]]; then
        echo "## Frames by index from a remote-style source"
        echo
        cat "$parts/sources.md"
        echo
    fi
    if [[ -s "$parts/sparse.md" ]]; then
        echo "## Frames by index from video files"
        echo
        cat "$parts/sparse.md"
        echo
    fi
    echo "## One-group requests on a thread's idle decoder against a fresh one"
    echo
    cat "$parts/reuse.md"
    echo
    echo "## Fresh output memory"
    echo
    cat "$parts/memory.md"
    echo
    cat "$parts/memory_no_thp.md"
} > "$here/results.md"
echo "wrote $here/results.md"
