#!/usr/bin/env bash
# The reliability runs beside the ordinary suite: AddressSanitizer with
# UndefinedBehaviorSanitizer over the suite, ThreadSanitizer over the
# concurrency tests, a bounded fuzz run on the seed corpus, and the soak
# label (with its memcheck run) on the plain build.
#
# Knobs, all optional:
#   PYTOVRIK_PLAIN_BUILD           plain build folder for the soak (default: build,
#                                  the one scripts/run-tests.sh leaves behind)
#   PYTOVRIK_FUZZ_SECONDS          length of the fuzz run (default 60)
#   PYTOVRIK_SOAK_REQUESTS         requests per soak test (default 2000 here)
#   PYTOVRIK_TSAN_REQUESTS         requests per host thread under TSan (default 200)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
plain=${PYTOVRIK_PLAIN_BUILD:-build}
fuzz_seconds=${PYTOVRIK_FUZZ_SECONDS:-60}
soak_requests=${PYTOVRIK_SOAK_REQUESTS:-2000}
tsan_requests=${PYTOVRIK_TSAN_REQUESTS:-200}
sanitized=(-DPYTOVRIK_WARNINGS_AS_ERRORS=ON -DPYTOVRIK_BUILD_BENCH=OFF)

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
cmake --build build-fuzz -j"$jobs" --target decode_request_fuzzer

step "fuzz: ${fuzz_seconds}s on the seed corpus"
# New inputs go to a scratch folder; the committed corpus stays as it is.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
corpora=("$scratch" tests/fuzz/corpus)
[[ -d tests/fuzz/findings ]] && corpora+=(tests/fuzz/findings)
# A failing input is kept as build-fuzz/crash-* (or timeout-, leak-). Fork
# mode lets the run go on past an input that runs out of memory: a mutated
# SPS may announce up to 268 Mpixel, and the decoder then allocates what it
# asks for, which is FFmpeg's limit to set, not a fault of the library.
if ! build-fuzz/tests/fuzz/decode_request_fuzzer "${corpora[@]}" \
    -fork=1 -ignore_ooms=1 -ignore_timeouts=0 -ignore_crashes=0 \
    -max_total_time="$fuzz_seconds" -timeout=60 -rss_limit_mb=4096 \
    -artifact_prefix=build-fuzz/ >build-fuzz/fuzz.log 2>&1; then
    tail -n 80 build-fuzz/fuzz.log
    exit 1
fi
grep -E '^#[0-9]+:' build-fuzz/fuzz.log | tail -n 1

step "soak: ${soak_requests} requests per test, then memcheck"
cmake -S . -B "$plain" -DPYTOVRIK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$plain" -j"$jobs" --target soak_tests
PYTOVRIK_SOAK_REQUESTS=$soak_requests ctest --test-dir "$plain" --output-on-failure -j"$jobs" -L soak
# ctest names a skipped test without its reason; the memcheck tests print theirs.
grep -h '^skipped: ' "$plain"/Testing/Temporary/LastTest.log || true

finish_steps
