#!/usr/bin/python3
"""Frames by index from a video file: VideoFile against PyAV, OpenCV and torchvision.

Two tables, all from this one run, rounds interleaving the readers and
rotating which goes first, medians of the rounds:

- Opening a file, warm (page cache filled and libraries loaded by a first
  round that is not counted): the time to open it and learn its frame count,
  and the bytes each reader takes from the file meanwhile. Those are the
  growth of ``rchar`` in ``/proc/self/io`` of the process that opens it
  (every byte its read system calls return, from the page cache or not,
  whichever thread reads), plus the resident size of that process's
  mappings of the file right after the open (``Rss`` of the file's lines in
  ``/proc/self/smaps``; none of these readers maps it, but one that did would
  take pages that way). VideoFile's column also gives its index memory per
  frame (``index_bytes / frame_count``).
- Getting 16 frames (evenly spaced, or random) as 224x224 RGB in the order
  asked, each task opening the file: frames/s, our ratio to the fastest peer
  in wall time, and, as a measure that other work on the machine disturbs
  less, our ratio in CPU time (every thread of the process, and torchvision's
  process) to the peer that took least. A peer whose one checking run takes
  longer than ``--cap`` seconds (PyAV decoding an hour from the start) is
  timed once more alone, marked ``*``.

Before timing, every peer's frames are checked against VideoFile's: each must
be nearer the same index than either neighbouring frame, by a margin colour
conversion and scaling cannot explain. A peer that returns other frames is
left out of that row (``wrong``), and out of the fastest peer.

Usage: bench/sparse_bench.py FILE [FILE ...] [--rounds N] [--cap SECONDS] [--markdown OUT]
(with PYTOVRIK_VIDEO_LIBRARY, PYTOVRIK_VIDEO_FILE_LIBRARY and PYTHONPATH set as
for the package, or the package installed)."""

from __future__ import annotations

import argparse
import itertools
import multiprocessing
import os
import random
import statistics
import time
from pathlib import Path

import av
import cv2
import numpy as np
import torch
import torchvision

from pytovrik_video import VideoFile

# torchvision's reader logs every seek through glog unless told not to.
os.environ.setdefault("GLOG_minloglevel", "2")

SIZE = (224, 224)
COUNT = 16


# --- opening ----------------------------------------------------------------


def _bytes_read() -> int:
    with open("/proc/self/io") as io:
        for line in io:
            key, value = line.split(":")
            if key == "rchar":
                return int(value)
    raise RuntimeError("/proc/self/io has no rchar")


def _mapped_bytes(path: str) -> int:
    """Resident bytes of this process's mappings of ``path``."""
    target, total, inside = os.path.realpath(path), 0, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if fields and "-" in fields[0] and len(fields) >= 5:  # a mapping's first line
                inside = len(fields) >= 6 and fields[5] == target
            elif inside and fields[0] == "Rss:":
                total += int(fields[1]) * 1024
    return total


def measure_open(path: str, open_file) -> tuple[float, int]:
    """Seconds to open the file and get its frame count, and bytes taken from it."""
    before = _bytes_read()
    start = time.perf_counter()
    handle, frames = open_file(path)
    seconds = time.perf_counter() - start
    taken = _bytes_read() - before + _mapped_bytes(path)
    if frames <= 0:
        raise RuntimeError(f"{path}: the reader found no frames")
    del handle
    return seconds, taken


def open_ours(path: str):
    video = VideoFile(path)
    return video, len(video)


def open_pyav(path: str):
    container = av.open(path)
    return container, container.streams.video[0].frames


def open_opencv(path: str):
    capture = cv2.VideoCapture(path)
    return capture, int(capture.get(cv2.CAP_PROP_FRAME_COUNT))


def open_torchvision(path: str):
    reader = torchvision.io.VideoReader(path, "video")
    metadata = reader.get_metadata()["video"]
    return reader, round(metadata["duration"][0] * metadata["fps"][0])


# --- frames -----------------------------------------------------------------


def ours(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    return VideoFile(path).get_frames(indices, size=size).data


def _in_asked_order(indices: list[int], found: dict[int, np.ndarray]) -> np.ndarray:
    return np.stack([found[i] for i in indices])


def _pyav_stream(container):
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    return stream


def _frame_index(frame, stream, fps: float) -> int:
    return round((frame.pts - (stream.start_time or 0)) * stream.time_base * fps)


def _pyav_frames_from(container, stream, fps: float, target: int):
    """The frames from a seek to the key frame before `target`. A seek by time
    lands on the key frame whose decode time precedes the target's time: for
    a leading picture of an open GOP, the key frame it leads, whose decoding
    never shows it. So while the first frame shown lies past the target, seek
    again a second earlier."""
    back = 0
    while True:
        seconds = max(0.0, target / fps - back)
        container.seek(int(seconds / stream.time_base) + (stream.start_time or 0), stream=stream)
        frames = container.decode(stream)
        first = next(frames)
        if _frame_index(first, stream, fps) <= target or seconds == 0.0:
            return itertools.chain([first], frames)
        back += 1


def pyav_seek(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    """Seek to the key frame before each asked frame, then decode up to it;
    frames close ahead of the last one decoded are reached without seeking."""
    found: dict[int, np.ndarray] = {}
    with av.open(path) as container:
        stream = _pyav_stream(container)
        fps = float(stream.average_rate)
        frames, last = None, None
        for target in sorted(set(indices)):
            if last is None or not 0 < target - last <= fps:
                frames = _pyav_frames_from(container, stream, fps, target)
            for frame in frames:
                last = _frame_index(frame, stream, fps)
                if last >= target:
                    found[target] = frame.to_ndarray(width=size[0], height=size[1], format="rgb24")
                    break
    return _in_asked_order(indices, found)


def pyav_one_pass(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    """Decode from the start up to the last asked frame, converting only the asked ones."""
    wanted, found = set(indices), {}
    with av.open(path) as container:
        stream = _pyav_stream(container)
        for position, frame in enumerate(container.decode(stream)):
            if position in wanted:
                found[position] = frame.to_ndarray(width=size[0], height=size[1], format="rgb24")
                if len(found) == len(wanted):
                    break
    return _in_asked_order(indices, found)


def opencv(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    found = {}
    capture = cv2.VideoCapture(path)
    try:
        position = 0
        for target in sorted(set(indices)):
            if target != position:
                capture.set(cv2.CAP_PROP_POS_FRAMES, target)
            ok, image = capture.read()
            if not ok:
                raise RuntimeError(f"OpenCV could not read frame {target} of {path}")
            position = target + 1
            found[target] = cv2.cvtColor(cv2.resize(image, size, interpolation=cv2.INTER_AREA), cv2.COLOR_BGR2RGB)
    finally:
        capture.release()
    return _in_asked_order(indices, found)


def torchvision_reader(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    reader = torchvision.io.VideoReader(path, "video")
    fps = reader.get_metadata()["video"]["fps"][0]
    found = {}
    for target in sorted(set(indices)):
        # As for PyAV: a second earlier while the seek lands past the target.
        back = 0
        while True:
            seconds = max(0.0, target / fps - back)
            frames = iter(reader.seek(seconds))
            first = next(frames)
            if round(first["pts"] * fps) <= target or seconds == 0.0:
                break
            back += 1
        for frame in itertools.chain([first], frames):
            if round(frame["pts"] * fps) >= target:
                pixels = frame["data"]
                if tuple(pixels.shape[:0:-1]) != size:
                    pixels = torch.nn.functional.interpolate(
                        pixels[None].float(), size=size[::-1], mode="bilinear", antialias=True
                    )[0].round().clamp(0, 255).byte()
                found[target] = pixels.permute(1, 2, 0).numpy()
                break
    return _in_asked_order(indices, found)


# --- torchvision in a process of its own -------------------------------------

_torchvision_process = None


def _in_torchvision_process(function, *args):
    """torchvision's reader runs in a process of its own: sharing one with PyAV
    and OpenCV, it crashed the interpreter here after a few dozen files."""
    global _torchvision_process
    if _torchvision_process is None:
        _torchvision_process = multiprocessing.get_context("spawn").Pool(1)
    return _torchvision_process.apply(function, args)


# CPU seconds the torchvision process spent on the last call.
_child_cpu_seconds = 0.0


def _torchvision_timed(path: str, indices: list[int], size) -> tuple[np.ndarray, float]:
    start = time.process_time()
    frames = torchvision_reader(path, indices, size)
    return frames, time.process_time() - start


def torchvision_isolated(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    """The frames' trip back (2.4 MB at 224x224) is inside its time."""
    global _child_cpu_seconds
    frames, _child_cpu_seconds = _in_torchvision_process(_torchvision_timed, path, indices, size)
    return frames


def _measure_torchvision_open(path: str) -> tuple[float, int]:
    return measure_open(path, open_torchvision)


def torchvision_open_isolated(path: str) -> tuple[float, int]:
    """Timed and counted inside its process, so the trip there is not."""
    return _in_torchvision_process(_measure_torchvision_open, path)


OPENERS = {
    "VideoFile": lambda path: measure_open(path, open_ours),
    "PyAV": lambda path: measure_open(path, open_pyav),
    "OpenCV": lambda path: measure_open(path, open_opencv),
    "torchvision": torchvision_open_isolated,
}

PEERS = {
    "PyAV seek": pyav_seek,
    "PyAV one pass": pyav_one_pass,
    "OpenCV VideoCapture": opencv,
    "torchvision VideoReader": torchvision_isolated,
}


def timed(reader, path: str, indices: list[int]) -> tuple[float, float]:
    """Wall and CPU seconds (every thread of the process, and the torchvision
    process's own) to get the frames."""
    global _child_cpu_seconds
    _child_cpu_seconds = 0.0
    wall, cpu = time.perf_counter(), time.process_time()
    reader(path, indices)
    return time.perf_counter() - wall, time.process_time() - cpu + _child_cpu_seconds


def check_same_frames(path: str, indices: list[int], peer) -> tuple[str, float]:
    """Whether every frame is nearer our frame of its index than its
    neighbours' (a failure's reason, or ""), and how long the peer took.

    At source size: scaled down, the inputs' per-frame noise (which is what
    tells neighbouring frames apart) blurs away, and the readers' scalers
    differ more than colour conversions do."""
    video = VideoFile(path)
    size = (video.width, video.height)
    start = time.perf_counter()
    frames = peer(path, indices, size)
    seconds = time.perf_counter() - start
    for index, frame in zip(indices, frames):
        mine = video.get_frames([index, max(index - 1, 0), min(index + 1, len(video) - 1)], size=size).data
        same, *neighbours = (np.abs(frame.astype(np.int16) - other).mean() for other in mine)
        nearest_other = min(d for d, n in zip(neighbours, (index - 1, index + 1)) if 0 <= n < len(video) and n != index)
        if not same < 0.5 * nearest_other:
            return (
                f"returned another frame than {index}: mean difference {same:.2f} to frame {index}, "
                f"{nearest_other:.2f} to a neighbour",
                seconds,
            )
    return "", seconds


def interleaved(readers: dict, run, rounds: int) -> dict[str, list]:
    """Each reader's results over `rounds` rounds, rotating which goes first."""
    results: dict[str, list] = {name: [] for name in readers}
    names = list(readers)
    for round_ in range(rounds):
        for name in names[round_ % len(names) :] + names[: round_ % len(names)]:
            results[name].append(run(name, readers[name]))
    return results


def _kilobytes(count: int, file_size: int) -> str:
    return f"{count / 1024:,.0f} ({100 * count / file_size:.2f} %)"


def open_rows(path: str, rounds: int) -> list[str]:
    interleaved(OPENERS, lambda name, opener: opener(path), 1)  # warm the page cache and the libraries
    measured = interleaved(OPENERS, lambda name, opener: opener(path), rounds)
    milliseconds = {name: 1000 * statistics.median(s for s, _ in values) for name, values in measured.items()}
    taken = {name: int(statistics.median(b for _, b in values)) for name, values in measured.items()}
    video = VideoFile(path)
    metadata = video.metadata
    size = Path(path).stat().st_size
    fastest = min((name for name in OPENERS if name != "VideoFile"), key=milliseconds.get)
    stem = Path(path).stem
    return [
        f"| {stem} | {len(video):,} | {size / 2**20:.1f} MiB | open, ms | {milliseconds['VideoFile']:.1f} | "
        + " | ".join(f"{milliseconds[name]:.1f}" for name in OPENERS if name != "VideoFile")
        + f" | {milliseconds[fastest] / milliseconds['VideoFile']:.2f} ({fastest}) |",
        f"| {stem} | | | taken from the file, KiB (of the file) | {_kilobytes(taken['VideoFile'], size)} | "
        + " | ".join(_kilobytes(taken[name], size) for name in OPENERS if name != "VideoFile")
        + f" | index {metadata.index_bytes / len(video):.1f} B/frame |",
    ]


def frame_rows(path: str, rounds: int, cap: float) -> list[str]:
    total = len(VideoFile(path))
    tasks = {"16 evenly spaced": [round(i * (total - 1) / (COUNT - 1)) for i in range(COUNT)]}
    tasks["16 random"] = random.Random(path).sample(range(total), COUNT)
    rows = []
    for task, indices in tasks.items():
        readers = {"VideoFile": ours}
        wrong, once = set(), {}
        for name, peer in PEERS.items():
            failure, seconds = check_same_frames(path, indices, peer)
            if failure:
                print(f"{path}: {name} {failure}", flush=True)
                wrong.add(name)
            elif seconds > cap:
                once[name] = timed(peer, path, indices)
            else:
                readers[name] = peer
        print(f"{path}, {task}: peers checked", flush=True)

        measured = interleaved(readers, lambda name, reader: timed(reader, path, indices), rounds)
        times = {name: statistics.median(wall for wall, _ in values) for name, values in measured.items()}
        cpu = {name: statistics.median(seconds for _, seconds in values) for name, values in measured.items()}
        for name, (wall, seconds) in once.items():
            times[name], cpu[name] = wall, seconds
        cells = [
            "wrong" if name in wrong else f"{COUNT / times[name]:.1f}{'*' if name in once else ''}" for name in PEERS
        ]
        fastest = min((name for name in PEERS if name in times), key=times.get)
        thriftiest = min((name for name in PEERS if name in cpu), key=cpu.get)
        rows.append(
            f"| {Path(path).stem} | {task} | {COUNT / times['VideoFile']:.1f} | "
            + " | ".join(cells)
            + f" | {times[fastest] / times['VideoFile']:.2f} ({fastest})"
            + f" | {cpu[thriftiest] / cpu['VideoFile']:.2f} ({thriftiest}) |"
        )
        print(rows[-1], flush=True)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cap", type=float, default=10.0, help="seconds; a slower peer is timed once")
    parser.add_argument("--markdown")
    args = parser.parse_args()
    av.logging.set_level(av.logging.PANIC)  # PyAV's decoder on leading pictures after a seek

    opening, frames = [], []
    load_before = os.getloadavg()
    for path in args.files:
        opening += open_rows(path, args.rounds)
        print(*opening[-2:], sep="\n", flush=True)
        frames += frame_rows(path, args.rounds, args.cap)
    load_after = os.getloadavg()

    open_table = "\n".join(
        [
            "| file | frames | size | row | VideoFile | " + " | ".join(n for n in OPENERS if n != "VideoFile")
            + " | x fastest peer |",
            "|---|---:|---:|---|" + "---:|" * len(OPENERS) + "---|",
            *opening,
        ]
    )
    frame_table = "\n".join(
        [
            "| file | frames | VideoFile | " + " | ".join(PEERS) + " | x fastest peer | x least CPU peer, in CPU |",
            "|---|---|" + "---:|" * (len(PEERS) + 1) + "---|---|",
            *frames,
        ]
    )
    notes = (
        f"PyAV {av.__version__}, OpenCV {cv2.__version__}, torchvision {torchvision.__version__}; "
        f"median of {args.rounds} interleaved rounds; {os.cpu_count()} cores, load average (1, 5, 15 min) "
        f"{' '.join(f'{x:.2f}' for x in load_before)} before, {' '.join(f'{x:.2f}' for x in load_after)} after"
    )
    print(notes)
    if args.markdown:
        Path(args.markdown).write_text(f"{open_table}\n\n{frame_table}\n\n{notes}\n")


if __name__ == "__main__":
    main()
