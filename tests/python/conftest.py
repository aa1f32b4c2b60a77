"""Shared fixtures: the conformance subset and streams made with the ffmpeg CLI."""

from __future__ import annotations

import csv
import importlib.util
import subprocess
import sys
import zlib
from dataclasses import dataclass
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CONFORMANCE = REPO / "tests" / "data" / "conformance"

# Without PYTHONPATH (ctest sets it), test the checkout's package.
if importlib.util.find_spec("pytovrik_video") is None:
    sys.path.insert(0, str(REPO / "python"))


@dataclass(frozen=True)
class ConformanceStream:
    name: str
    path: Path
    width: int
    height: int
    frames: int

    def reference_lines(self) -> list[str]:
        text = (CONFORMANCE / "refs" / f"{self.name}.txt").read_text()
        return [line for line in text.splitlines() if line]


def _read_manifest() -> list[ConformanceStream]:
    with open(CONFORMANCE / "manifest.tsv", newline="") as manifest:
        return [
            ConformanceStream(
                row["name"], CONFORMANCE / row["file"], int(row["width"]), int(row["height"]), int(row["frames"])
            )
            for row in csv.DictReader(manifest, delimiter="\t")
        ]


CONFORMANCE_STREAMS = _read_manifest()
# The short ones, for tests that decode many times.
SHORT_STREAMS = [stream for stream in CONFORMANCE_STREAMS if stream.frames <= 62]


def framecrc_line(frame) -> str:
    """The conformance refs' line for a YUV frame: size and Adler-32 (start 0) of Y, U, V."""
    data = frame.y.tobytes() + frame.uv[..., 0].tobytes() + frame.uv[..., 1].tobytes()
    return f"{len(data)} 0x{zlib.adler32(data, 0):08x}"


def encode_with_ffmpeg(path: Path, *args: str) -> bytes:
    """Encode a synthetic clip with libx264 into a raw Annex B file and return its bytes."""
    subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-y", *args, "-c:v", "libx264", "-f", "h264", str(path)],
        check=True,
    )
    return path.read_bytes()


@pytest.fixture(scope="session")
def x264_clip(tmp_path_factory) -> bytes:
    """24 frames, 98x66, B-frames, an IDR every 8 frames, access unit delimiters."""
    return encode_with_ffmpeg(
        tmp_path_factory.mktemp("x264") / "clip.264",
        "-f", "lavfi", "-i", "testsrc2=size=98x66:rate=25", "-frames:v", "24",
        "-pix_fmt", "yuv420p", "-bf", "2", "-x264-params", "keyint=8:min-keyint=8:scenecut=0:aud=1",
    )


@pytest.fixture(scope="session")
def yuv444_clip(tmp_path_factory) -> bytes:
    """10 frames of 4:4:4, which only the RGB output can convert."""
    return encode_with_ffmpeg(
        tmp_path_factory.mktemp("x264") / "yuv444.264",
        "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "10", "-pix_fmt", "yuv444p",
    )
