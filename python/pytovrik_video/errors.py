"""One exception hierarchy for the package, mapped from the file layer's kinds of failure.

Each error also derives from the built-in exception the package raised for it
before, so callers that catch ``ValueError``, ``IndexError`` or
``RuntimeError`` keep working::

    VideoError
    ├── SourceError (ValueError)            the file cannot be read or indexed
    │   └── UnsupportedCodecError           its video is not H.264; .codec names it
    ├── OutOfRangeError (IndexError)        a frame or time outside the file
    └── DecodeError (RuntimeError)          frames could not be decoded
"""

from __future__ import annotations

import re
from typing import Optional


class VideoError(Exception):
    """Base of the package's errors."""


class SourceError(VideoError, ValueError):
    """The source cannot be read or indexed: not a video, damaged beyond use, or no H.264 video track."""


class UnsupportedCodecError(SourceError):
    """The file's video track is another codec than H.264; ``codec`` is libavcodec's name of it ("hevc", "vp9")."""

    def __init__(self, message: str, codec: Optional[str] = None) -> None:
        super().__init__(message)
        self.codec = codec


class OutOfRangeError(VideoError, IndexError):
    """A frame index or a time lies outside the file."""


class DecodeError(VideoError, RuntimeError):
    """The library refused a request (it returned status -1), or a file's frames could not be decoded.

    The message gives the reason: what the library and FFmpeg logged on the
    calling thread during the refused call (say, a 4:4:4 or full-range stream
    asked for as "yuv420", a batch without its parameter sets, a damaged
    picture), captured by the file layer (``libpytovrik_video_file.so.1``).
    From ``VideoFile`` it also names the file and the frames concerned. Only
    ``decode_h264`` works without the file layer; its messages then say that
    no reason is available.
    """


# pytovrik_video_file_last_error_kind(), as include/pytovrik_video_file.h numbers them.
_ARGUMENT, _SOURCE, _CODEC, _RANGE, _DECODE = 1, 2, 3, 4, 5
_CODEC_NAMED = re.compile(r"its video track is (\S+?);")


def file_layer_error(files, otherwise: type[VideoError] = DecodeError) -> VideoError:
    """The calling thread's last failure in the file layer as the package's exception.

    ``otherwise`` is for kinds without a class of their own (a bad argument,
    which the package's own checks keep from the layer).
    """
    message = files.error()
    kind = files.last_error_kind()
    if kind == _CODEC:
        named = _CODEC_NAMED.search(message)
        return UnsupportedCodecError(message, named.group(1) if named else None)
    classes = {_SOURCE: SourceError, _RANGE: OutOfRangeError, _DECODE: DecodeError}
    return classes.get(kind, otherwise)(message)
