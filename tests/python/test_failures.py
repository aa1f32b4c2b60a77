"""Refusals, bad arguments, freeing on every path, and finding the library."""

from __future__ import annotations

import ctypes.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import REPO, SHORT_STREAMS, framecrc_line

import pytovrik_video
from pytovrik_video import DecodeError, _decode, _library, decode_h264, split_annexb


@pytest.fixture(scope="module")
def packets() -> list[bytes]:
    return split_annexb(SHORT_STREAMS[0].path.read_bytes())


class CountingLibrary:
    """Wraps the real library and records the requests sent and the responses freed."""

    def __init__(self, real: _library.Library) -> None:
        self.real = real
        self.functions = real.functions
        self.decode_h264 = real.decode_h264
        self.decodes = 0
        self.frees: list[int] = []

    def free_response(self, response):
        self.frees.append(ctypes.addressof(response._obj))
        self.real.free_response(response)
        assert not response._obj.frames and response._obj.frame_count == 0


@pytest.fixture
def counting(monkeypatch) -> CountingLibrary:
    spy = CountingLibrary(_library.library())
    monkeypatch.setattr(_decode, "library", lambda: spy)
    send = _decode._send

    def counted(*arguments):
        spy.decodes += 1
        return send(*arguments)

    monkeypatch.setattr(_decode, "_send", counted)
    return spy


def test_refused_requests_raise_and_leave_the_thread_usable(packets, yuv444_clip, counting):
    refused = [
        # Decodes, but is not 4:2:0.
        (split_annexb(yuv444_clip), "pytovrik_video: .*expects FFmpeg to decode yuv420p frames"),
        # No parameter sets: the library names the one missing, and FFmpeg's
        # own word comes too, though frame threads ran the batch first.
        (
            packets[1:],
            "non-existing PPS 0 referenced.*pytovrik_video: failed to decode H.264 packet 0: .*"
            "refers to [SP]PS 0 without defining it",
        ),
        ([b"\x00\x00\x01\x65" + bytes(range(256)) * 4], "pytovrik_video: .*H.264"),
    ]
    for batch, reason in refused:
        # The library's own reason, captured on this thread by the file layer.
        with pytest.raises(DecodeError, match=f"refused to decode .* as yuv420: .*{reason}"):
            decode_h264(batch, output="yuv420")
    assert counting.decodes == len(refused) and len(counting.frees) == len(refused)

    # The same thread's decoder serves the next request exactly.
    frames = decode_h264(packets, output="yuv420")
    assert [framecrc_line(f) for f in frames] == SHORT_STREAMS[0].reference_lines()
    assert len(decode_h264(split_annexb(yuv444_clip), output="rgb", size=(64, 48))) == 10


@pytest.mark.parametrize(
    "arguments, error",
    [
        (dict(output="bgr", size=(8, 8)), ValueError),
        (dict(output="rgb"), ValueError),
        (dict(output="rgb", size=(0, 10)), ValueError),
        (dict(output="rgb", size=(10, -1)), ValueError),
        # ctypes would silently keep the low 32 bits of these.
        (dict(output="rgb", size=(2**32 + 16, 16)), ValueError),
        (dict(output="rgb", size=(2**31, 16)), ValueError),
        (dict(output="rgb", size=(1.5, 2)), TypeError),
        (dict(output="rgb", size=(8, 8, 8)), TypeError),
        (dict(output="yuv420", size=(8, 8)), ValueError),
        (dict(output="yuv420", positions=[-1]), ValueError),
        (dict(output="yuv420", positions=[2**64]), ValueError),
        (dict(output="yuv420", positions=[1.0]), TypeError),
        (dict(output="yuv420", positions="12"), TypeError),
        (dict(output="yuv420", out=np.zeros((1, 8, 8, 3), np.uint8)), ValueError),
        (dict(output="rgb", size=(8, 6), out=np.zeros((1, 8, 6, 3), np.uint8)), ValueError),
        (dict(output="rgb", size=(8, 6), out=np.zeros((1, 6, 8, 3), np.float32)), ValueError),
        (dict(output="rgb", size=(8, 6), out=np.zeros((1, 6, 8, 3, 1), np.uint8)), ValueError),
        (dict(output="rgb", size=(8, 6), out=np.zeros((1, 6, 16, 3), np.uint8)[:, :, ::2]), ValueError),
        (dict(output="rgb", size=(8, 6), out=np.zeros((1, 6, 8, 3), np.uint8).tolist()), TypeError),
    ],
)
def test_bad_arguments_never_reach_the_library(packets, counting, arguments, error):
    with pytest.raises(error):
        decode_h264(packets, **arguments)
    assert counting.decodes == 0


@pytest.mark.parametrize(
    "bad_packets",
    [b"\x00\x00\x01\x67", ["text"], [b"ok", 7], [np.zeros((4, 4), np.uint8)[:, :2]]],
    ids=["one-bytes-object", "str", "int", "strided-array"],
)
def test_packets_that_are_not_bytes_are_rejected(counting, bad_packets):
    with pytest.raises(TypeError):
        decode_h264(bad_packets, output="yuv420")
    assert counting.decodes == 0


def test_response_is_freed_once_with_its_last_array_or_on_interruption(packets, counting, monkeypatch):
    frames = decode_h264(packets, output="yuv420")
    kept = frames[1].uv[1:, ::2]
    del frames
    assert counting.frees == []  # a view of one frame holds the whole response
    decode_h264(packets, output="yuv420", positions=[1])
    assert len(counting.frees) == 1
    del kept
    assert len(counting.frees) == 2

    made = []
    real_frame = _decode._frame

    def interrupt_third(record, requested_format, owner):
        if len(made) == 2:
            raise KeyboardInterrupt
        made.append(real_frame(record, requested_format, owner))
        return made[-1]

    monkeypatch.setattr(_decode, "_frame", interrupt_third)
    with pytest.raises(KeyboardInterrupt):
        decode_h264(packets, output="yuv420")
    assert counting.decodes == 3 and len(counting.frees) == 2
    # What was made before the interruption stays valid, and holds the response.
    assert [framecrc_line(f) for f in made] == SHORT_STREAMS[0].reference_lines()[:2]
    del made[:]
    assert len(counting.frees) == 3


def _load_in_subprocess(env_changes: dict[str, str | None], package_root: Path) -> subprocess.CompletedProcess:
    """Prints where both libraries were found (None for a missing file layer) and a refusal's message."""
    env = {k: v for k, v in os.environ.items() if k not in env_changes}
    env.update({k: v for k, v in env_changes.items() if v is not None})
    env["PYTHONPATH"] = str(package_root)
    script = (
        "import pytovrik_video as p\n"
        "try:\n"
        "    files = p._library.optional_file_library()\n"
        "    print('version', p.abi_version(), p._library.library().cdll._name, files and files.cdll._name)\n"
        "    p.decode_h264([b'\\0\\0\\1\\x65'], output='yuv420')\n"
        "except p.LibraryNotFoundError as e:\n    print('not found:', e)\n"
        "except p.DecodeError as e:\n    print(e)\n"
    )
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)


def test_libraries_are_found_by_variable_then_beside_the_package_then_the_loader(tmp_path):
    built = Path(os.environ.get(_library.LIBRARY_ENV_VAR) or _library.library().cdll._name).resolve()
    built_files = Path(os.environ.get(_library.FILE_LIBRARY_ENV_VAR) or _library.file_library().cdll._name).resolve()
    source_package = REPO / "python"
    neither = {_library.LIBRARY_ENV_VAR: None, _library.FILE_LIBRARY_ENV_VAR: None, "LD_LIBRARY_PATH": None}

    for variable in (_library.LIBRARY_ENV_VAR, _library.FILE_LIBRARY_ENV_VAR):
        bad = _load_in_subprocess({variable: str(tmp_path / "missing.so")}, source_package)
        assert bad.stdout.startswith("not found:") and "missing.so" in bad.stdout

    libz = ctypes.util.find_library("z")
    if libz:
        wrong = _load_in_subprocess({_library.LIBRARY_ENV_VAR: libz}, source_package)
        assert "is not the pytovrik_video library" in wrong.stdout
        wrong = _load_in_subprocess({_library.FILE_LIBRARY_ENV_VAR: libz}, source_package)
        assert "is not the pytovrik_video_file library" in wrong.stdout

    if shutil.which("cc"):
        future = tmp_path / "libfuture.so"
        subprocess.run(
            ["cc", "-shared", "-fPIC", "-x", "c", "-", "-o", str(future)],
            input="int pytovrik_video_abi_version(void) { return 2; }\n"
            "int pytovrik_video_decode_h264_v1(void) { return 0; }\n"
            "void pytovrik_video_free_response_v1(void) {}\n",
            text=True, check=True,
        )
        newer = _load_in_subprocess({_library.LIBRARY_ENV_VAR: str(future)}, source_package)
        assert "has interface version 2" in newer.stdout

    # A copy of the package with the decoder beside it needs no variable;
    # without the file layer, decode_h264 still works but gives no reason.
    shutil.copytree(source_package / "pytovrik_video", tmp_path / "pkg" / "pytovrik_video")
    shutil.copy(built, tmp_path / "pkg" / "pytovrik_video" / _library.SONAME)
    beside = _load_in_subprocess(neither, tmp_path / "pkg").stdout.splitlines()
    assert beside[0].startswith(f"version 1 {tmp_path / 'pkg'}") and beside[0].endswith(" None")
    assert "no reason is available without the file layer" in beside[1]

    # Otherwise the system loader resolves the SONAMEs.
    loader_dir = tmp_path / "loader"
    loader_dir.mkdir()
    shutil.copy(built, loader_dir / _library.SONAME)
    shutil.copy(built_files, loader_dir / _library.FILE_SONAME)
    system = _load_in_subprocess({**neither, "LD_LIBRARY_PATH": str(loader_dir)}, source_package).stdout.splitlines()
    assert system[0].startswith("version 1 ") and system[0].endswith(_library.FILE_SONAME)
    assert "pytovrik_video: failed" in system[1]
