#!/usr/bin/env bash
# Installs from Debian's archive what the named purposes need, and nothing
# else, so that a step nobody asked for cannot fail an install. Without an
# argument: what the README's two commands use (scripts/setup.sh and
# scripts/run-tests.sh), i.e. build, test and python.
#
#   bash scripts/install-deps.sh [PURPOSE...]
#
# Purposes (one package list each, below):
#   build        the library, the command-line decoder
#   test         the GoogleTest suites, the CLI tests (ffmpeg), the memcheck test
#   python       the Python package's tests
#   bench        the benchmarks in bench/
#   reliability  sanitizer, fuzz and memcheck runs (scripts/reliability.sh)
#   cross-arm64  aarch64 cross build run under qemu-user (scripts/cross-check.sh)
#
# Packages already installed are not asked for again, so a machine that has
# them all needs neither the network nor apt's lists.
set -euo pipefail

build=(ca-certificates cmake make g++ pkg-config
       libavcodec-dev libavutil-dev libswscale-dev libavformat-dev)
test=(libgtest-dev ffmpeg valgrind)
# PyAV demuxes video files, torch runs the DataLoader tests, Dask's
# distributed scheduler the cluster example, pip and venv the install test.
python=(python3 python3-numpy python3-pytest python3-av python3-torch python3-dask python3-distributed python3-pip
        python3-venv)
# OpenCV and torchvision are the Python benchmarks' peers.
bench=(libbenchmark-dev python3-opencv python3-torchvision)
reliability=(valgrind libclang-rt-14-dev)
cross_arm64=(crossbuild-essential-arm64 qemu-user-static
             libavcodec-dev:arm64 libavutil-dev:arm64 libswscale-dev:arm64 libavformat-dev:arm64
             libgtest-dev:arm64)

purposes=("$@")
[[ ${#purposes[@]} -gt 0 ]] || purposes=(build test python)

packages=()
foreign_arm64=false
for purpose in "${purposes[@]}"; do
    case $purpose in
        build) packages+=("${build[@]}") ;;
        test) packages+=("${test[@]}") ;;
        python) packages+=("${python[@]}") ;;
        bench) packages+=("${bench[@]}") ;;
        reliability) packages+=("${reliability[@]}") ;;
        cross-arm64) packages+=("${cross_arm64[@]}"); foreign_arm64=true ;;
        *) echo "install-deps.sh: unknown purpose '$purpose'" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) != installed ]]; then
        missing+=("$package")
    fi
done
[[ ${#missing[@]} -gt 0 ]] || exit 0

if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
# The :arm64 libraries install beside the build machine's own (multiarch);
# both FFmpeg builds' headers are the same files, so they coexist.
if $foreign_arm64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
