"""Finding and loading the two shared libraries: the decoder and the file layer."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Generic, TypeVar

from ._records import (
    PytovrikDecoder,
    PytovrikVideoFileInfo,
    PytovrikVideoTrackInfo,
    RuntimeDecodeRequest,
    RuntimeDecodeResponse,
)

LIBRARY_ENV_VAR = "PYTOVRIK_VIDEO_LIBRARY"
FILE_LIBRARY_ENV_VAR = "PYTOVRIK_VIDEO_FILE_LIBRARY"
# Read by the library when a thread opens its decoder.
FFMPEG_THREADS_ENV_VAR = "TOVRIK_VIDEO_FFMPEG_THREADS"
SONAME = "libpytovrik_video.so.1"
FILE_SONAME = "libpytovrik_video_file.so.1"
SUPPORTED_ABI_VERSION = 1

_PACKAGE_DIR = Path(__file__).resolve().parent

_Handle = ctypes.c_void_p
_u64 = ctypes.c_uint64
_p = ctypes.POINTER


class LibraryNotFoundError(OSError):
    """A shared library could not be found or loaded."""


class Library:
    """The decoder's three exported functions with their C signatures declared."""

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self.cdll = cdll
        self.abi_version = _declare(cdll.pytovrik_video_abi_version, [], ctypes.c_int32)
        self.decode_h264 = _declare(
            cdll.pytovrik_video_decode_h264_v1, [_p(RuntimeDecodeRequest), _p(RuntimeDecodeResponse)], ctypes.c_int32
        )
        self.free_response = _declare(cdll.pytovrik_video_free_response_v1, [_p(RuntimeDecodeResponse)], None)
        # What the file layer calls to decode, as addresses it can call from C.
        self.functions = PytovrikDecoder(
            decode_h264=ctypes.cast(self.decode_h264, ctypes.c_void_p).value,
            free_response=ctypes.cast(self.free_response, ctypes.c_void_p).value,
        )

    def check(self, path: str) -> None:
        version = self.abi_version()
        if version != SUPPORTED_ABI_VERSION:
            raise LibraryNotFoundError(
                f"{path} has interface version {version}, this package speaks version {SUPPORTED_ABI_VERSION}"
            )


class FileLibrary:
    """The file layer's functions (include/pytovrik_video_file.h) with their C signatures declared."""

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self.cdll = cdll
        c = cdll
        i32 = ctypes.c_int32
        self.last_error = _declare(c.pytovrik_video_file_last_error, [], ctypes.c_char_p)
        self.last_error_kind = _declare(c.pytovrik_video_file_last_error_kind, [], i32)
        self.probe = _declare(c.pytovrik_video_file_probe, [ctypes.c_char_p, _p(PytovrikVideoTrackInfo)], i32)
        self.track_info = _declare(c.pytovrik_video_file_track_info, [_Handle, _p(PytovrikVideoTrackInfo)], i32)
        self.key_frames = _declare(c.pytovrik_video_file_key_frames, [_Handle, _p(_u64), _u64], _u64)
        self.turn_planes = _declare(
            c.pytovrik_video_file_turn_planes,
            [ctypes.c_void_p, ctypes.c_void_p, _u64, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32,
             ctypes.c_uint32, ctypes.c_uint32],
            i32,
        )
        self.queue_logs = _declare(c.pytovrik_video_file_queue_logs, [i32], None)
        self.next_log = _declare(
            c.pytovrik_video_file_next_log, [_p(i32), ctypes.c_char_p, _u64, _p(_u64)], i32
        )
        self.open = _declare(c.pytovrik_video_file_open, [ctypes.c_char_p, _p(PytovrikDecoder), _p(_Handle)], i32)
        self.close = _declare(c.pytovrik_video_file_close, [_Handle], None)
        self.info = _declare(c.pytovrik_video_file_info, [_Handle, _p(PytovrikVideoFileInfo)], i32)
        self.frame_seconds = _declare(
            c.pytovrik_video_file_frame_seconds, [_Handle, _u64, _u64, _p(ctypes.c_double)], i32
        )
        self.frames_at = _declare(
            c.pytovrik_video_file_frames_at, [_Handle, _p(ctypes.c_double), _u64, _p(ctypes.c_int64)], i32
        )
        self.plan = _declare(c.pytovrik_video_file_plan, [_Handle, _p(_u64), _u64, _p(_Handle)], i32)
        self.job_count = _declare(c.pytovrik_frame_plan_job_count, [_Handle], _u64)
        self.job_slots = _declare(c.pytovrik_frame_plan_job_slots, [_Handle, _u64, _p(_u64), _u64], _u64)
        self.prepare = _declare(c.pytovrik_frame_plan_prepare, [_Handle, _u64, _p(RuntimeDecodeRequest)], i32)
        self.finish = _declare(
            c.pytovrik_frame_plan_finish, [_Handle, _u64, i32, _p(RuntimeDecodeResponse), _p(_u64)], i32
        )
        self.free_plan = _declare(c.pytovrik_frame_plan_free, [_Handle], None)
        self.decode_h264 = _declare(
            c.pytovrik_video_file_decode_h264,
            [_p(PytovrikDecoder), _p(RuntimeDecodeRequest), _p(RuntimeDecodeResponse)],
            i32,
        )

    def check(self, path: str) -> None:
        # The symbols are its whole interface, and they were all found. From
        # now on FFmpeg's messages wait for the package's logger instead of
        # going to stderr (see _logs).
        self.queue_logs(1)

    def error(self) -> str:
        """The calling thread's last failure, read before its next call into the layer."""
        return (self.last_error() or b"").decode("utf-8", "replace")


def _declare(function, argtypes: list, restype):
    function.argtypes = argtypes
    function.restype = restype
    return function


_L = TypeVar("_L", Library, FileLibrary)


@dataclass(frozen=True)
class _Kind(Generic[_L]):
    """One library: how to recognise it and where to look for it."""

    description: str
    env_var: str
    soname: str
    wrapper: Callable[[ctypes.CDLL], _L]

    def candidates(self) -> list[str]:
        stem = self.soname.split(".so")[0]
        beside = [str(_PACKAGE_DIR / name) for name in (self.soname, f"{stem}.so")]
        found = ctypes.util.find_library(stem.removeprefix("lib"))
        # find_library can miss a library that the loader still resolves (for
        # instance one reachable only through LD_LIBRARY_PATH), so the SONAME
        # is always tried last.
        return [path for path in beside if os.path.exists(path)] + ([found] if found else []) + [self.soname]

    def open(self, path: str) -> _L:
        cdll = ctypes.CDLL(path)
        try:
            library = self.wrapper(cdll)
        except AttributeError as error:
            raise LibraryNotFoundError(f"{path} is not the {self.description}: {error}") from error
        library.check(path)
        return library

    def find(self) -> _L:
        """Load from the environment variable, beside the package, or the system.

        An explicit environment variable that names an unloadable file is an
        error rather than a reason to fall back, so that a misconfigured test
        or deployment never silently runs against a different build.
        """
        explicit = os.environ.get(self.env_var)
        if explicit:
            try:
                return self.open(explicit)
            except OSError as error:
                raise LibraryNotFoundError(f"{self.env_var}={explicit} cannot be loaded: {error}") from error
        failures = []
        for candidate in self.candidates():
            try:
                return self.open(candidate)
            except LibraryNotFoundError:
                raise
            except OSError as error:
                failures.append(f"{candidate}: {error}")
        raise LibraryNotFoundError(
            f"the {self.description} was not found; set {self.env_var} to its path, put {self.soname} beside "
            "the package or install it. Tried: " + "; ".join(failures)
        )


DECODER = _Kind("pytovrik_video library", LIBRARY_ENV_VAR, SONAME, Library)
FILE_LAYER = _Kind("pytovrik_video_file library", FILE_LIBRARY_ENV_VAR, FILE_SONAME, FileLibrary)

_loaded: dict[str, object] = {}
_lock = threading.Lock()
_file_layer_missing = False


def _load(kind: _Kind[_L]) -> _L:
    found = _loaded.get(kind.env_var)
    if found is None:
        with _lock:
            found = _loaded.get(kind.env_var)
            if found is None:
                found = _loaded[kind.env_var] = kind.find()
    return found  # type: ignore[return-value]


def find_library() -> Library:
    """The decoding library, looked up afresh (see ``_Kind.find``)."""
    return DECODER.find()


def library() -> Library:
    """The process's decoding library, loaded on first use."""
    return _load(DECODER)


def file_library() -> FileLibrary:
    """The process's file layer, loaded on first use; raises LibraryNotFoundError without it."""
    return _load(FILE_LAYER)


def optional_file_library() -> FileLibrary | None:
    """The file layer if it can be found, else None (``decode_h264`` then works without reasons).

    A variable that names a file which cannot be loaded still raises: that is
    a misconfiguration, not a missing library. A search that found nothing is
    not repeated.
    """
    global _file_layer_missing
    if _file_layer_missing:
        return None
    try:
        return file_library()
    except LibraryNotFoundError:
        if os.environ.get(FILE_LIBRARY_ENV_VAR):
            raise
        _file_layer_missing = True
        return None
