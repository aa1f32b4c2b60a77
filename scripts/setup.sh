#!/usr/bin/env bash
# Installs from Debian what this and scripts/run-tests.sh need, builds
# everything and decodes the bundled sample stream with the command-line
# decoder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test python
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
./build/tools/pytovrik-video "$@"
