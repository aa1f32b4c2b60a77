"""The records exchanged with the libraries, declared to match include/pytovrik_video.h and
include/pytovrik_video_file.h."""

from __future__ import annotations

import ctypes

FORMAT_RGB = 0
FORMAT_YUV420 = 1


class RuntimeBytes(ctypes.Structure):
    """A buffer owned by the library; absent when ``data`` is NULL."""

    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_uint8)),
        ("len", ctypes.c_uint64),
    ]


class RuntimePacket(ctypes.Structure):
    """One encoded packet; the bytes stay owned by Python."""

    _fields_ = [
        ("data", ctypes.c_void_p),
        ("len", ctypes.c_uint64),
    ]


class RuntimeDecodeRequest(ctypes.Structure):
    """One decode request; the library only reads it during the call."""

    _fields_ = [
        ("reserved", ctypes.c_uint8 * 8),
        ("output_width", ctypes.c_uint32),
        ("output_height", ctypes.c_uint32),
        ("output_format", ctypes.c_uint32),
        ("packets", ctypes.POINTER(RuntimePacket)),
        ("packet_count", ctypes.c_uint64),
        ("selected_positions", ctypes.POINTER(ctypes.c_uint64)),
        ("selected_position_count", ctypes.c_uint64),
    ]


class RuntimeFrame(ctypes.Structure):
    """One output frame; its buffers belong to the library until the response is freed."""

    _fields_ = [
        ("format", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("rgb", RuntimeBytes),
        ("y", RuntimeBytes),
        ("uv", RuntimeBytes),
    ]


class RuntimeDecodeResponse(ctypes.Structure):
    """The result of one decode call; freshly constructed it is the prepared state."""

    _fields_ = [
        ("frames", ctypes.POINTER(RuntimeFrame)),
        ("frame_count", ctypes.c_uint64),
    ]


class PytovrikDecoder(ctypes.Structure):
    """The decoding library's two functions, handed to the file layer as addresses."""

    _fields_ = [
        ("decode_h264", ctypes.c_void_p),
        ("free_response", ctypes.c_void_p),
    ]


class PytovrikVideoFileInfo(ctypes.Structure):
    """What the file layer knows of an opened file."""

    _fields_ = [
        ("frame_count", ctypes.c_uint64),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("frame_rate_num", ctypes.c_int64),
        ("frame_rate_den", ctypes.c_int64),
        ("duration_seconds", ctypes.c_double),
        ("bytes_read_at_open", ctypes.c_uint64),
        ("index_bytes", ctypes.c_uint64),
        ("container", ctypes.c_char * 64),
    ]


class PytovrikVideoTrackInfo(ctypes.Structure):
    """A video track as a player sees it: codec, stored size, display turn, times."""

    _fields_ = [
        ("codec", ctypes.c_char * 32),
        ("container", ctypes.c_char * 64),
        ("stored_width", ctypes.c_uint32),
        ("stored_height", ctypes.c_uint32),
        ("rotation", ctypes.c_uint32),
        ("mirrored", ctypes.c_uint32),
        ("frame_rate_num", ctypes.c_int64),
        ("frame_rate_den", ctypes.c_int64),
        ("start_seconds", ctypes.c_double),
        ("end_seconds", ctypes.c_double),
        ("frame_count", ctypes.c_uint64),
    ]


# (record, size, {field: offset}) as the headers fix them for x86-64 System V.
# ctypes computes the layout from the platform's C rules, so a mismatch means
# either the declarations above or the platform differ from what the library
# was built for; either way, calling it would corrupt memory.
EXPECTED_LAYOUT: tuple[tuple[type[ctypes.Structure], int, dict[str, int]], ...] = (
    (RuntimeBytes, 16, {"data": 0, "len": 8}),
    (RuntimePacket, 16, {"data": 0, "len": 8}),
    (
        RuntimeDecodeRequest,
        56,
        {
            "reserved": 0,
            "output_width": 8,
            "output_height": 12,
            "output_format": 16,
            "packets": 24,
            "packet_count": 32,
            "selected_positions": 40,
            "selected_position_count": 48,
        },
    ),
    (
        RuntimeFrame,
        64,
        {"format": 0, "width": 4, "height": 8, "rgb": 16, "y": 32, "uv": 48},
    ),
    (RuntimeDecodeResponse, 16, {"frames": 0, "frame_count": 8}),
    (PytovrikDecoder, 16, {"decode_h264": 0, "free_response": 8}),
    (
        PytovrikVideoFileInfo,
        120,
        {
            "frame_count": 0,
            "width": 8,
            "height": 12,
            "frame_rate_num": 16,
            "frame_rate_den": 24,
            "duration_seconds": 32,
            "bytes_read_at_open": 40,
            "index_bytes": 48,
            "container": 56,
        },
    ),
    (
        PytovrikVideoTrackInfo,
        152,
        {
            "codec": 0,
            "container": 32,
            "stored_width": 96,
            "stored_height": 100,
            "rotation": 104,
            "mirrored": 108,
            "frame_rate_num": 112,
            "frame_rate_den": 120,
            "start_seconds": 128,
            "end_seconds": 136,
            "frame_count": 144,
        },
    ),
)


def check_layout() -> None:
    """Raise ImportError if any record differs from the library's layout."""
    for record, size, offsets in EXPECTED_LAYOUT:
        actual = {name: getattr(record, name).offset for name, _ in record._fields_}
        if ctypes.sizeof(record) != size or actual != offsets:
            raise ImportError(
                f"{record.__name__} has size {ctypes.sizeof(record)} and offsets {actual}, "
                f"but the library expects size {size} and offsets {offsets}"
            )


check_layout()
