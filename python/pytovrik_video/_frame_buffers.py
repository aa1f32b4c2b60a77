"""What both decoding paths check: the RGB size and ``out`` array a caller
gives, and the buffers of a frame the library returns."""

from __future__ import annotations

import ctypes
import operator

import numpy as np

from ._records import FORMAT_RGB, RuntimeBytes, RuntimeFrame

# libswscale receives the output size as a C int.
MAX_DIMENSION = (1 << 31) - 1


def check_out(out: np.ndarray, width: int, height: int, frames: int | None = None) -> None:
    """Refuses an ``out`` that cannot take RGB frames of this size (and, when
    ``frames`` is given, exactly that many)."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
    count = "N" if frames is None else frames
    expected = f"a writeable C-contiguous uint8 array of shape ({count}, {height}, {width}, 3)"
    if (
        out.dtype != np.uint8
        or out.ndim != 4
        or out.shape[1:] != (height, width, 3)
        or (frames is not None and out.shape[0] != frames)
    ):
        raise ValueError(f"out must be {expected}, not {out.dtype} of shape {out.shape}")
    if not (out.flags.c_contiguous and out.flags.writeable):
        raise ValueError(f"out must be {expected}; this one is not C-contiguous or not writeable")


def checked_size(size: tuple[int, int] | None) -> tuple[int, int]:
    if size is None:
        raise ValueError(
            "output='rgb' needs size=(width, height); decode as output='yuv420' to learn "
            "the decoded size"
        )
    try:
        width, height = (operator.index(value) for value in size)
    except (TypeError, ValueError):
        raise TypeError(f"size must be a (width, height) pair of integers, not {size!r}") from None
    for name, value in (("width", width), ("height", height)):
        if not 1 <= value <= MAX_DIMENSION:
            raise ValueError(f"RGB {name} must be between 1 and {MAX_DIMENSION}, not {value}")
    return width, height


def frame_planes(record: RuntimeFrame, requested_format: int) -> list[tuple[int, tuple[int, ...]]]:
    """The frame's buffers as (address, shape) pairs, rgb or y then uv, checked against its size."""
    width, height = int(record.width), int(record.height)
    if record.format != requested_format:
        raise RuntimeError(f"the library returned a frame of format {record.format}, asked {requested_format}")
    if requested_format == FORMAT_RGB:
        return [(address_of(record.rgb, (height, width, 3), "rgb"), (height, width, 3))]
    chroma = ((height + 1) // 2, (width + 1) // 2, 2)
    return [(address_of(record.y, (height, width), "y"), (height, width)), (address_of(record.uv, chroma, "uv"), chroma)]


def address_of(buffer: RuntimeBytes, shape: tuple[int, ...], name: str) -> int:
    expected = int(np.prod(shape))
    # A length that disagrees with the frame's size would let a reader reach
    # past the library's buffer, so it stops here.
    if buffer.len != expected or (expected and not buffer.data):
        raise RuntimeError(f"the library returned a {name} buffer of {buffer.len} bytes for shape {shape}")
    return ctypes.cast(buffer.data, ctypes.c_void_p).value or 0
