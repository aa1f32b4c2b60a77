#!/usr/bin/python3
"""Memory a DataLoader worker keeps once idle, after reading clips with VideoClips.

Two forked workers read 1080p clips of 16 frames, every other frame, each
starting 8 frames before a key frame so that it crosses a group boundary
(two decoder starts per clip). Each worker notes its resident set size (RSS)
before its first clip; once every clip was read, the workers (persistent)
sit idle for --idle seconds, and the table gives how much more each then
holds than before its first clip. A round is a fresh loader; the table gives
the median of the rounds per worker slot.

Usage: bench/worker_memory_bench.py FILE.mp4 [--rounds N] [--clips N] [--idle S]
(FILE: bench/make_inputs.sh's sparse_1080p.mp4, a key frame every 60 frames;
with PYTOVRIK_VIDEO_LIBRARY, PYTOVRIK_VIDEO_FILE_LIBRARY and PYTHONPATH set as
for the package, or the package installed). Point PYTHONPATH at another
checkout's python/ to measure that version of the package."""

from __future__ import annotations

import argparse
import os
import statistics
import time
from pathlib import Path

import torch
import torch.utils.data

import pytovrik_video
from pytovrik_video.torch import VideoClips

MIB = 1 << 20


def rss(pid: int | str = "self") -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"no VmRSS for process {pid}")


class MeasuredClips(VideoClips):
    """Returns with each clip the worker's pid and its RSS before its first clip."""

    def __getitem__(self, index: int):
        if not hasattr(self, "rss_before"):
            self.rss_before = rss()
        frames = super().__getitem__(index)
        return frames.shape, os.getpid(), self.rss_before


def one_round(path: str, clips: int, gop: int, idle: float) -> list[float]:
    starts = [gop * (1 + k) - 8 for k in range(clips)]
    dataset = MeasuredClips([(path, range(start, start + 32, 2)) for start in starts], size=(224, 224))
    loader = torch.utils.data.DataLoader(
        dataset, batch_size=None, num_workers=2, multiprocessing_context="fork", persistent_workers=True
    )
    before: dict[int, int] = {}
    for shape, pid, rss_before in loader:
        assert tuple(shape) == (16, 224, 224, 3), shape
        before[pid] = rss_before
    time.sleep(idle)
    grown = [(rss(pid) - rss_before) / MIB for pid, rss_before in sorted(before.items())]
    del loader  # ends the persistent workers
    return grown


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clips", type=int, default=4, help="clips per round (one per group boundary)")
    parser.add_argument("--gop", type=int, default=60, help="frames from one key frame to the next")
    parser.add_argument("--idle", type=float, default=3.0, help="seconds the workers sit idle before measuring")
    args = parser.parse_args()

    rounds = [one_round(args.file, args.clips, args.gop, args.idle) for _ in range(args.rounds)]
    slots = max(len(r) for r in rounds)
    medians = [statistics.median(r[slot] for r in rounds if slot < len(r)) for slot in range(slots)]
    package = Path(pytovrik_video.__file__).parent
    print(f"package: {package}; cores: {len(os.sched_getaffinity(0))}; {args.clips} clips of 16 frames")
    print("| worker | MiB more once idle than before its first clip (median) | rounds |")
    print("|---|---:|---|")
    for slot, median in enumerate(medians):
        print(f"| {slot} | {median:.1f} | " + ", ".join(f"{r[slot]:.1f}" for r in rounds if slot < len(r)) + " |")


if __name__ == "__main__":
    main()
