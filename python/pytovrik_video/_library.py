"""Finding and loading the shared library."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path

from ._records import RuntimeDecodeRequest, RuntimeDecodeResponse

LIBRARY_ENV_VAR = "PYTOVRIK_VIDEO_LIBRARY"
# Read by the library when a thread opens its decoder.
FFMPEG_THREADS_ENV_VAR = "TOVRIK_VIDEO_FFMPEG_THREADS"
SONAME = "libpytovrik_video.so.1"
SUPPORTED_ABI_VERSION = 1

_PACKAGE_DIR = Path(__file__).resolve().parent


class LibraryNotFoundError(OSError):
    """The shared library could not be found or loaded."""


class Library:
    """The three exported functions with their C signatures declared."""

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self.cdll = cdll
        self.abi_version = cdll.pytovrik_video_abi_version
        self.abi_version.argtypes = []
        self.abi_version.restype = ctypes.c_int32
        self.decode_h264 = cdll.pytovrik_video_decode_h264_v1
        self.decode_h264.argtypes = [
            ctypes.POINTER(RuntimeDecodeRequest),
            ctypes.POINTER(RuntimeDecodeResponse),
        ]
        self.decode_h264.restype = ctypes.c_int32
        self.free_response = cdll.pytovrik_video_free_response_v1
        self.free_response.argtypes = [ctypes.POINTER(RuntimeDecodeResponse)]
        self.free_response.restype = None


def _candidates() -> list[str]:
    beside = [str(_PACKAGE_DIR / name) for name in (SONAME, "libpytovrik_video.so")]
    found = ctypes.util.find_library("pytovrik_video")
    # find_library can miss a library that the loader still resolves (for
    # instance one reachable only through LD_LIBRARY_PATH), so the SONAME is
    # always tried last.
    return [path for path in beside if os.path.exists(path)] + ([found] if found else []) + [SONAME]


def _open(path: str) -> Library:
    cdll = ctypes.CDLL(path)
    try:
        library = Library(cdll)
    except AttributeError as error:
        raise LibraryNotFoundError(f"{path} is not the pytovrik_video library: {error}") from error
    version = library.abi_version()
    if version != SUPPORTED_ABI_VERSION:
        raise LibraryNotFoundError(
            f"{path} has interface version {version}, this package speaks version "
            f"{SUPPORTED_ABI_VERSION}"
        )
    return library


def find_library() -> Library:
    """Load the library from $PYTOVRIK_VIDEO_LIBRARY, beside the package, or the system.

    An explicit environment variable that names an unloadable file is an error
    rather than a reason to fall back, so that a misconfigured test or
    deployment never silently runs against a different build.
    """
    explicit = os.environ.get(LIBRARY_ENV_VAR)
    if explicit:
        try:
            return _open(explicit)
        except OSError as error:
            raise LibraryNotFoundError(
                f"{LIBRARY_ENV_VAR}={explicit} cannot be loaded: {error}"
            ) from error
    failures = []
    for candidate in _candidates():
        try:
            return _open(candidate)
        except LibraryNotFoundError:
            raise
        except OSError as error:
            failures.append(f"{candidate}: {error}")
    raise LibraryNotFoundError(
        f"the pytovrik_video library was not found; set {LIBRARY_ENV_VAR} to its path, put "
        f"{SONAME} beside the package or install it. Tried: " + "; ".join(failures)
    )


_loaded: Library | None = None
_lock = threading.Lock()


def library() -> Library:
    """The process's library, loaded on first use."""
    global _loaded
    if _loaded is None:
        with _lock:
            if _loaded is None:
                _loaded = find_library()
    return _loaded
