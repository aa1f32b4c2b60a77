"""What a ``VideoFile`` reads: a path, a buffer read in place, or a seekable file-like object.

The file layer reads every source the same way (``pytovrik_video_file_open``,
``_open_memory``, ``_open_reader`` in ``include/pytovrik_video_file.h``), so a
container indexes and reads back alike from each. A file-like object is read
through Python: the layer calls back, under the GIL, once per stretch of bytes
a request needs (decoding itself runs with the GIL released). Callbacks come
on whichever thread asked for frames, so reads of one object are serialised
by a lock of their own; its seek position is the reader's, not the caller's.
A file opened with ``open(path, "rb")`` is read with ``os.preadv`` on its
descriptor instead: no seek position at all, which forked workers sharing
the descriptor would otherwise move under each other.
"""

from __future__ import annotations

import ctypes
import io
import os
import pickle
import threading
import weakref
from pathlib import Path
from typing import Any, Callable, Optional, Union

import numpy as np

from ._library import FileLibrary, _declare
from ._records import PytovrikDecoder
from .errors import SourceError

_READ = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_uint64)


class PytovrikVideoReader(ctypes.Structure):
    """Mirrors ``PytovrikVideoReader`` of include/pytovrik_video_file.h."""

    _fields_ = [("context", ctypes.c_void_p), ("read", _READ), ("size", ctypes.c_uint64)]


_Handle = ctypes.c_void_p
_opens: dict[int, tuple[Any, Any]] = {}
_opens_lock = threading.Lock()


def _open_functions(files: FileLibrary) -> tuple[Any, Any]:
    """The layer's two open functions for sources that are not paths, declared once per library."""
    key = id(files)
    with _opens_lock:
        if key not in _opens:
            p = ctypes.POINTER
            _opens[key] = (
                _declare(
                    files.cdll.pytovrik_video_file_open_memory,
                    [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_char_p, p(PytovrikDecoder), p(_Handle)],
                    ctypes.c_int32,
                ),
                _declare(
                    files.cdll.pytovrik_video_file_open_reader,
                    [p(PytovrikVideoReader), ctypes.c_char_p, p(PytovrikDecoder), p(_Handle)],
                    ctypes.c_int32,
                ),
            )
        return _opens[key]


# A read callback cannot raise through C: what it raised waits here, on the
# thread whose call into the layer it failed, until that call has returned.
_pending = threading.local()


def with_reader_failure(error: BaseException) -> BaseException:
    """``error`` (a failure the layer reported on this thread) chained to what a read callback
    raised meanwhile, its text appended; an interruption (not an ``Exception``) is returned itself."""
    raised: Optional[BaseException] = getattr(_pending, "error", None)
    _pending.error = None
    if raised is None:
        return error
    if not isinstance(raised, Exception):
        return raised
    error.args = (f"{error.args[0] if error.args else ''} ({type(raised).__name__}: {raised})",)
    error.__cause__ = raised
    return error


class Source:
    """A path; subclasses hold the other kinds."""

    def __init__(self, path: Union[str, os.PathLike]) -> None:
        self.path: Optional[Path] = Path(path)
        self.name = str(self.path)

    def open(self, files: FileLibrary, decoder: PytovrikDecoder, handle: ctypes.c_void_p) -> int:
        # A path that cannot be opened raises the OSError it always did (and
        # one with a NUL byte never reaches C, which would cut it short).
        assert self.path is not None
        with open(self.path, "rb"):
            pass
        return files.open(os.fsencode(self.path), ctypes.byref(decoder), ctypes.byref(handle))

    def pickled(self) -> tuple:
        """The argument that opens the same source again, in another process."""
        return (self.path,)


class BufferSource(Source):
    """An object exporting a contiguous buffer, read in place and kept alive with the file."""

    def __init__(self, source: Any) -> None:
        try:
            view = memoryview(source)
        except TypeError:
            # A torch tensor or anything else numpy reads without a copy.
            view = memoryview(np.asarray(source))
        if not view.c_contiguous:
            raise ValueError(f"a {type(source).__name__} source must be one contiguous buffer")
        self.source = source
        self.array = np.frombuffer(view.cast("B") if view.ndim != 1 or view.format != "B" else view, np.uint8)
        self.path = None
        self.name = f"<{type(source).__name__} of {self.array.nbytes} bytes>"

    def open(self, files: FileLibrary, decoder: PytovrikDecoder, handle: ctypes.c_void_p) -> int:
        open_memory, _ = _open_functions(files)
        return open_memory(
            self.array.ctypes.data, self.array.nbytes, self.name.encode(), ctypes.byref(decoder), ctypes.byref(handle)
        )

    def pickled(self) -> tuple:
        return (self.array.tobytes(),)


def _fill(view: memoryview, read: Callable[[memoryview, int], Optional[int]]) -> int:
    """Reads into ``view`` until it is full or ``read(rest, done)`` gives nothing; returns the bytes read."""
    done = 0
    while done < len(view):
        got = read(view[done:], done)
        if not got:
            break
        done += got
    return done


class ReaderSource(Source):
    """A seekable binary file-like object, read with ``readinto`` (or ``read``) after a seek."""

    def __init__(self, source: Any) -> None:
        if isinstance(source, io.TextIOBase):
            raise TypeError("a file-like source must be binary: open it with 'rb'")
        if not callable(getattr(source, "seek", None)) or (
            callable(getattr(source, "seekable", None)) and not source.seekable()
        ):
            raise SourceError(f"a file-like source must be seekable; this {type(source).__name__} is not")
        try:
            self.size = source.seek(0, io.SEEK_END)
        except (OSError, io.UnsupportedOperation) as error:
            raise SourceError(
                f"a file-like source must be seekable; this {type(source).__name__} is not ({error})"
            ) from error
        self.source = source
        self.path = None
        name = getattr(source, "name", None)
        self.name = os.fsdecode(name) if isinstance(name, (str, bytes)) else f"<{type(source).__name__}>"
        self._readinto = getattr(source, "readinto", None)
        raw = source.raw if type(source) is io.BufferedReader else source
        self._descriptor = raw.fileno() if type(raw) is io.FileIO else None
        self._lock = threading.Lock()
        _readers.add(self)
        # Kept as long as the source: the layer calls it until the file is closed.
        self._callback = _READ(self._read)

    def _read(self, _context: Optional[int], offset: int, buffer: int, size: int) -> int:
        try:
            view = memoryview((ctypes.c_char * size).from_address(buffer)).cast("B")
            if self._descriptor is not None:
                return _fill(view, lambda part, done: os.preadv(self._descriptor, [part], offset + done))
            with self._lock:
                self.source.seek(offset)
                if self._readinto is None:
                    data = self.source.read(size)
                    if len(data) > size:
                        raise ValueError(f"read({size}) gave {len(data)} bytes")
                    view[: len(data)] = data
                    return len(data)
                return _fill(view, lambda part, _done: self._readinto(part))
        except BaseException as error:  # raised again by the call that asked for the bytes
            _pending.error = error
            return -1

    def open(self, files: FileLibrary, decoder: PytovrikDecoder, handle: ctypes.c_void_p) -> int:
        _, open_reader = _open_functions(files)
        reader = PytovrikVideoReader(None, self._callback, self.size)
        return open_reader(ctypes.byref(reader), self.name.encode(), ctypes.byref(decoder), ctypes.byref(handle))

    def pickled(self) -> tuple:
        try:
            pickle.dumps(self.source)
        except Exception as error:
            raise TypeError(
                f"a VideoFile opened from a file-like object pickles only if that object does, and this "
                f"{type(self.source).__name__} does not ({error}); give the worker a path or bytes instead"
            ) from error
        return (self.source,)


_readers: "weakref.WeakSet[ReaderSource]" = weakref.WeakSet()


def _new_locks_after_fork() -> None:
    # A thread of the parent may have held one at the fork; the child has
    # none of those threads.
    for reader in list(_readers):
        reader._lock = threading.Lock()


os.register_at_fork(after_in_child=_new_locks_after_fork)


def source_of(source: Any) -> Source:
    """The kind of source ``VideoFile`` was given."""
    if isinstance(source, (str, os.PathLike)):
        return Source(source)
    try:
        memoryview(source)
        is_buffer = True
    except TypeError:
        is_buffer = False
    if is_buffer:
        return BufferSource(source)
    if callable(getattr(source, "read", None)) or callable(getattr(source, "readinto", None)):
        return ReaderSource(source)
    if hasattr(source, "__array_interface__") or hasattr(source, "__array__"):
        return BufferSource(source)
    raise TypeError(
        "a VideoFile source must be a path, a bytes-like buffer or a seekable binary file-like object, "
        f"not {type(source).__name__}"
    )
