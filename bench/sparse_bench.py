#!/usr/bin/python3
"""Frames by index from a video file: VideoFile against PyAV, OpenCV and torchvision.

Each task opens the file, then gets 16 frames (evenly spaced, or random) as
224x224 RGB in the order asked. Rounds interleave the readers, rotating which
goes first; the table gives each reader's median frames/s and our ratio to the
fastest peer, all from this one run. Before timing, every peer's frames are
checked against VideoFile's: each must be nearer the same index than either
neighbouring frame, by a margin colour conversion and scaling cannot explain.

Usage: bench/sparse_bench.py FILE.mp4 [FILE.mp4 ...] [--rounds N] [--markdown OUT]
(with PYTOVRIK_VIDEO_LIBRARY, PYTOVRIK_VIDEO_FILE_LIBRARY and PYTHONPATH set as
for the package, or the package installed)."""

from __future__ import annotations

import argparse
import multiprocessing
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

SIZE = (224, 224)
COUNT = 16


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
                container.seek(int(target / fps / stream.time_base) + (stream.start_time or 0), stream=stream)
                frames = container.decode(stream)
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
        reader.seek(target / fps)
        for frame in reader:
            if round(frame["pts"] * fps) >= target:
                pixels = frame["data"]
                if tuple(pixels.shape[:0:-1]) != size:
                    pixels = torch.nn.functional.interpolate(
                        pixels[None].float(), size=size[::-1], mode="bilinear", antialias=True
                    )[0].round().clamp(0, 255).byte()
                found[target] = pixels.permute(1, 2, 0).numpy()
                break
    return _in_asked_order(indices, found)


_torchvision_process = None


def torchvision_isolated(path: str, indices: list[int], size=SIZE) -> np.ndarray:
    """torchvision's reader in a process of its own: sharing one with PyAV and
    OpenCV, it crashed the interpreter here after a few dozen files. The
    frames' trip back (2.4 MB at 224x224) is inside its time."""
    global _torchvision_process
    if _torchvision_process is None:
        _torchvision_process = multiprocessing.get_context("spawn").Pool(1)
    return _torchvision_process.apply(torchvision_reader, (path, indices, size))


PEERS = {
    "PyAV seek": pyav_seek,
    "PyAV one pass": pyav_one_pass,
    "OpenCV VideoCapture": opencv,
    "torchvision VideoReader": torchvision_isolated,
}


def check_same_frames(path: str, name: str, indices: list[int], peer) -> str:
    """Fails unless every frame is nearer our frame of its index than its neighbours'.

    At source size: scaled down, the inputs' per-frame noise (which is what
    tells neighbouring frames apart) blurs away, and the readers' scalers
    differ more than colour conversions do."""
    video = VideoFile(path)
    size = (video.width, video.height)
    worst = 0.0
    for index, frame in zip(indices, peer(path, indices, size)):
        mine = video.get_frames([index, max(index - 1, 0), min(index + 1, len(video) - 1)], size=size).data
        same, *neighbours = (np.abs(frame.astype(np.int16) - other).mean() for other in mine)
        nearest_other = min(d for d, n in zip(neighbours, (index - 1, index + 1)) if 0 <= n < len(video) and n != index)
        if not same < 0.5 * nearest_other:
            raise SystemExit(
                f"{name} returned another frame than {index} of {path}: mean difference {same:.2f} "
                f"to frame {index}, {nearest_other:.2f} to a neighbour"
            )
        worst = max(worst, same / nearest_other)
    return f"{name}: same frames (worst difference to the frame asked is {worst:.3f} of a neighbour's)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--markdown")
    args = parser.parse_args()

    rows = []
    for path in args.files:
        total = len(VideoFile(path))
        tasks = {"16 evenly spaced": [round(i * (total - 1) / (COUNT - 1)) for i in range(COUNT)]}
        tasks["16 random"] = random.Random(path).sample(range(total), COUNT)
        for task, indices in tasks.items():
            for name, peer in PEERS.items():
                print(check_same_frames(path, name, indices, peer))
            readers = {"VideoFile": ours, **PEERS}
            times: dict[str, list[float]] = {name: [] for name in readers}
            for round_ in range(args.rounds):
                names = list(readers)
                for name in names[round_ % len(names) :] + names[: round_ % len(names)]:
                    start = time.perf_counter()
                    readers[name](path, indices)
                    times[name].append(time.perf_counter() - start)
            median = {name: statistics.median(values) for name, values in times.items()}
            fastest = min(PEERS, key=median.get)
            stem = Path(path).stem
            rows.append(
                f"| {stem} | {task} | {COUNT / median['VideoFile']:.1f} | "
                + " | ".join(f"{COUNT / median[name]:.1f}" for name in PEERS)
                + f" | {median[fastest] / median['VideoFile']:.2f} ({fastest}) |"
            )
            print(rows[-1], flush=True)

    table = "\n".join(
        [
            "| file | frames | VideoFile | " + " | ".join(PEERS) + " | x fastest peer |",
            "|---|---|" + "---:|" * (len(PEERS) + 2),
            *rows,
        ]
    )
    versions = (
        f"PyAV {av.__version__}, OpenCV {cv2.__version__}, torchvision {torchvision.__version__}; "
        f"frames/s, median of {args.rounds} interleaved rounds, each opening the file"
    )
    print(versions)
    if args.markdown:
        Path(args.markdown).write_text(f"{table}\n\n{versions}\n")


if __name__ == "__main__":
    main()
