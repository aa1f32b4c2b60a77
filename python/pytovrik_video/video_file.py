"""Frame-accurate access to the H.264 track of a video file, through the file layer."""

from __future__ import annotations

import ctypes
import functools
import numbers
import operator
import os
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Any, BinaryIO, Literal, Optional, Union

import numpy as np

from . import _logs
from ._frame_buffers import check_out, checked_size, frame_planes
from ._jobs import JobRun
from ._library import FileLibrary, Library, file_library, library
from ._records import (
    FORMAT_RGB,
    FORMAT_YUV420,
    PytovrikVideoFileInfo,
    PytovrikVideoTrackInfo,
    RuntimeDecodeRequest,
    RuntimeDecodeResponse,
)
from ._sources import Source, source_of, with_reader_failure
from .errors import DecodeError, OutOfRangeError, SourceError, file_layer_error

_U64_ARRAY = ctypes.POINTER(ctypes.c_uint64)
# bytes, bytearray, memoryview, a numpy array, a torch.uint8 tensor: any
# object exporting one contiguous buffer.
Buffer = Any


@dataclass(frozen=True)
class VideoMetadata:
    """What the file layer found when it opened a file; read once, at open."""

    frame_count: int
    """Frames a player shows: edit lists applied, a field pair counted once."""
    frame_rate: Fraction
    """The container's average frame rate, else 25/1."""
    duration_seconds: float
    """From the first frame's start to the last one's end."""
    width: int
    """Of the first frame as a player shows it: after cropping and the display
    matrix's turn (``stored_width`` is before the turn). Later frames may
    differ (a resolution change)."""
    height: int
    container: str
    """libavformat's name of the format, such as ``"mov,mp4,m4a,3gp,3g2,mj2"``."""
    bytes_read_at_open: int
    """Bytes of the file read to index it (0 from ``VideoFile.probe``)."""
    index_bytes: int
    """Memory the index keeps (0 from ``VideoFile.probe``)."""
    codec: str = "h264"
    """libavcodec's name of the video codec: ``"h264"``, or from ``probe`` another (``"hevc"``, ``"vp9"``)."""
    start_seconds: float = 0.0
    """When the first frame is shown: its presentation time. An MPEG-TS file's
    frames often start well after 0 (``get_frames_at`` takes times from here)."""
    end_seconds: float = 0.0
    """When the last frame ends: ``start_seconds + duration_seconds``."""
    stored_width: int = 0
    """The size of the pictures as stored, before the display matrix's turn."""
    stored_height: int = 0
    rotation: int = 0
    """Degrees clockwise a player turns the stored pictures (0, 90, 180, 270),
    from the container's display matrix (an MP4 tkhd matrix, libavformat's
    display matrix side data), after mirroring them when ``mirrored``."""
    mirrored: bool = False
    """The display matrix mirrors the pictures left to right (before turning them)."""
    key_frame_indices: Optional[np.ndarray] = field(default=None, compare=False)
    """int64, ascending: the frames where decoding starts cleanly (each
    random access point's first clean picture). For an MP4 file, from its
    key samples until a group is first read. None from ``probe``."""

    @property
    def fps(self) -> float:
        return float(self.frame_rate)


@dataclass(frozen=True, eq=False)
class FrameBatch:
    """Frames of a ``VideoFile`` in the order they were asked for, duplicates kept."""

    indices: np.ndarray
    """The frame indices, int64, shape (N,)."""
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


class VideoFile:
    """The H.264 track of a video file, indexed at open for frame-accurate access.

    Any container libavformat reads: MP4/MOV, Matroska, MPEG-TS, AVI, FLV, a
    raw Annex B stream. The file layer (``libpytovrik_video_file.so.1``)
    indexes the track and plans the decode requests; the decoding library
    decodes them. Frame ``i`` is the ``i``-th frame a player shows: edit
    lists applied, a field pair counted once, and a file's first pictures
    that no decoder shows cleanly not counted, as ffmpeg counts them.

    Requests decode on the calling thread and, when they need several
    decoder starts, on pool threads that end after a second without work
    (see ``pytovrik_video._jobs``). The library keeps one idle decoder per
    thread that decoded: once idle, a process holds one for each of its own
    threads that asked for frames, and none for the pool.

    The source is a path; or bytes, a bytearray, a memoryview or any object
    exporting one contiguous buffer (a numpy array, a ``torch.uint8``
    tensor), read in place and kept alive while the file is open; or a
    seekable binary file-like object (an open file, a ``tarfile`` member,
    ``io.BytesIO``, a remote file of a filesystem library), read through
    ``readinto`` or ``read`` after a seek, once per stretch of bytes a
    request needs. Opening reads only the container's index where it has
    one (MP4), and requests only the groups their frames need. A pipe or
    socket raises ``SourceError`` (a ``ValueError``): the source must be
    seekable. What a file-like object raises while read ends the call with
    a ``SourceError`` (at open) or ``DecodeError`` (a request) caused by it.

    The object may be shared by threads and is inherited by forked workers
    (a file-like object other than an open file, such as a member of a tar
    opened before the fork, moves one seek position for all of them: open it
    in each worker). It pickles (for spawned workers) as its path, as the bytes of its
    buffer, or as its file-like object when that pickles (else
    ``TypeError``); the copy opens the source again.
    ``close()`` (or leaving a ``with`` block) releases the file at once;
    otherwise it is released with the object.
    """

    def __init__(
        self,
        source: Union[str, os.PathLike, Buffer, BinaryIO],
        *,
        rotation: Literal["display", "stored"] = "display",
        threads: Optional[int] = None,
    ) -> None:
        """Open and index ``source``: a path, a buffer or a seekable binary file-like object.

        Args:
            rotation: ``"display"`` turns frames as a player shows them,
                following the container's display matrix (width and height
                swapped for 90 and 270 degrees, the same pixels as ffmpeg's
                autorotation); ``"stored"`` returns them as stored.
            threads: how many threads decode a request's groups at once;
                by default the CPUs this process may use (see
                ``pytovrik_video._jobs.group_threads``).

        Raises:
            OSError: the file cannot be opened.
            TypeError: the source is none of those kinds.
            ValueError: a file-like object cannot seek (``SourceError`` is one
                too); a buffer is not contiguous.
            UnsupportedCodecError: its video track is not H.264 (the message
                and ``.codec`` name the codec).
            SourceError: it cannot be indexed (the file layer's reason; what
                a file-like object raised while read is its cause).
        """
        if rotation not in ("display", "stored"):
            raise ValueError(f"rotation must be 'display' or 'stored', not {rotation!r}")
        if threads is not None and operator.index(threads) < 1:
            raise ValueError(f"threads must be at least 1, not {threads!r}")
        self._source = source_of(source)
        self.path: Optional[Path] = self._source.path
        """The path opened; None for a buffer or file-like source."""
        self.name = self._source.name
        """What messages call the source: its path, or a name for a buffer or file-like one."""
        self.threads = threads
        self._rotation = rotation
        files, decoder = file_library(), library()
        handle = ctypes.c_void_p()
        opened = self._source.open(files, decoder.functions, handle)
        error = with_reader_failure(file_layer_error(files, SourceError)) if opened != 0 else None
        _logs.drain(files)
        if error is not None:
            raise error
        self._file = _OpenFile(files, handle.value, self._source)
        info = PytovrikVideoFileInfo()
        files.info(handle, ctypes.byref(info))
        track = PytovrikVideoTrackInfo()
        files.track_info(handle, ctypes.byref(track))
        keys = np.empty(int(files.key_frames(handle, None, 0)), dtype=np.uint64)
        files.key_frames(handle, keys.ctypes.data_as(_U64_ARRAY), len(keys))
        self.metadata = _metadata(
            track,
            duration_seconds=float(info.duration_seconds),
            bytes_read_at_open=int(info.bytes_read_at_open),
            index_bytes=int(info.index_bytes),
            key_frame_indices=keys.astype(np.int64),
        )
        turns = rotation == "display"
        self._turn = _Turn(self.metadata.rotation if turns else 0, self.metadata.mirrored if turns else False)

    @staticmethod
    def probe(path: Union[str, os.PathLike]) -> VideoMetadata:
        """The metadata of a file's video track, whatever its codec, without indexing its frames.

        Read by libavformat from the container's headers and first packets:
        cheap enough to sort a dataset before opening its files. The first
        H.264 video track, else the first video track. ``frame_count`` is
        what the container states (0 when it states nothing),
        ``key_frame_indices`` is None.

        Raises:
            OSError: the file cannot be opened.
            SourceError: libavformat cannot read it, or it has no video track.
        """
        path = Path(path)
        with open(path, "rb"):
            pass
        files = file_library()
        track = PytovrikVideoTrackInfo()
        probed = files.probe(os.fsencode(path), ctypes.byref(track))
        error = file_layer_error(files, SourceError) if probed != 0 else None
        _logs.drain(files)
        if error is not None:
            raise error
        return _metadata(track, duration_seconds=max(0.0, track.end_seconds - track.start_seconds))

    def __reduce__(self) -> tuple:
        # A path opens again in the child, a buffer goes as its bytes, a
        # file-like object as itself when it pickles (else TypeError); with
        # the same rotation and threads.
        return (functools.partial(type(self), rotation=self._rotation, threads=self.threads), self._source.pickled())

    @property
    def fps(self) -> float:
        return self.metadata.fps

    @property
    def duration_seconds(self) -> float:
        return self.metadata.duration_seconds

    @property
    def width(self) -> int:
        """Of the frames this object returns by default: as shown, or as stored with ``rotation="stored"``."""
        return self.metadata.stored_height if self._turn.turns_size() else self.metadata.stored_width

    @property
    def height(self) -> int:
        return self.metadata.stored_width if self._turn.turns_size() else self.metadata.stored_height

    def __len__(self) -> int:
        return self.metadata.frame_count

    def __getitem__(self, key: Union[int, slice]) -> Union[np.ndarray, FrameBatch]:
        """``video[i]``: frame ``i`` as an RGB array (height, width, 3); ``video[a:b:c]``: a
        ``FrameBatch`` of those frames. Negative indices count from the end, as in Python."""
        if isinstance(key, slice):
            return self.get_frames(range(*key.indices(len(self))))
        index = operator.index(key)
        if not -len(self) <= index < len(self):
            raise OutOfRangeError(f"frame index {index} is out of range: {self.name} has {len(self)} frames")
        data = self.get_frames([index % len(self)]).data
        assert data is not None
        return data[0]

    def __iter__(self) -> Iterator[np.ndarray]:
        """Every frame in order as an RGB array, each group of pictures decoded once."""
        for batch in self.iter_frames():
            assert batch.data is not None
            yield from batch.data

    def iter_frames(
        self,
        batch_size: int = 16,
        size: Optional[tuple[int, int]] = None,
        output: Literal["rgb", "yuv420"] = "rgb",
    ) -> Iterator[FrameBatch]:
        """Every frame in order, in batches of ``batch_size`` (the last may be shorter).

        Each group of pictures (from one key frame to the next) is decoded
        once, in one request, and at most one group's frames and one batch
        are held at a time. ``size`` and ``output`` are those of
        ``get_frames``.
        """
        if operator.index(batch_size) < 1:
            raise ValueError(f"batch_size must be at least 1, not {batch_size!r}")
        keys = self.metadata.key_frame_indices
        starts = sorted({0, *(() if keys is None else keys.tolist())})
        ends = starts[1:] + [len(self)]
        filling: Optional[_BatchFiller] = None
        for start, end in zip(starts, ends):
            if start >= end:
                continue
            group = self.get_frames(range(start, end), output=output, size=size)
            taken = 0
            while taken < len(group):
                if filling is None:
                    filling = _BatchFiller(group, min(batch_size, len(self) - start - taken), self.name)
                taken += filling.take(group, taken)
                if filling.full():
                    yield filling.batch()
                    filling = None
            del group  # let go before the next group is decoded

    def __repr__(self) -> str:
        return f"VideoFile({self.name!r}: {len(self)} frames, {self.width}x{self.height}, {self.fps:g} fps)"

    def close(self) -> None:
        """Releases the file and its index; requests still running finish first."""
        self._file.close()

    def __enter__(self) -> VideoFile:
        return self

    def __exit__(self, *exception) -> None:
        self.close()

    def get_frames(
        self,
        indices: Iterable[int],
        output: Literal["rgb", "yuv420"] = "rgb",
        size: Optional[tuple[int, int]] = None,
        out: Optional[np.ndarray] = None,
    ) -> FrameBatch:
        """Decode the frames at ``indices`` (in any order, duplicates allowed).

        Only the groups of pictures that hold asked frames are read and
        decoded, each from the random access point before its frames, and
        within each only what the asked frames need.

        Args:
            indices: frame indices from 0 to ``len(self) - 1``.
            output: ``"rgb"`` fills ``FrameBatch.data``; ``"yuv420"`` fills
                ``.y`` and ``.uv`` at the decoded size (all asked frames must
                then have the same size, or ``ValueError`` is raised).
            size: ``(width, height)`` of RGB frames; the first frame's size
                when omitted. Not accepted with ``"yuv420"``.
            out: for RGB, a writeable C-contiguous uint8 array of shape
                ``(N, height, width, 3)`` to write the frames into; it becomes
                ``FrameBatch.data``.

        Raises:
            OutOfRangeError: an index is out of range (it is named); an IndexError.
            DecodeError: frames could not be decoded, or decoded to another
                number of pictures than the index expects (they are then not
                returned: no frame is matched to a wrong index). The message
                names the file, the frames and the decoder's reason.
        """
        wanted = self._checked_indices(indices)
        turn = self._turn
        decode_size, decode_out = size, out
        if output == "rgb" and not turn.identity():
            # libswscale scales the stored picture; the turn comes after it,
            # so a size asked for the shown picture is swapped for 90 and 270.
            width, height = checked_size((self.width, self.height) if size is None else size)
            if out is not None:
                check_out(out, width, height, frames=len(wanted))
            decode_size, decode_out = ((height, width) if turn.turns_size() else (width, height)), None
        elif output == "rgb" and size is None:
            decode_size = (self.width, self.height)
        target = _Target(output, decode_size, decode_out, len(wanted))
        if len(wanted):
            try:
                self._decode(wanted, target)
            finally:
                _logs.drain(self._file.files)
        batch = target.batch(wanted, self._seconds(wanted))
        return batch if turn.identity() else turn.apply(self._file.files, batch, out)

    def get_frames_at(
        self,
        seconds: Iterable[float],
        output: Literal["rgb", "yuv420"] = "rgb",
        size: Optional[tuple[int, int]] = None,
        out: Optional[np.ndarray] = None,
    ) -> FrameBatch:
        """Decode the frames shown at the given times, as ``get_frames`` does.

        For each time, the frame whose ``[pts, next pts)`` holds it (the
        last frame lasting one frame duration). ``FrameBatch.indices`` gives
        the frames found, ``pts_seconds`` their own times.

        Raises:
            OutOfRangeError: no frame is shown at a time (it is named); an IndexError.
            DecodeError: as from ``get_frames``.
        """
        return self.get_frames(self.frames_at(seconds), output=output, size=size, out=out)

    def frames_at(self, seconds: Iterable[float]) -> np.ndarray:
        """The index of the frame shown at each time (int64), without decoding.

        Raises:
            OutOfRangeError: no frame is shown at a time (it is named); an IndexError.
        """
        times = _checked_times(seconds)
        frames = np.empty(len(times), dtype=np.int64)
        with self._file.use() as handle:
            self._file.files.frames_at(
                handle,
                times.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                len(times),
                frames.ctypes.data_as(ctypes.POINTER(ctypes.c_int64)),
            )
        missing = np.flatnonzero(frames < 0)
        if missing.size:
            raise OutOfRangeError(
                f"no frame of {self.name} is shown at {float(times[missing[0]])!r} s: its {len(self)} frames "
                f"span {self.duration_seconds:g} s from {self.metadata.start_seconds:g} s"
            )
        return frames

    # --- the work ----------------------------------------------------------

    def _checked_indices(self, indices: Iterable[int]) -> np.ndarray:
        if isinstance(indices, (str, bytes)):
            raise TypeError("indices must be a collection of integers")
        values = [operator.index(i) for i in indices]
        for value in values:
            if not 0 <= value < len(self):
                raise OutOfRangeError(f"frame index {value} is out of range: {self.name} has {len(self)} frames")
        return np.array(values, dtype=np.int64)

    def _seconds(self, frames: np.ndarray) -> np.ndarray:
        """The presentation times of ``frames``, one call per run of consecutive frames."""
        unique = np.unique(frames)
        seconds = np.empty(len(unique), dtype=np.float64)
        runs = np.split(np.arange(len(unique)), np.flatnonzero(np.diff(unique) != 1) + 1)
        with self._file.use() as handle:
            for run in runs:
                if run.size and (
                    self._file.files.frame_seconds(
                        handle,
                        int(unique[run[0]]),
                        run.size,
                        seconds[run[0] :].ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                    )
                    != 0
                ):
                    raise file_layer_error(self._file.files, OutOfRangeError)
        return seconds[np.searchsorted(unique, frames)]

    def _decode(self, wanted: np.ndarray, target: _Target) -> None:
        files, decoder = self._file.files, library()
        frames = wanted.astype(np.uint64)
        plan = ctypes.c_void_p()
        handle = self._file.acquire()

        def release() -> None:
            files.free_plan(plan)
            self._file.release()

        try:
            planned = files.plan(handle, frames.ctypes.data_as(_U64_ARRAY), len(frames), ctypes.byref(plan))
        except BaseException:
            release()
            raise
        if planned != 0:
            error = file_layer_error(files)
            release()
            raise with_reader_failure(error)
        jobs = JobRun(
            int(files.job_count(plan)),
            lambda job: _decode_job(files, decoder, plan, job, target),
            release,
            threads=self.threads,
        )
        jobs.run()
        target.check_sizes(self.name)


def _decode_job(files: FileLibrary, decoder: Library, plan: ctypes.c_void_p, job: int, target: _Target) -> None:
    """One job of a plan: prepare, decode, finish until it is done, then its frames into their slots."""
    count = files.job_slots(plan, job, None, 0)
    slots = (ctypes.c_uint64 * count)()
    files.job_slots(plan, job, slots, count)
    frame_of_slot = (ctypes.c_uint64 * count)()
    request = RuntimeDecodeRequest()
    while True:
        if files.prepare(plan, job, ctypes.byref(request)) != 0:
            raise with_reader_failure(file_layer_error(files))
        target.set_output(request)
        response = RuntimeDecodeResponse()
        try:
            # Straight to the library: the file layer keeps what it logs from
            # prepare to finish, which gives a failure its reason.
            status = decoder.decode_h264(ctypes.byref(request), ctypes.byref(response))
            verdict = files.finish(plan, job, status, ctypes.byref(response), frame_of_slot)
            if verdict < 0:
                raise file_layer_error(files)
            if verdict == 1:
                target.fill(slots, frame_of_slot, response)
                return
        finally:
            decoder.free_response(ctypes.byref(response))


class _Target:
    """Where a request's frames go: an RGB array, or luma and chroma arrays
    made at the size of the first frame that comes back."""

    def __init__(
        self,
        output: str,
        size: Optional[tuple[int, int]],
        out: Optional[np.ndarray],
        count: int,
    ) -> None:
        self.count = count
        self.data: Optional[np.ndarray] = None
        self.y: Optional[np.ndarray] = None
        self.uv: Optional[np.ndarray] = None
        self._lock = threading.Lock()
        self._other_sizes: set[tuple[int, ...]] = set()
        if output == "rgb":
            self.format = FORMAT_RGB
            self.width, self.height = checked_size(size)
            if out is None:
                self.data = np.empty((count, self.height, self.width, 3), dtype=np.uint8)
            else:
                check_out(out, self.width, self.height, frames=count)
                self.data = out
        elif output == "yuv420":
            if size is not None or out is not None:
                raise ValueError("size and out apply only to output='rgb'; YUV frames keep their decoded size")
            self.format, self.width, self.height = FORMAT_YUV420, 0, 0
        else:
            raise ValueError(f"output must be 'rgb' or 'yuv420', not {output!r}")

    def set_output(self, request: RuntimeDecodeRequest) -> None:
        request.output_format = self.format
        request.output_width, request.output_height = self.width, self.height

    def fill(self, slots, frame_of_slot, response: RuntimeDecodeResponse) -> None:
        for k, slot in enumerate(slots):
            index = frame_of_slot[k]
            if index >= response.frame_count:
                raise RuntimeError(f"the file layer matched a slot to frame {index} of {response.frame_count}")
            planes = frame_planes(response.frames[index], self.format)
            arrays = self._arrays([shape for _, shape in planes])
            # ctypes releases the GIL for the copies, numpy's assignment would not.
            for array, (address, shape) in zip(arrays, planes):
                size = array[0].nbytes
                ctypes.memmove(array.ctypes.data + slot * size, address, size)

    def _arrays(self, shapes: list[tuple[int, ...]]) -> list[np.ndarray]:
        if self.format == FORMAT_RGB:
            assert self.data is not None
            if tuple(shapes[0]) != self.data.shape[1:]:
                raise RuntimeError(f"the library returned a frame of shape {shapes[0]} for {self.data.shape[1:]}")
            return [self.data]
        with self._lock:
            if self.y is None:
                self.y = np.empty((self.count, *shapes[0]), dtype=np.uint8)
                self.uv = np.empty((self.count, *shapes[1]), dtype=np.uint8)
            if tuple(shapes[0]) != self.y.shape[1:]:
                self._other_sizes.add(tuple(shapes[0]))
                return []
            return [self.y, self.uv]

    def check_sizes(self, name: str) -> None:
        if self._other_sizes:
            assert self.y is not None
            sizes = sorted(self._other_sizes | {self.y.shape[1:]})
            raise ValueError(
                f"{name}: the asked frames have different sizes {sizes} (height, width) and cannot be "
                "stacked; ask for them separately, or as output='rgb' at one size"
            )

    def batch(self, indices: np.ndarray, seconds: np.ndarray) -> FrameBatch:
        if self.format == FORMAT_RGB:
            return FrameBatch(indices=indices, pts_seconds=seconds, data=self.data)
        if self.y is None:  # no frame asked
            return FrameBatch(indices, seconds, y=np.empty((0, 0, 0), np.uint8), uv=np.empty((0, 0, 0, 2), np.uint8))
        return FrameBatch(indices=indices, pts_seconds=seconds, y=self.y, uv=self.uv)


class _OpenFile:
    """The file layer's handle of one file: closed once closing was asked and
    no request uses it, since a plan must be freed before its file."""

    def __init__(self, files: FileLibrary, handle: int, source: Source) -> None:
        self.files = files
        self.source = source  # what the layer reads from, alive until it is closed
        self._handle: Optional[int] = handle
        self._users = 0
        self._closing = False
        self._lock = threading.Lock()

    def acquire(self) -> int:
        with self._lock:
            if self._closing or self._handle is None:
                raise ValueError("the VideoFile is closed")
            self._users += 1
            return self._handle

    def release(self) -> None:
        with self._lock:
            self._users -= 1
            handle = self._take_if_unused()
        if handle is not None:
            self.files.close(handle)

    @contextmanager
    def use(self) -> Iterator[int]:
        handle = self.acquire()
        try:
            yield handle
        finally:
            self.release()

    def close(self) -> None:
        with self._lock:
            self._closing = True
            handle = self._take_if_unused()
        if handle is not None:
            self.files.close(handle)

    def _take_if_unused(self) -> Optional[int]:
        if not self._closing or self._users or self._handle is None:
            return None
        handle, self._handle = self._handle, None
        return handle

    def __del__(self) -> None:
        # Nothing uses the handle any more: every user holds this object.
        if self._handle is not None:
            self.files.close(self._handle)
            self._handle = None


def _checked_times(seconds: Iterable[float]) -> np.ndarray:
    if isinstance(seconds, (str, bytes)):
        raise TypeError("seconds must be a collection of numbers")
    values = list(seconds)
    for value in values:
        if not isinstance(value, numbers.Real):
            raise TypeError(f"seconds must be a collection of numbers, not one holding {value!r}")
    return np.array(values, dtype=np.float64)


def _metadata(track: PytovrikVideoTrackInfo, **known) -> VideoMetadata:
    """VideoMetadata from the file layer's track record, and what else is ``known``."""
    rotation, stored = int(track.rotation), (int(track.stored_width), int(track.stored_height))
    shown = stored[::-1] if rotation in (90, 270) else stored
    return VideoMetadata(
        frame_count=int(track.frame_count),
        frame_rate=Fraction(track.frame_rate_num, track.frame_rate_den) if track.frame_rate_den > 0 else Fraction(0),
        width=shown[0],
        height=shown[1],
        container=track.container.decode("utf-8", "replace"),
        codec=track.codec.decode("utf-8", "replace"),
        start_seconds=float(track.start_seconds),
        end_seconds=float(track.end_seconds),
        stored_width=stored[0],
        stored_height=stored[1],
        rotation=rotation,
        mirrored=bool(track.mirrored),
        **{"bytes_read_at_open": 0, "index_bytes": 0, **known},
    )


@dataclass(frozen=True)
class _Turn:
    """The display matrix's turn, as ffmpeg's autorotation applies it: mirrored
    left to right first, then turned clockwise."""

    rotation: int
    mirrored: bool

    def identity(self) -> bool:
        return self.rotation == 0 and not self.mirrored

    def turns_size(self) -> bool:
        return self.rotation in (90, 270)

    def planes(self, files: FileLibrary, planes: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        """``planes`` (N, height, width[, element bytes]) turned, into ``out`` or a new array.

        The file layer moves the pixels, a tile at a time and without the GIL:
        numpy's copy of a turned view walks the source down its columns.
        """
        count, height, width = planes.shape[:3]
        element = planes.shape[3] if planes.ndim == 4 else 1
        shape = (count, *((width, height) if self.turns_size() else (height, width)), *planes.shape[3:])
        if out is None:
            out = np.empty(shape, dtype=np.uint8)
        source = np.ascontiguousarray(planes)
        files.turn_planes(source.ctypes.data, out.ctypes.data, count, width, height, element, self.rotation,
                          int(self.mirrored))
        return out

    def apply(self, files: FileLibrary, batch: FrameBatch, out: Optional[np.ndarray]) -> FrameBatch:
        if batch.data is not None:
            return FrameBatch(batch.indices, batch.pts_seconds, data=self.planes(files, batch.data, out))
        assert batch.y is not None and batch.uv is not None
        return FrameBatch(
            batch.indices, batch.pts_seconds, y=self.planes(files, batch.y), uv=self.planes(files, batch.uv)
        )


class _BatchFiller:
    """One batch of ``iter_frames``, filled from the groups as they are decoded."""

    def __init__(self, group: FrameBatch, count: int, name: str) -> None:
        self._name = name
        self._filled = 0
        self.indices = np.empty(count, dtype=np.int64)
        self.pts_seconds = np.empty(count, dtype=np.float64)
        self.planes = {
            name: np.empty((count, *array.shape[1:]), dtype=np.uint8)
            for name in ("data", "y", "uv")
            if (array := getattr(group, name)) is not None
        }

    def take(self, group: FrameBatch, first: int) -> int:
        """Copies frames of ``group`` from ``first`` on while there is room; returns how many."""
        count = min(len(self.indices) - self._filled, len(group) - first)
        into, source = slice(self._filled, self._filled + count), slice(first, first + count)
        for name, planes in self.planes.items():
            frames = getattr(group, name)[source]
            if frames.shape[1:] != planes.shape[1:]:
                raise ValueError(
                    f"{self._name}: frame {int(group.indices[first])} is {frames.shape[1:3]} (height, width) where "
                    f"the batch's frames are {planes.shape[1:3]}; iterate over it as output='rgb' at one size"
                )
            planes[into] = frames
        self.indices[into] = group.indices[source]
        self.pts_seconds[into] = group.pts_seconds[source]
        self._filled += count
        return count

    def full(self) -> bool:
        return self._filled == len(self.indices)

    def batch(self) -> FrameBatch:
        return FrameBatch(indices=self.indices, pts_seconds=self.pts_seconds, **self.planes)
