#!/usr/bin/python3
"""Frames by index from a remote-style source, and what opening a scanned container reads.

Two tables, all from this one run:

- A long MP4 file behind a file-like object that sleeps ``--latency`` seconds
  (20 ms by default) in every read call, a stand-in for an object store: the
  time to open it and get 16 random frames (224x224 RGB), the read calls and
  the bytes they returned, for VideoFile reading through the object, for
  reading the whole object into memory first and opening the bytes, and for
  PyAV seeking through the same object (``sparse_bench.pyav_seek``). Rounds
  interleave the three, rotating which goes first, each with 16 new indices
  (the same for all three); medians of the rounds.
- Scanned containers (Matroska, MPEG-TS): ``bytes_read_at_open`` divided by
  the file's size, through this build's file layer and, with
  ``--baseline-file-library``, another build's (each in a process of its own).

Usage: bench/source_bench.py HOUR.mp4 [SCANNED ...] [--rounds N] [--latency S]
       [--megabytes-per-second R] [--baseline-file-library OLD.so] [--markdown OUT]
(with PYTOVRIK_VIDEO_LIBRARY, PYTOVRIK_VIDEO_FILE_LIBRARY and PYTHONPATH set as
for the package, or the package installed)."""

from __future__ import annotations

import argparse
import io
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

from sparse_bench import SIZE, interleaved, pyav_seek

from pytovrik_video import VideoFile
from pytovrik_video._library import file_library

COUNT = 16


class LatentFile(io.FileIO):
    """A file whose every read call waits ``latency`` seconds, and a second per
    ``bandwidth`` bytes it returns (when not 0), counting calls and bytes."""

    def __init__(self, path: str, latency: float, bandwidth: float = 0) -> None:
        super().__init__(path)
        self.latency, self.bandwidth = latency, bandwidth
        self.calls = self.bytes = 0

    def _took(self, count: int) -> None:
        time.sleep(count / self.bandwidth if self.bandwidth else 0)
        self.calls, self.bytes = self.calls + 1, self.bytes + count

    def readinto(self, buffer) -> int:
        time.sleep(self.latency)
        got = super().readinto(buffer)
        self._took(got or 0)
        return got

    def read(self, size: int = -1) -> bytes:
        # FileIO's own read would bypass readinto (PyAV reads this way).
        if size is None or size < 0:
            return self.readall()
        buffer = bytearray(size)
        got = self.readinto(buffer)
        return bytes(buffer[:got])

    def readall(self) -> bytes:
        # One call for the whole object, as a store's whole-object GET is.
        time.sleep(self.latency)
        data = super().readall()
        self._took(len(data))
        return data


def through_object(source: LatentFile, indices: list[int]) -> float:
    video = VideoFile(source)
    opened = time.perf_counter()
    video.get_frames(indices, size=SIZE)
    return opened


def whole_into_memory(source: LatentFile, indices: list[int]) -> float:
    video = VideoFile(source.readall())
    opened = time.perf_counter()
    video.get_frames(indices, size=SIZE)
    return opened


def pyav(source: LatentFile, indices: list[int]) -> float:
    # PyAV opens inside pyav_seek: its opening is not told apart.
    pyav_seek(source, indices, SIZE)
    return float("nan")


def remote_rows(path: str, rounds: int, latency: float, bandwidth: float) -> list[str]:
    size = os.path.getsize(path)
    frames = len(VideoFile(path))
    readers = {"VideoFile on the object": through_object, "whole object into memory, then VideoFile": whole_into_memory,
               "PyAV on the object": pyav}
    picks = [random.Random(round_).sample(range(frames), COUNT) for round_ in range(rounds)]
    turn = {name: 0 for name in readers}

    def run(name, reader):
        indices = picks[turn[name]]
        turn[name] += 1
        with LatentFile(path, latency, bandwidth) as source:
            start = time.perf_counter()
            opened = reader(source, indices)
            end = time.perf_counter()
            return opened - start, end - start, source.calls, source.bytes

    results = interleaved(readers, run, rounds)
    rows = [
        f"| reader | open (s) | open + {COUNT} frames (s) | read calls | bytes read (% of file) |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, runs in results.items():
        opened, total, calls, read = (statistics.median(values) for values in zip(*runs))
        rows.append(
            f"| {name} | {'' if opened != opened else f'{opened:.2f}'} | {total:.2f} | {calls:.0f} | "
            f"{read / 1e6:,.1f} MB ({100 * read / size:.2f} %) |"
        )
    return rows


# Through the two C functions every build of the file layer has, so that an
# older build's library is measured without its own Python package.
_OPENING = """
import ctypes, os, sys
from pytovrik_video._library import library
from pytovrik_video._records import PytovrikVideoFileInfo
files = ctypes.CDLL(sys.argv[2])
handle, info = ctypes.c_void_p(), PytovrikVideoFileInfo()
files.pytovrik_video_file_open.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p]
files.pytovrik_video_file_info.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
assert files.pytovrik_video_file_open(os.fsencode(sys.argv[1]), ctypes.byref(library().functions), ctypes.byref(handle)) == 0
files.pytovrik_video_file_info(handle, ctypes.byref(info))
print(info.bytes_read_at_open)
"""


def opening_ratio(path: str, file_library: str) -> float:
    command = [sys.executable, "-c", _OPENING, path, file_library]
    out = subprocess.run(command, capture_output=True, text=True, check=True)
    return int(out.stdout) / os.path.getsize(path)


def scan_rows(paths: list[str], baseline: str | None) -> list[str]:
    rows = ["| file | size | bytes read at open / size, before | after |", "|---|---:|---:|---:|"]
    for path in paths:
        before = f"{opening_ratio(path, baseline):.2f}x" if baseline else "-"
        after = opening_ratio(path, file_library().cdll._name)
        rows.append(f"| {Path(path).name} | {os.path.getsize(path) / 1e6:,.1f} MB | {before} | {after:.2f}x |")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("mp4")
    parser.add_argument("scanned", nargs="*")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--latency", type=float, default=0.02)
    parser.add_argument("--megabytes-per-second", type=float, default=0, help="0: latency alone")
    parser.add_argument("--baseline-file-library")
    parser.add_argument("--markdown")
    args = parser.parse_args()
    lines = [f"{Path(args.mp4).name} ({os.path.getsize(args.mp4) / 1e6:,.1f} MB) behind a file-like object, "
             f"{args.latency * 1000:g} ms a read call"
             + (f" and {args.megabytes_per_second:g} MB/s" if args.megabytes_per_second else "")
             + f"; median of {args.rounds} interleaved rounds", ""]
    lines += remote_rows(args.mp4, args.rounds, args.latency, args.megabytes_per_second * 1e6)
    if args.scanned:
        lines += ["", *scan_rows(args.scanned, args.baseline_file_library)]
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if args.markdown:
        Path(args.markdown).write_text(text)


if __name__ == "__main__":
    main()
