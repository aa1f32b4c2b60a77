"""Splitting Annex B streams into access units."""

from __future__ import annotations

import os
import re
import subprocess

import pytest
from conftest import CONFORMANCE_STREAMS, REPO

from pytovrik_video import decode_h264, split_annexb


def _c_access_unit_sizes(path) -> list[int]:
    """Sizes of the access units the decoder tool's splitter (libavcodec's
    parser) cuts from a raw stream."""
    printer = os.environ.get("PYTOVRIK_PRINT_ACCESS_UNITS")
    if not printer:
        pytest.skip("PYTOVRIK_PRINT_ACCESS_UNITS names no splitter program (ctest sets it)")
    listing = subprocess.run([printer, str(path)], check=True, capture_output=True, text=True).stdout
    return [int(line) for line in listing.split()]


# Coded as field pictures, each field an access unit of its own: more units
# than frames.
FIELD_CODED = {"cvfi1_sva_c", "capama3_sand_f", "cvfi2_sva_c"}


@pytest.mark.parametrize("stream", CONFORMANCE_STREAMS, ids=lambda s: s.name)
def test_conformance_streams_split_like_the_c_splitter(stream):
    data = stream.path.read_bytes()
    units = split_annexb(data)
    assert b"".join(units) == data
    assert len(units) == stream.frames or stream.name in FIELD_CODED
    assert [len(unit) for unit in units] == _c_access_unit_sizes(stream.path)


def test_bundled_sample_splits_like_the_c_splitter():
    sample = REPO / "data" / "sample.h264"
    assert [len(unit) for unit in split_annexb(sample.read_bytes())] == _c_access_unit_sizes(sample)


def test_x264_stream_with_delimiters_sei_and_b_frames(x264_clip):
    units = split_annexb(x264_clip)
    assert b"".join(units) == x264_clip
    assert len(units) == 24
    assert all(unit.startswith(b"\x00\x00\x00\x01\x09") for unit in units)
    assert len(decode_h264(units, output="yuv420")) == 24

    # The same stream without its delimiters: the SPS, PPS and SEI in front of
    # each IDR, and each first slice, must start the access units instead.
    nals = re.split(b"\x00?\x00\x00\x01", x264_clip)[1:]
    stripped = b"".join(b"\x00\x00\x01" + nal for nal in nals if nal[0] & 0x1F != 9)
    units = split_annexb(stripped)
    assert len(units) == 24
    assert sum(unit[3] & 0x1F == 7 for unit in units) == 3
    assert len(decode_h264(units, output="yuv420")) == 24


def _nal(header: int, *payload: int, long_start_code: bool = False) -> bytes:
    return (b"\x00" if long_start_code else b"") + b"\x00\x00\x01" + bytes([header, *payload])


SPS, PPS, SEI, AUD = _nal(0x67, 1, 2), _nal(0x68, 3), _nal(0x06, 5), _nal(0x09, 0xF0)
IDR_FIRST, IDR_NEXT = _nal(0x65, 0x88, 1), _nal(0x65, 0x40, 2)  # first_mb_in_slice 0, then 1
P_FIRST, P_NEXT = _nal(0x41, 0x9A), _nal(0x41, 0x5A)
PART_A_FIRST, PART_B = _nal(0x22, 0x80), _nal(0x23, 0x80)  # partition B has no slice header


@pytest.mark.parametrize(
    "pieces",
    [
        [SPS + PPS + IDR_FIRST + IDR_NEXT, P_FIRST + P_NEXT, SEI + P_FIRST],
        [AUD + SPS + IDR_FIRST, AUD + P_FIRST, AUD + SEI + P_FIRST + P_NEXT],
        # trailing_zero_8bits stay behind; a four-byte start code's zero_byte moves on.
        [b"junk" + _nal(0x67, 1, long_start_code=True) + IDR_FIRST + b"\x00\x00", _nal(0x68, 3, long_start_code=True) + P_FIRST],
        [PART_A_FIRST + PART_B, PART_A_FIRST + PART_B],
        [SPS + PPS],
        [b"no start code here"],
    ],
    ids=["slices", "delimiters", "junk-and-zeros", "partitions", "no-picture", "no-start-code"],
)
def test_access_unit_boundaries(pieces):
    assert split_annexb(b"".join(pieces)) == pieces


def test_empty_and_degenerate_input():
    assert split_annexb(b"") == []
    # A start code with nothing after it stays with the unit before it.
    assert split_annexb(IDR_FIRST + b"\x00\x00\x01") == [IDR_FIRST + b"\x00\x00\x01"]
    assert split_annexb(bytearray(P_FIRST)) == [P_FIRST]
