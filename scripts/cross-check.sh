#!/usr/bin/env bash
# Cross-builds the library, the command-line decoder and every GoogleTest
# suite for aarch64 with warnings as errors, using Debian's cross compiler
# and :arm64 FFmpeg packages, and runs the suites that need no Python under
# qemu-user (ctest prefixes every test program with the emulator).
#
# Run under emulation: the ABI and record-layout checks, the exported-symbol
# check, the conformance streams through the library and through the CLI
# (both batch modes), the export suites (NEON paths against the plain loops
# included), decode, history, corruption, memory, concurrency, the CLI's
# in-process suites and the fuzz corpus replay: about a minute on two cores,
# after a cross build of a minute and a half. qemu-user runs threads with the build machine's
# memory ordering, so the concurrency suite here checks results, not Arm's
# weaker ordering.
#
# Left out, and why:
#   soak         thousands of requests, minutes natively; under emulation
#                it would take the whole CI budget, and memcheck cannot run
#                aarch64 programs on this machine anyway
#   fuzzing      only the native reliability run fuzzes; the corpus replay
#                that checks past findings does run here
#   python       the build machine's interpreter cannot load an aarch64 library
#   install      builds and runs a host program outside ctest's emulator
#   CommandLine.*  starts the CLI and ffmpeg through a shell, which cannot
#                run an aarch64 program without binfmt_misc; the CLI's
#                conformance checks run under the emulator (cli_framecrc_*),
#                the CLI's other suites in-process
#   ByteBufferTest.LargeBuffersArriveFaultedIn*
#                asks mincore() whether a fresh mapping is resident, which
#                under qemu-user it is not, though it is natively
#   benchmarks   timings under emulation mean nothing
#   Streams/*    the exactness oracle over every conformance stream in every
#                container: thousands of requests, minutes natively under
#                a sanitizer, far more under emulation; what it checks (which
#                frame is which) is the same plain C++ on every processor, and
#                the decoder's own output is checked here by the conformance
#                suites
#
# Line tables only (-g1), as in the sanitized builds: a third less to compile.
#
# Knob: PYTOVRIK_CROSS_BUILD  build folder (default build-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh
trap finish_steps EXIT

dir=${PYTOVRIK_CROSS_BUILD:-build-aarch64}
jobs=$(nproc)

step "aarch64: install the cross compiler, qemu-user and :arm64 packages"
bash scripts/install-deps.sh cross-arm64

step "aarch64: build"
cmake -S . -B "$dir" --toolchain cmake/aarch64-linux-gnu.cmake \
    -DPYTOVRIK_WARNINGS_AS_ERRORS=ON -DPYTOVRIK_BUILD_BENCH=OFF \
    -DPYTOVRIK_NM=/usr/bin/aarch64-linux-gnu-nm \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" >/dev/null
cmake --build "$dir" -j"$jobs"

step "aarch64: suites under qemu-user"
ctest --test-dir "$dir" --output-on-failure -j"$jobs" \
    -LE 'soak|python|install' \
    -E '^CommandLine\.|^ByteBufferTest\.LargeBuffersArriveFaultedIn|^Streams/'
