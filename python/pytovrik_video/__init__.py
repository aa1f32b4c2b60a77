"""Decode batches of H.264 packets into numpy frames with the pytovrik_video library.

    >>> from pytovrik_video import decode_h264, split_annexb
    >>> with open("clip.264", "rb") as stream:
    ...     frames = decode_h264(split_annexb(stream.read()), output="yuv420")

The shared library is looked up in $PYTOVRIK_VIDEO_LIBRARY, then beside this
package, then through the system loader.
"""

from ._decode import DecodeError, Frame, RgbFrame, Yuv420Frame, abi_version, decode_h264
from ._library import LIBRARY_ENV_VAR, LibraryNotFoundError
from .annexb import split_annexb
from .video_file import FrameBatch, VideoFile

__all__ = [
    "DecodeError",
    "Frame",
    "FrameBatch",
    "LIBRARY_ENV_VAR",
    "LibraryNotFoundError",
    "RgbFrame",
    "VideoFile",
    "Yuv420Frame",
    "abi_version",
    "decode_h264",
    "split_annexb",
]
