"""Decoding a batch of H.264 packets through the library."""

from __future__ import annotations

import ctypes
import operator
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal, TypeAlias, Union

import numpy as np

from . import _logs
from ._frame_buffers import check_out, checked_size, frame_planes
from ._library import FILE_SONAME, Library, library, optional_file_library
from ._records import (
    FORMAT_RGB,
    FORMAT_YUV420,
    RuntimeBytes,
    RuntimeDecodeRequest,
    RuntimeDecodeResponse,
    RuntimeFrame,
    RuntimePacket,
)
from .errors import DecodeError

BytesLike: TypeAlias = Union[bytes, bytearray, memoryview, np.ndarray]
OutputKind: TypeAlias = Literal["rgb", "yuv420"]

_UINT64_LIMIT = 1 << 64
# Positions past the last frame are ignored by the library, so this one keeps
# nothing while the batch is still decoded (and its failures still reported).
_NO_POSITION = _UINT64_LIMIT - 1


@dataclass(frozen=True, eq=False)
class RgbFrame:
    """A decoded frame as packed 8-bit full-range RGB, scaled to the requested size.

    Converted with the colour matrix and range the stream signals, or as
    BT.601 limited range when it signals none.
    """

    rgb: np.ndarray
    """Shape (height, width, 3), dtype uint8, channels in R, G, B order."""

    @property
    def width(self) -> int:
        return int(self.rgb.shape[1])

    @property
    def height(self) -> int:
        return int(self.rgb.shape[0])


@dataclass(frozen=True, eq=False)
class Yuv420Frame:
    """A decoded frame as 8-bit limited-range YUV 4:2:0, at its decoded size."""

    y: np.ndarray
    """Luma, shape (height, width), dtype uint8."""
    uv: np.ndarray
    """Chroma, shape (ceil(height / 2), ceil(width / 2), 2), dtype uint8:
    ``uv[..., 0]`` is Cb and ``uv[..., 1]`` is Cr (NV12 order)."""

    @property
    def width(self) -> int:
        return int(self.y.shape[1])

    @property
    def height(self) -> int:
        return int(self.y.shape[0])


Frame: TypeAlias = Union[RgbFrame, Yuv420Frame]


def abi_version() -> int:
    """The interface version the loaded library reports (1 for this package)."""
    return int(library().abi_version())


def decode_h264(
    packets: Iterable[BytesLike],
    *,
    output: OutputKind = "rgb",
    size: tuple[int, int] | None = None,
    positions: Iterable[int] | None = None,
    copy: bool = False,
    out: np.ndarray | None = None,
) -> list[Frame] | np.ndarray:
    """Decode one batch of H.264 packets and return the selected frames.

    Args:
        packets: encoded packets in decode order, normally one Annex B access
            unit each (see ``split_annexb``). Any bytes-like object works; the
            library copies them during the call, so they may be reused after.
            Empty packets (such as a demuxer's final flush packet) are
            skipped: the library itself ends every batch with the
            end-of-stream signal.
        output: ``"rgb"`` for ``RgbFrame`` or ``"yuv420"`` for ``Yuv420Frame``.
        size: ``(width, height)`` of RGB frames, required for ``"rgb"``:
            every frame is scaled to it. The decoded size is only known once
            a frame is decoded; decode as ``"yuv420"`` to learn it. Not
            accepted with ``"yuv420"``, whose frames keep their decoded size.
        positions: 0-based indexes, in the decoder's output order, of the
            frames to return; ``None`` returns every frame. Order and
            duplicates do not matter and indexes past the last frame are
            ignored. An empty collection returns no frame (the batch is
            still decoded, so a broken stream still raises).
        copy: ``True`` gives every frame arrays of its own (see Returns).
        out: for ``"rgb"`` only, a writeable C-contiguous ``uint8`` array of
            shape ``(N, height, width, 3)`` (a reused buffer, the numpy view
            of a pinned tensor) that receives the selected frames in output
            order. N must be the number of frames selected; the shape is
            checked before decoding, N after, and a mismatch raises
            ``ValueError`` with ``out`` unchanged.

    Returns:
        The selected frames in output order, or ``out`` when it is given.
        Without ``copy``, the frames' arrays are writeable views of the
        library's memory, with no copy made: all the frames of one call
        share it, and it stays allocated, whole, for as long as any of their
        arrays (or any view of one) is alive. A host that keeps a few frames
        of a large batch should pass ``copy=True``, which gives arrays owned
        by Python and releases the library's memory before returning.

    Raises:
        DecodeError: the library refused the request.
        ValueError, TypeError: bad arguments (checked before the library is
            called, because it would report them only as a refusal), or an
            ``out`` whose N differs from the number of frames decoded.
    """
    request = RuntimeDecodeRequest()
    if output == "rgb":
        request.output_format = FORMAT_RGB
        request.output_width, request.output_height = checked_size(size)
        if out is not None:
            check_out(out, request.output_width, request.output_height)
    elif output == "yuv420":
        if size is not None:
            raise ValueError("size applies only to output='rgb'; YUV frames keep their decoded size")
        if out is not None:
            raise ValueError("out applies only to output='rgb'")
        request.output_format = FORMAT_YUV420
    else:
        raise ValueError(f"output must be 'rgb' or 'yuv420', not {output!r}")

    # The numpy views keep every packet's memory alive and in place until the
    # call returns; they are views, so packets are not copied on this side.
    views = _packet_views(packets)
    packet_array = (RuntimePacket * len(views))()
    for record, view in zip(packet_array, views):
        record.len = view.size
        record.data = view.ctypes.data
    request.packets = packet_array
    request.packet_count = len(views)

    selection = _checked_positions(positions)
    position_array = (ctypes.c_uint64 * len(selection))(*selection)
    request.selected_positions = position_array
    request.selected_position_count = len(selection)

    lib = library()
    # Made before the call, so that whatever interrupts this function (a
    # KeyboardInterrupt right after the call returns included) frees the
    # response with its owner; freeing a response the call never filled is
    # harmless.
    owner = _ResponseOwner(lib)
    reason = _send(lib, request, owner)
    if reason is not None:
        raise DecodeError(f"the library refused to decode the {len(views)} packets as {output}: {reason}")
    response = owner.response
    frames = [_frame(response.frames[i], request.output_format, owner) for i in range(response.frame_count)]
    if out is not None:
        return _copy_into(out, frames)
    if copy:
        return [_owned(frame) for frame in frames]
    return frames


def _send(lib: Library, request: RuntimeDecodeRequest, owner: _ResponseOwner) -> str | None:
    """Decodes a request into ``owner``'s response: None on success, else the reason."""
    files = optional_file_library()
    if files is None:
        if lib.decode_h264(ctypes.byref(request), owner.reference) == 0:
            return None
        return f"no reason is available without the file layer ({FILE_SONAME})"
    # The file layer keeps what the library logs on this thread during the call.
    status = files.decode_h264(ctypes.byref(lib.functions), ctypes.byref(request), owner.reference)
    reason = None if status == 0 else files.error()
    _logs.drain(files)
    return reason


class _ResponseOwner:
    """One library response, freed when the last array that views it is gone.

    Every array handed out has, at the end of its ``base`` chain, a
    ``_BufferView`` that refers to this owner, so numpy's reference counting
    decides when the library's memory goes back, on whatever thread drops
    the last array.
    """

    __slots__ = ("response", "reference", "_free")

    def __init__(self, lib) -> None:
        self.response = RuntimeDecodeResponse()
        # Kept ready, as module globals may already be gone when the last
        # array dies at interpreter exit.
        self.reference = ctypes.byref(self.response)
        self._free = lib.free_response

    def __del__(self) -> None:
        self._free(self.reference)


class _BufferView:
    """Exposes one library buffer to numpy, keeping its response alive."""

    __slots__ = ("__array_interface__", "_owner")

    def __init__(self, address: int, shape: tuple[int, ...], owner: _ResponseOwner) -> None:
        self.__array_interface__ = {"version": 3, "shape": shape, "typestr": "|u1", "data": (address, False)}
        self._owner = owner


def _copy_into(out: np.ndarray, frames: list[Frame]) -> np.ndarray:
    if len(frames) != out.shape[0]:
        raise ValueError(f"out holds {out.shape[0]} frames but {len(frames)} were decoded; out is unchanged")
    for frame in frames:
        if frame.rgb.shape != out.shape[1:]:
            raise RuntimeError(f"the library returned a frame of shape {frame.rgb.shape} for {out.shape[1:]}")
    frame_bytes = out[0].nbytes if len(out) else 0
    for index, frame in enumerate(frames):
        # ctypes releases the GIL for the copy, numpy's assignment would not.
        ctypes.memmove(out.ctypes.data + index * frame_bytes, frame.rgb.ctypes.data, frame_bytes)
    return out


def _packet_views(packets: Iterable[BytesLike]) -> list[np.ndarray]:
    if isinstance(packets, (bytes, bytearray, memoryview, str)):
        raise TypeError(
            "packets must be a sequence of packets, not one bytes object; "
            "split an Annex B stream with split_annexb()"
        )
    views = []
    for index, packet in enumerate(packets):
        try:
            view = np.frombuffer(packet, dtype=np.uint8)
        except (TypeError, ValueError, BufferError) as error:
            raise TypeError(
                f"packet {index} is not a contiguous bytes-like object ({type(packet).__name__}): {error}"
            ) from None
        # The library takes an empty packet as end-of-stream and then refuses
        # both later packets and its own closing end-of-stream signal, so
        # passing one on could only turn the whole batch into a DecodeError.
        if view.size:
            views.append(view)
    return views


def _checked_positions(positions: Iterable[int] | None) -> list[int]:
    if positions is None:
        return []
    if isinstance(positions, (str, bytes)):
        raise TypeError("positions must be a collection of integers")
    selection = []
    for position in positions:
        value = operator.index(position)
        if not 0 <= value < _UINT64_LIMIT:
            raise ValueError(f"positions must be between 0 and {_UINT64_LIMIT - 1}, not {value}")
        selection.append(value)
    # The library reads an empty selection as "every frame".
    return selection or [_NO_POSITION]


def _frame(record: RuntimeFrame, requested_format: int, owner: _ResponseOwner) -> Frame:
    views = [_view(address, shape, owner) for address, shape in frame_planes(record, requested_format)]
    return RgbFrame(*views) if requested_format == FORMAT_RGB else Yuv420Frame(*views)


def _view(address: int, shape: tuple[int, ...], owner: _ResponseOwner) -> np.ndarray:
    if not int(np.prod(shape)):
        return np.empty(shape, dtype=np.uint8)
    return np.asarray(_BufferView(address, shape, owner))


def _owned(frame: Frame) -> Frame:
    if isinstance(frame, RgbFrame):
        return RgbFrame(rgb=frame.rgb.copy())
    return Yuv420Frame(y=frame.y.copy(), uv=frame.uv.copy())
