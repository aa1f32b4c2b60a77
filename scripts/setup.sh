#!/usr/bin/env bash
# Installs the dependencies from Debian, builds everything and decodes the
# bundled sample stream with the command-line decoder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
./build/tools/pytovrik-video "$@"
