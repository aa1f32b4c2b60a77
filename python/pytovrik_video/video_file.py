"""Frame-accurate access to the H.264 track of a video file."""

from __future__ import annotations

import mmap
import operator
import os
import threading
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Literal, Optional, Union

import numpy as np

from ._decode import DecodeError, _check_out, decode_h264
from .annexb import _nal_units

_START_CODE = b"\x00\x00\x00\x01"
_NAL_IDR_SLICE = 5
_NAL_SPS = 7
_NAL_PPS = 8
_SLICE_TYPES = frozenset(range(1, 6))
# Used when neither the container nor the stream states a frame rate; it is
# also what FFmpeg's raw H.264 reader assumes.
_DEFAULT_FPS = Fraction(25)


@dataclass(frozen=True, eq=False)
class FrameBatch:
    """Frames of a ``VideoFile`` in the order they were asked for, duplicates kept."""

    indices: np.ndarray
    """The asked frame indices, int64, shape (N,)."""
    pts_seconds: np.ndarray
    """Each frame's presentation time in seconds, float64, shape (N,)."""
    data: Optional[np.ndarray] = None
    """RGB frames, shape (N, height, width, 3), uint8 (``output="rgb"``)."""
    y: Optional[np.ndarray] = None
    """Luma, shape (N, height, width), uint8 (``output="yuv420"``)."""
    uv: Optional[np.ndarray] = None
    """Chroma, shape (N, ceil(height / 2), ceil(width / 2), 2), uint8, Cb then
    Cr (``output="yuv420"``)."""

    def __len__(self) -> int:
        return len(self.indices)


@dataclass(eq=False)
class _Packet:
    # Either where the packet's bytes lie in the file, or the bytes themselves
    # when the container does not store them in one piece (Matroska, MPEG-TS).
    offset: int
    size: int
    data: Optional[bytes]
    pts: Optional[int]
    is_picture: bool
    # A non-reference picture that no other picture predicts from, carrying
    # no parameter sets: it can be left out unless it is asked for.
    droppable: bool


@dataclass(eq=False)
class _Group:
    """Packets from an IDR picture up to the next one, in decode order."""

    first_packet: int
    end_packet: int
    first_frame: int
    frame_count: int
    # Every SPS and PPS seen before the group, so that it decodes on a
    # decoder that never saw them, whatever the IDR picture itself carries.
    parameter_sets: bytes
    # Global packet index of each frame in presentation order; None when the
    # packets carry no timestamps and only the group's frame count is known.
    presentation: Optional[list[int]] = field(default=None)


class VideoFile:
    """The H.264 track of a video file, indexed once for frame-accurate access.

    Opens MP4/MOV, Matroska, MPEG-TS or a raw Annex B stream. The container is
    read once with PyAV (packets, timestamps, parameter sets); decoding goes
    through this package's library. Frame ``i`` is the ``i``-th frame in
    presentation order over the whole file: each group of pictures (an IDR
    picture up to the next one) in timestamp order, groups in file order.

    - Pictures before the file's first IDR picture cannot be decoded from a
      clean start and are not part of the file's frames.
    - A key frame that is not an IDR picture (an open group of pictures) does
      not start a group: its leading pictures may refer to the group before.
    - A raw Annex B stream has no timestamps: its frames are taken at a
      constant rate (the stream's timing information, else 25 fps), and
      every request decodes the whole group that holds a frame.

    The object may be shared by threads and survives ``fork``: it keeps the
    file mapped and no demuxer open.
    """

    def __init__(self, path: Union[str, os.PathLike]) -> None:
        self.path = Path(path)
        self._map: Optional[mmap.mmap] = None
        with open(self.path, "rb") as file:
            if os.fstat(file.fileno()).st_size:
                self._map = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        self._index()

    # --- the index ---------------------------------------------------------

    def _index(self) -> None:
        import av  # only needed here, and heavy to import

        try:
            container = av.open(str(self.path))
        except av.AVError as error:
            raise ValueError(f"{self.path}: not a video file PyAV can read: {error}") from None
        with container:
            if not container.streams.video:
                raise ValueError(f"{self.path}: no video track")
            stream = container.streams.video[0]
            if stream.codec_context.name != "h264":
                raise ValueError(f"{self.path}: the video track is {stream.codec_context.name}, not H.264")
            self.width = int(stream.codec_context.width)
            self.height = int(stream.codec_context.height)
            self._time_base = stream.time_base
            rate = stream.average_rate or stream.guessed_rate
            extradata = stream.codec_context.extradata or b""
            self._length_size = (extradata[4] & 3) + 1 if extradata[:1] == b"\x01" else 0
            parameter_sets: dict[bytes, None] = dict.fromkeys(_avcc_parameter_sets(extradata))
            packets: list[_Packet] = []
            group_starts: list[tuple[int, bytes]] = []
            last_end = None
            for packet in container.demux(stream):
                if packet.size == 0:
                    continue
                data = bytes(packet)
                units = list(self._units(data))
                starts_group = any(kind == _NAL_IDR_SLICE for kind, _ in units)
                if not group_starts and not starts_group:
                    continue
                if starts_group:
                    group_starts.append((len(packets), b"".join(parameter_sets)))
                slices = [ref_idc for kind, ref_idc in units if kind in _SLICE_TYPES]
                carries_sets = False
                for kind, unit in self._parameter_set_units(data, units):
                    carries_sets = True
                    parameter_sets.pop(unit, None)  # the latest one of an id wins: keep it last
                    parameter_sets[unit] = None
                offset = -1
                if self._map is not None and packet.pos is not None and packet.pos >= 0:
                    if self._map[packet.pos : packet.pos + len(data)] == data:
                        offset = packet.pos
                end = None if packet.pts is None else packet.pts + (packet.duration or 0)
                if end is not None:
                    last_end = end if last_end is None else max(last_end, end)
                packets.append(
                    _Packet(
                        offset=offset,
                        size=len(data),
                        data=None if offset >= 0 else data,
                        pts=packet.pts,
                        is_picture=bool(slices),
                        droppable=bool(slices) and not any(slices) and not carries_sets,
                    )
                )
        if not group_starts:
            raise ValueError(f"{self.path}: no IDR picture, so no frame can be decoded")
        self._packets = packets
        self.fps = float(rate) if rate else float(_DEFAULT_FPS)
        timed = all(p.pts is not None for p in packets)
        self._groups: list[_Group] = []
        frame_packets: list[int] = []
        frame_count = 0
        for number, (first, sets) in enumerate(group_starts):
            end = group_starts[number + 1][0] if number + 1 < len(group_starts) else len(packets)
            pictures = [i for i in range(first, end) if packets[i].is_picture]
            group = _Group(first, end, frame_count, len(pictures), sets)
            frame_count += len(pictures)
            if timed:
                # Ties (coarse time bases) fall back to decode order.
                group.presentation = sorted(pictures, key=lambda i: (packets[i].pts, i))
                frame_packets.extend(group.presentation)
            self._groups.append(group)
        self._frame_count = frame_count
        self._group_firsts = np.array([g.first_frame for g in self._groups], dtype=np.int64)
        if timed:
            pts = np.array([packets[i].pts for i in frame_packets], dtype=np.float64)
            self._pts_seconds = pts * float(self._time_base)
            start = self._pts_seconds.min() if len(pts) else 0.0
            self.duration_seconds = float(last_end * self._time_base) - float(start) if len(pts) else 0.0
        else:
            self._pts_seconds = np.arange(self._frame_count, dtype=np.float64) / self.fps
            self.duration_seconds = self._frame_count / self.fps

    def _units(self, data: bytes) -> Iterable[tuple[int, int]]:
        """(nal_unit_type, nal_ref_idc) of each NAL unit of a packet."""
        for header, _end in self._unit_spans(data):
            yield data[header] & 0x1F, (data[header] >> 5) & 3

    def _unit_spans(self, data: bytes) -> Iterable[tuple[int, int]]:
        if not self._length_size:
            starts = list(_nal_units(data))
            for number, (_start, header, _kind) in enumerate(starts):
                end = starts[number + 1][0] if number + 1 < len(starts) else len(data)
                yield header, end
            return
        pos = 0
        while pos + self._length_size <= len(data):
            size = int.from_bytes(data[pos : pos + self._length_size], "big")
            header = pos + self._length_size
            if size == 0 or header + size > len(data):
                break  # a damaged packet: the decoder will say so
            yield header, header + size
            pos = header + size

    def _parameter_set_units(self, data: bytes, units: list[tuple[int, int]]) -> Iterable[tuple[int, bytes]]:
        if not any(kind in (_NAL_SPS, _NAL_PPS) for kind, _ in units):
            return
        for header, end in self._unit_spans(data):
            kind = data[header] & 0x1F
            if kind in (_NAL_SPS, _NAL_PPS):
                yield kind, _START_CODE + data[header:end].rstrip(b"\x00")

    # --- access ------------------------------------------------------------

    def __len__(self) -> int:
        return self._frame_count

    def __repr__(self) -> str:
        return f"VideoFile({str(self.path)!r}: {len(self)} frames, {self.width}x{self.height}, {self.fps:g} fps)"

    def get_frames(
        self,
        indices: Iterable[int],
        output: Literal["rgb", "yuv420"] = "rgb",
        size: Optional[tuple[int, int]] = None,
        out: Optional[np.ndarray] = None,
    ) -> FrameBatch:
        """Decode the frames at ``indices`` (in any order, duplicates allowed).

        Only the groups of pictures holding an asked frame are decoded, and
        within each only the pictures the asked frames need: nothing after the
        last one in decode order, and no unasked picture that nothing refers to.

        Args:
            indices: frame indices from 0 to ``len(self) - 1``.
            output: ``"rgb"`` fills ``FrameBatch.data``; ``"yuv420"`` fills
                ``.y`` and ``.uv`` at the decoded size (all asked frames must
                then have the same size, or ``ValueError`` is raised).
            size: ``(width, height)`` of RGB frames; the track's size when
                omitted. Not accepted with ``"yuv420"``.
            out: for RGB, a C-contiguous uint8 array of shape
                ``(N, height, width, 3)`` to write the frames into; it becomes
                ``FrameBatch.data``.

        Raises:
            IndexError: an index is out of range (it is named).
            DecodeError: a group could not be decoded, or decoded to another
                number of pictures than the index expects; the message names
                the file and the frames concerned.
        """
        wanted = self._checked_indices(indices)
        if output == "rgb":
            width, height = (self.width, self.height) if size is None else size
            shape = (len(wanted), int(height), int(width), 3)
            if out is None:
                data = np.empty(shape, dtype=np.uint8)
            else:
                _check_out(out, shape[2], shape[1], frames=shape[0])
                data = out
            planes: list[np.ndarray] = [data]
            decode_size: Optional[tuple[int, int]] = (shape[2], shape[1])
        elif output == "yuv420":
            if size is not None or out is not None:
                raise ValueError("size and out apply only to output='rgb'; YUV frames keep their decoded size")
            planes, decode_size = [], None
        else:
            raise ValueError(f"output must be 'rgb' or 'yuv420', not {output!r}")

        slots_by_group: dict[int, dict[int, list[int]]] = {}
        groups = np.searchsorted(self._group_firsts, wanted, side="right") - 1
        for slot, (frame, group) in enumerate(zip(wanted.tolist(), groups.tolist())):
            slots_by_group.setdefault(group, {}).setdefault(frame, []).append(slot)

        yuv: list[Optional[tuple[np.ndarray, np.ndarray]]] = [None] * len(wanted)

        def decode_group(group: int) -> None:
            for slots, frame in self._decode_group(group, slots_by_group[group], output, decode_size):
                for slot in slots:
                    if planes:
                        planes[0][slot] = frame.rgb
                    else:
                        yuv[slot] = (frame.y, frame.uv)

        _run(decode_group, sorted(slots_by_group))
        pts = self._pts_seconds[wanted] if len(wanted) else np.empty(0, dtype=np.float64)
        if planes:
            return FrameBatch(indices=wanted, pts_seconds=pts, data=planes[0])
        return FrameBatch(indices=wanted, pts_seconds=pts, **_stacked_yuv(yuv, self.path))

    def _checked_indices(self, indices: Iterable[int]) -> np.ndarray:
        if isinstance(indices, (str, bytes)):
            raise TypeError("indices must be a collection of integers")
        values = [operator.index(i) for i in indices]
        for value in values:
            if not 0 <= value < self._frame_count:
                raise IndexError(f"frame index {value} is out of range: {self.path} has {self._frame_count} frames")
        return np.array(values, dtype=np.int64)

    def _decode_group(
        self,
        number: int,
        asked: dict[int, list[int]],
        output: str,
        size: Optional[tuple[int, int]],
    ) -> list[tuple[list[int], object]]:
        """Decode what one group's asked frames need; (slots, frame) pairs."""
        group = self._groups[number]
        if group.presentation is None:
            sent = list(range(group.first_packet, group.end_packet))
            positions = {frame: frame - group.first_frame for frame in asked}
            expected = group.frame_count
        else:
            packet_of = {frame: group.presentation[frame - group.first_frame] for frame in asked}
            needed = set(packet_of.values())
            last = max(needed)
            sent = [i for i in range(group.first_packet, last + 1) if not self._packets[i].droppable or i in needed]
            # The decoder returns the pictures it is sent in presentation order.
            order = sorted((i for i in sent if self._packets[i].is_picture), key=lambda i: (self._packets[i].pts, i))
            rank = {packet: position for position, packet in enumerate(order)}
            positions = {frame: rank[packet] for frame, packet in packet_of.items()}
            expected = len(order)
        # Asking for the last expected picture and one more tells a count that
        # differs from the index, which would otherwise shift every frame.
        selected = sorted(set(positions.values()) | {expected - 1})
        first, last_frame = group.first_frame, group.first_frame + group.frame_count - 1
        try:
            frames = decode_h264(
                self._annexb_packets(group, sent), output=output, size=size, positions=selected + [expected]
            )
        except DecodeError as error:
            raise DecodeError(f"{self.path}: frames {first}-{last_frame} could not be decoded: {error}") from error
        if len(frames) != len(selected):
            raise DecodeError(
                f"{self.path}: frames {first}-{last_frame} decoded to "
                f"{'fewer' if len(frames) < len(selected) else 'more'} pictures than the {expected} the index "
                "expects; the frames are not returned, as they could not be matched to their indices"
            )
        by_position = dict(zip(selected, frames))
        return [(slots, by_position[positions[frame]]) for frame, slots in asked.items()]

    def _annexb_packets(self, group: _Group, sent: Sequence[int]) -> list[bytes]:
        packets = []
        for i in sent:
            packet = self._packets[i]
            data = packet.data
            if data is None:
                assert self._map is not None
                data = self._map[packet.offset : packet.offset + packet.size]
            if self._length_size:
                data = _length_prefixed_to_annexb(data, self._length_size)
            packets.append(data)
        packets[0] = group.parameter_sets + packets[0]
        return packets


def _avcc_parameter_sets(avcc: bytes) -> list[bytes]:
    """The SPS and PPS of an avcC record (MP4/Matroska extradata), as Annex B units."""
    if avcc[:1] != b"\x01":
        return []
    units, pos = [], 5
    for mask in (0x1F, 0xFF):  # the SPS count, then the PPS count
        if pos >= len(avcc):
            break
        count, pos = avcc[pos] & mask, pos + 1
        for _ in range(count):
            size = int.from_bytes(avcc[pos : pos + 2], "big")
            units.append(_START_CODE + avcc[pos + 2 : pos + 2 + size])
            pos += 2 + size
    return units


def _length_prefixed_to_annexb(data: bytes, length_size: int) -> bytes:
    if length_size == 4:
        # Same length as a start code: overwrite the prefixes in one copy.
        annexb = bytearray(data)
        pos = 0
        while pos + 4 <= len(annexb):
            size = int.from_bytes(annexb[pos : pos + 4], "big")
            annexb[pos : pos + 4] = _START_CODE
            pos += 4 + size
        return bytes(annexb)
    units, pos = [], 0
    while pos + length_size <= len(data):
        size = int.from_bytes(data[pos : pos + length_size], "big")
        units.append(_START_CODE + data[pos + length_size : pos + length_size + size])
        pos += length_size + size
    return b"".join(units)


def _stacked_yuv(yuv: list, path: Path) -> dict[str, np.ndarray]:
    if not yuv:
        return {"y": np.empty((0, 0, 0), np.uint8), "uv": np.empty((0, 0, 0, 2), np.uint8)}
    sizes = {y.shape for y, _ in yuv}
    if len(sizes) > 1:
        raise ValueError(
            f"{path}: the asked frames have different sizes {sorted(sizes)} (height, width) and cannot be "
            "stacked; ask for them separately, or as output='rgb' at one size"
        )
    return {"y": np.stack([y for y, _ in yuv]), "uv": np.stack([uv for _, uv in yuv])}


# One pool for every file, so that its threads, and the decoder the library
# keeps on each of them, are reused across requests. A forked child inherits
# the pool without its threads, so it makes its own.
_pool_lock = threading.Lock()
_pool: Optional[tuple[int, ThreadPoolExecutor]] = None


def _run(work, items: list[int]) -> None:
    global _pool
    if len(items) <= 1:
        for item in items:
            work(item)
        return
    with _pool_lock:
        if _pool is None or _pool[0] != os.getpid():
            _pool = (os.getpid(), ThreadPoolExecutor(max_workers=os.cpu_count() or 2, thread_name_prefix="pytovrik"))
        pool = _pool[1]
    for future in [pool.submit(work, item) for item in items]:
        future.result()
