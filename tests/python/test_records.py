"""The ctypes records against the C header, and every field through real calls."""

from __future__ import annotations

import ctypes
import shutil
import subprocess

import numpy as np
import pytest
from conftest import CONFORMANCE_STREAMS, REPO, framecrc_line

import pytovrik_video
from pytovrik_video import _records, split_annexb


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_ctypes_records_match_the_compiled_header(tmp_path):
    lines = []
    for record, _, offsets in _records.EXPECTED_LAYOUT:
        name = record.__name__
        lines.append(f'printf("{name} size %zu\\n", sizeof({name}));')
        lines += [f'printf("{name}.{field} %zu\\n", offsetof({name}, {field}));' for field in offsets]
    source = tmp_path / "layout.c"
    source.write_text(
        "#include <stddef.h>\n#include <stdio.h>\n#include <pytovrik_video_file.h>\n"
        "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n"
    )
    subprocess.run(["cc", "-std=c11", f"-I{REPO / 'include'}", str(source), "-o", str(tmp_path / "layout")], check=True)
    printed = subprocess.run([str(tmp_path / "layout")], check=True, capture_output=True, text=True).stdout

    expected = []
    for record, _, offsets in _records.EXPECTED_LAYOUT:
        expected.append(f"{record.__name__} size {ctypes.sizeof(record)}")
        expected += [f"{record.__name__}.{field} {getattr(record, field).offset}" for field in offsets]
    assert printed.splitlines() == expected


def test_abi_version_is_one():
    assert pytovrik_video.abi_version() == 1


def test_request_and_frame_fields_reach_the_library():
    stream = next(s for s in CONFORMANCE_STREAMS if s.name == "cvfc1_sony_c")
    packets = split_annexb(stream.path.read_bytes())
    references = stream.reference_lines()

    # Positions (offsets 40 and 48) out of order, repeated and past the end;
    # the frame's y and uv (offsets 32 and 48) must hold exactly those frames.
    frames = pytovrik_video.decode_h264(packets, output="yuv420", positions=[7, 3, 3, 10_000])
    assert [framecrc_line(f) for f in frames] == [references[3], references[7]]
    assert all((f.width, f.height) == (stream.width, stream.height) for f in frames)
    assert [f.uv.shape for f in frames] == [(84, 163, 2)] * 2

    # Output size (offsets 8 and 12) and format (16), frame size (4, 8) and rgb (16):
    # an asymmetric size catches width and height swapped anywhere on the way.
    rgb = pytovrik_video.decode_h264(packets, output="rgb", size=(37, 20), positions=[3])
    assert len(rgb) == 1 and rgb[0].rgb.shape == (20, 37, 3)


def test_packet_records_accept_every_buffer_kind():
    stream = next(s for s in CONFORMANCE_STREAMS if s.name == "sva_base_b")
    packets = split_annexb(stream.path.read_bytes())
    mixed = [
        [bytes(p), bytearray(p), memoryview(p), np.frombuffer(p, np.uint8), memoryview(b"xx" + p)[2:]][i % 5]
        for i, p in enumerate(packets)
    ]
    # A demuxer ends with an empty flush packet; the library would refuse it.
    mixed.append(b"")
    frames = pytovrik_video.decode_h264(iter(mixed), output="yuv420")
    assert [framecrc_line(f) for f in frames] == stream.reference_lines()
