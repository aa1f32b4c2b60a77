"""Splitting an H.264 Annex B byte stream into access units."""

from __future__ import annotations

from collections.abc import Iterator

_START_CODE = b"\x00\x00\x01"

_NAL_SLICE = 1
_NAL_SLICE_PARTITION_A = 2
_NAL_IDR_SLICE = 5
_NAL_SEI = 6
_NAL_SPS = 7
_NAL_PPS = 8
_NAL_AUD = 9
# Slice data partitions B and C carry no slice header but are still picture data.
_VCL_TYPES = frozenset(range(1, 6))
_HEADER_TYPES = frozenset({_NAL_SLICE, _NAL_SLICE_PARTITION_A, _NAL_IDR_SLICE})
# Units that come before the first slice of the picture they belong to.
_PREFIX_TYPES = frozenset({_NAL_SEI, _NAL_SPS, _NAL_PPS, 14, 15, 16, 17, 18})


def _nal_units(data: bytes) -> Iterator[tuple[int, int, int]]:
    """Yield (unit start, header index, nal_unit_type) for every NAL unit.

    A unit's start includes the zero_byte of a four-byte start code, so that
    the start code travels with its unit and the pieces join back into the
    input unchanged.
    """
    found = data.find(_START_CODE)
    while found != -1:
        header = found + 3
        following = data.find(_START_CODE, header)
        end = len(data) if following == -1 else following
        if header < end:
            start = found - 1 if found > 0 and data[found - 1] == 0 else found
            yield start, header, data[header] & 0x1F
        found = following


def _starts_picture(data: bytes, header: int) -> bool:
    # first_mb_in_slice is the first ue(v) after the one-byte NAL header; it is
    # 0 exactly when its first bit is 1, so no Exp-Golomb decoding (nor
    # emulation-prevention removal) is needed to recognise a picture's first
    # slice.
    return header + 1 < len(data) and bool(data[header + 1] & 0x80)


def split_annexb(data: bytes) -> list[bytes]:
    """Split an H.264 Annex B stream into access units, one per decoded picture.

    A new access unit starts at an access unit delimiter, at an SEI, SPS or
    PPS (or another unit that precedes a picture's slices) that follows a
    slice, and at a slice whose first_mb_in_slice is 0 that follows a slice.
    Each access unit keeps its start codes; the access units joined together
    give ``data`` byte for byte, with any bytes before the first start code
    kept at the head of the first one. Arbitrary slice order (a picture that
    does not begin with macroblock 0) is not recognised.

    Args:
        data: the whole stream (any bytes-like object).

    Returns:
        The access units in stream order, ready to pass to ``decode_h264``.
        Empty input gives an empty list; input without a start code is
        returned as one piece.
    """
    data = bytes(data)
    units: list[bytes] = []
    unit_start = 0
    has_picture = False
    for start, header, nal_type in _nal_units(data):
        if nal_type == _NAL_AUD:
            begins = True
        elif nal_type in _PREFIX_TYPES:
            begins = has_picture
        elif nal_type in _HEADER_TYPES:
            begins = has_picture and _starts_picture(data, header)
        else:
            begins = False
        if begins and start > unit_start:
            units.append(data[unit_start:start])
            unit_start = start
            has_picture = False
        if nal_type in _VCL_TYPES:
            has_picture = True
    if unit_start < len(data):
        units.append(data[unit_start:])
    return units
