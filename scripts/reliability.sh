#!/usr/bin/env bash
# The reliability runs beside the ordinary suite: AddressSanitizer with
# UndefinedBehaviorSanitizer over the suite, ThreadSanitizer over the
# concurrency tests, bounded fuzz runs on the seed corpora (the decoder's
# requests, then the file layer's container files), and the soak label
# (with its memcheck run) on the plain build.
#
# Knobs, all optional:
#   PYTOVRIK_PLAIN_BUILD           plain build folder for the soak (default: build,
#                                  the one scripts/run-tests.sh leaves behind)
#   PYTOVRIK_FUZZ_SECONDS          length of the decoder's fuzz run (default 60)
#   PYTOVRIK_FILE_FUZZ_SECONDS     length of the file layer's fuzz run (default 75)
#   PYTOVRIK_SOAK_REQUESTS         requests per soak test (default 2000 here)
#   PYTOVRIK_TSAN_REQUESTS         requests per host thread under TSan (default 200)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
plain=${PYTOVRIK_PLAIN_BUILD:-build}
fuzz_seconds=${PYTOVRIK_FUZZ_SECONDS:-60}
file_fuzz_seconds=${PYTOVRIK_FILE_FUZZ_SECONDS:-75}
soak_requests=${PYTOVRIK_SOAK_REQUESTS:-2000}
tsan_requests=${PYTOVRIK_TSAN_REQUESTS:-200}
# Line tables only (-g1): reports still name file and line, and the
# sanitized builds compile a third faster than with full debug information.
sanitized=(-DPYTOVRIK_WARNINGS_AS_ERRORS=ON -DPYTOVRIK_BUILD_BENCH=OFF
           "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")

source scripts/steps.sh

step "install: valgrind, libFuzzer's engine"
bash scripts/install-deps.sh reliability

step "ASan+UBSan: build"
cmake -S . -B build-asan "${sanitized[@]}" -DPYTOVRIK_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"

step "ASan+UBSan: suite"
# The soak runs on the plain build below; the Python and install tests load
# or link the library outside this build's sanitizer runtime.
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure -LE 'soak|python|install'

step "TSan: build"
cmake -S . -B build-tsan "${sanitized[@]}" -DPYTOVRIK_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target concurrency_tests

step "TSan: concurrency, FFmpeg frame threads on"
PYTOVRIK_CONCURRENCY_REQUESTS=$tsan_requests \
    ctest --test-dir build-tsan --output-on-failure -L concurrency

step "TSan: concurrency, one FFmpeg thread, no suppressions"
# Without frame threads FFmpeg's hidden synchronisation drops out, so
# nothing needs suppressing at all.
TOVRIK_VIDEO_FFMPEG_THREADS=1 PYTOVRIK_CONCURRENCY_REQUESTS=$tsan_requests TSAN_OPTIONS=halt_on_error=1 \
    build-tsan/tests/concurrency/concurrency_tests

step "fuzz: build"
cmake -S . -B build-fuzz "${sanitized[@]}" -DPYTOVRIK_SANITIZE=address,undefined -DPYTOVRIK_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target decode_request_fuzzer video_file_fuzzer

# New inputs go to scratch folders; the committed corpora stay as they are.
# A failing input is kept as build-fuzz/crash-* (or timeout-, leak-). Fork
# mode lets a run go on past an input that runs out of memory: a mutated
# SPS may announce up to 268 Mpixel, and the decoder then allocates what it
# asks for, which is FFmpeg's limit to set, not a fault of the library.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fuzz() {  # fuzz TARGET SECONDS TIMEOUT LOG CORPUS...: fails with the log's end
    local target=$1 seconds=$2 timeout=$3 log=$4
    shift 4
    local corpora=("$scratch/$target")
    mkdir -p "${corpora[0]}"
    for corpus in "$@"; do
        if [[ -d $corpus ]]; then
            corpora+=("$corpus")
        fi
    done
    if ! "build-fuzz/tests/fuzz/$target" "${corpora[@]}" \
        -fork=1 -ignore_ooms=1 -ignore_timeouts=0 -ignore_crashes=0 \
        -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=4096 \
        -artifact_prefix=build-fuzz/ >"$log" 2>&1; then
        tail -n 80 "$log"
        exit 1
    fi
    grep -E '^#[0-9]+:' "$log" | tail -n 1
}

step "fuzz: decoder, ${fuzz_seconds}s on the seed corpus"
fuzz decode_request_fuzzer "$fuzz_seconds" 60 build-fuzz/fuzz.log tests/fuzz/corpus tests/fuzz/findings

step "fuzz: file layer, ${file_fuzz_seconds}s on the seed corpus"
# Whole container files: index, plan, decode. An input of a few KB that
# takes more than a moment is a fault here, so the limit is tighter.
fuzz video_file_fuzzer "$file_fuzz_seconds" 20 build-fuzz/file_fuzz.log tests/fuzz/file_corpus tests/fuzz/file_findings

step "soak: ${soak_requests} requests per test, then memcheck"
cmake -S . -B "$plain" -DPYTOVRIK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$plain" -j"$jobs" --target soak_tests
PYTOVRIK_SOAK_REQUESTS=$soak_requests ctest --test-dir "$plain" --output-on-failure -j"$jobs" -L soak
# ctest names a skipped test without its reason; the memcheck tests print theirs.
grep -h '^skipped: ' "$plain"/Testing/Temporary/LastTest.log || true

finish_steps
