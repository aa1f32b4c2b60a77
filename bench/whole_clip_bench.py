#!/usr/bin/python3
"""Whole-clip RGB from Python: decode_h264 against the bare C call and PyAV.

Every row decodes the whole Annex B file as one batch with FFmpeg's automatic
frame threading and keeps every frame until the end of the batch, as a data
loader handing out a batch does; releasing the frames is timed too.

- C call: pytovrik_video_decode_h264_v1 and pytovrik_video_free_response_v1
  through ctypes, with the request built beforehand: what the library costs;
- C call, before: the same through another build of the library (--baseline),
  loaded beside the first, to compare a change with what it replaces;
- decode_h264: the package's call, frames viewing the response;
- decode_h264 copy=True: every frame copied into an array of its own;
- decode_h264 out=: the frames copied into one array reused across rounds;
- PyAV: to_ndarray(format="rgb24") per frame (with width and height for the
  scaled rows), frames kept; once with frame threads like the library, once
  as PyAV opens a decoder when nothing is set (how most loaders run it).

The rows run interleaved, round after round, and each reports its median
round; ratios compare medians within this run.

Usage: bench/whole_clip_bench.py FILE.h264 [FILE.h264 ...] [--rounds N] [--baseline LIBRARY.so]
                                 [--markdown OUT.md]
Needs PYTHONPATH=python, PYTOVRIK_VIDEO_LIBRARY and PYTOVRIK_VIDEO_FILE_LIBRARY (or the package
installed).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import statistics
import time
from pathlib import Path

import av
import numpy as np

from pytovrik_video import _library, _records, decode_h264, split_annexb

SCALED = (224, 224)


def c_call(packets: list[bytes], size: tuple[int, int], lib: _library.Library):
    request = _records.RuntimeDecodeRequest()
    request.output_format = _records.FORMAT_RGB
    request.output_width, request.output_height = size
    buffers = [ctypes.create_string_buffer(packet, len(packet)) for packet in packets]
    records = (_records.RuntimePacket * len(packets))()
    for record, buffer in zip(records, buffers):
        record.data, record.len = ctypes.addressof(buffer), len(buffer)
    request.packets, request.packet_count = records, len(packets)

    def run() -> int:
        response = _records.RuntimeDecodeResponse()
        if lib.decode_h264(ctypes.byref(request), ctypes.byref(response)) != 0:
            raise RuntimeError("the library refused the clip")
        count = response.frame_count
        lib.free_response(ctypes.byref(response))
        return count

    run.keep = buffers  # the packets' memory lives as long as the row
    return run


def package_call(packets: list[bytes], size: tuple[int, int], **options):
    def run() -> int:
        frames = decode_h264(packets, output="rgb", size=size, **options)
        count = len(frames)
        del frames
        return count

    return run


def out_call(packets: list[bytes], size: tuple[int, int], count: int):
    out = np.zeros((count, size[1], size[0], 3), np.uint8)  # touched once, before timing

    def run() -> int:
        return len(decode_h264(packets, output="rgb", size=size, out=out))

    return run


def pyav_call(data: bytes, size: tuple[int, int] | None, frame_threads: bool):
    parser = av.CodecContext.create("h264", "r")
    packets = parser.parse(data) + parser.parse(None)
    scale = {} if size is None else {"width": size[0], "height": size[1]}

    def run() -> int:
        context = av.CodecContext.create("h264", "r")
        if frame_threads:
            context.thread_type = "FRAME"
        kept = []
        for packet in packets + [None]:
            for frame in context.decode(packet):
                kept.append(frame.to_ndarray(format="rgb24", **scale))
        context.close()
        count = len(kept)
        del kept
        return count

    return run


def rows_for(path: Path, baseline: _library.Library | None) -> tuple[list[tuple[str, object]], int]:
    data = path.read_bytes()
    packets = split_annexb(data)
    first = decode_h264(packets, output="yuv420", positions=[0])[0]
    source = (first.width, first.height)
    count = len(decode_h264(packets, output="yuv420"))
    rows = []
    for label, size in (("source", source), ("224x224", SCALED)):
        rows.append((f"C call, RGB {label}", c_call(packets, size, _library.library())))
        if baseline is not None:
            rows.append((f"C call, before, RGB {label}", c_call(packets, size, baseline)))
        rows += [
            (f"decode_h264, RGB {label}", package_call(packets, size)),
            (f"decode_h264 copy=True, RGB {label}", package_call(packets, size, copy=True)),
            (f"decode_h264 out=, RGB {label}", out_call(packets, size, count)),
            (f"PyAV kept, frame threads, RGB {label}", pyav_call(data, None if size == source else size, True)),
            (f"PyAV kept, PyAV's defaults, RGB {label}", pyav_call(data, None if size == source else size, False)),
        ]
    return rows, count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+", type=Path)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--baseline", type=Path)
    parser.add_argument("--markdown", type=Path)
    args = parser.parse_args()
    # A path of its own loads a second copy beside the package's library.
    baseline = _library.DECODER.open(str(args.baseline.resolve())) if args.baseline else None

    lines = [
        f"Median of {args.rounds} interleaved rounds, automatic threads. \"x C call\", \"x PyAV\" and \"x PyAV "
        "defaults\" are time ratios to the C call and to the two PyAV loops of the same size (above 1: the row "
        "is faster).",
        "",
        "| stream | row | fps | x C call | x PyAV | x PyAV defaults |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for path in args.files:
        rows, count = rows_for(path, baseline)
        seconds: list[list[float]] = [[] for _ in rows]
        for _ in range(args.rounds):
            for index, (label, run) in enumerate(rows):
                gc.collect()
                start = time.perf_counter()
                decoded = run()
                seconds[index].append(time.perf_counter() - start)
                if decoded != count:
                    raise RuntimeError(f"{label} gave {decoded} frames, expected {count}")
        median = [statistics.median(times) for times in seconds]
        stream = path.name.removesuffix(".h264")
        group_size = len(rows) // 2  # source size, then 224x224
        for group in range(0, len(rows), group_size):
            # The C call, PyAV with frame threads and PyAV's defaults.
            baselines = (group, group + group_size - 2, group + group_size - 1)
            for index in range(group, group + group_size):
                ratios = ["" if index == base else f"{median[base] / median[index]:.2f}" for base in baselines]
                lines.append(f"| {stream} | {rows[index][0]} | {count / median[index]:.1f} | {' | '.join(ratios)} |")
        del rows
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        args.markdown.write_text(text + "\n")


if __name__ == "__main__":
    main()
