#!/usr/bin/python3
"""A peer for the decode benchmark: PyAV (Debian's python3-av) decoding the
same Annex B file with frame threading and keeping every frame as an RGB
ndarray (to_ndarray(format="rgb24")) until the end of the batch.

Usage: bench/pyav_bench.py FILE [rounds] [threads]   (threads 0: FFmpeg chooses)
Prints one markdown table row: fps of the best round."""
import sys
import time

import av


def main():
    path = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    threads = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    with open(path, "rb") as file:
        data = file.read()
    parser = av.CodecContext.create("h264", "r")
    packets = parser.parse(data) + parser.parse(None)
    best, frames = float("inf"), 0
    for _ in range(rounds):
        start = time.perf_counter()
        context = av.CodecContext.create("h264", "r")
        context.thread_type = "FRAME"
        context.thread_count = threads
        kept = []
        for packet in packets + [None]:
            for frame in context.decode(packet):
                kept.append(frame.to_ndarray(format="rgb24"))
        frames = len(kept)
        del kept
        context.close()
        best = min(best, time.perf_counter() - start)
    label = "auto" if threads == 0 else str(threads)
    stream = path.rsplit("/", 1)[-1].removesuffix(".h264")
    print(f"| {stream} | {label} | PyAV {av.__version__}, to_ndarray(rgb24) kept, all | {frames / best:.1f} |")


if __name__ == "__main__":
    main()
