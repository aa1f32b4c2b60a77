#!/usr/bin/env bash
# Installs what building and testing needs, from Debian's archive.
set -euo pipefail
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  ca-certificates cmake make g++ pkg-config \
  libavcodec-dev libavutil-dev libswscale-dev libavformat-dev \
  libgtest-dev libbenchmark-dev ffmpeg \
  python3 python3-numpy python3-pytest \
  valgrind libclang-rt-14-dev
# Data loaders: PyAV demuxes files, torch runs the DataLoader tests, pip and
# venv the install test; OpenCV and torchvision are the benchmark's peers.
$SUDO apt-get install -y -qq --no-install-recommends \
  python3-av python3-torch python3-torchvision python3-opencv python3-pip python3-venv
