"""Decode batches of H.264 packets into numpy frames with the pytovrik_video library.

    >>> from pytovrik_video import decode_h264, split_annexb
    >>> with open("clip.264", "rb") as stream:
    ...     frames = decode_h264(split_annexb(stream.read()), output="yuv420")

    >>> from pytovrik_video import VideoFile
    >>> batch = VideoFile("clip.mp4").get_frames([250, 3, 120], size=(224, 224))

Two shared libraries are looked up the same way: the decoder
(libpytovrik_video.so.1) and the file layer (libpytovrik_video_file.so.1), in
$PYTOVRIK_VIDEO_LIBRARY and $PYTOVRIK_VIDEO_FILE_LIBRARY, then beside this
package, then through the system loader.

FFmpeg's messages go to the ``logging`` logger ``pytovrik_video``, never to
stderr unless the host configures logging. Errors derive from ``VideoError``
(see ``pytovrik_video.errors``).
"""

from ._decode import Frame, RgbFrame, Yuv420Frame, abi_version, decode_h264
from ._library import FILE_LIBRARY_ENV_VAR, LIBRARY_ENV_VAR, LibraryNotFoundError
from .annexb import split_annexb
from .errors import DecodeError, OutOfRangeError, SourceError, UnsupportedCodecError, VideoError
from .video_file import FrameBatch, VideoFile, VideoMetadata

__all__ = [
    "DecodeError",
    "FILE_LIBRARY_ENV_VAR",
    "Frame",
    "FrameBatch",
    "LIBRARY_ENV_VAR",
    "LibraryNotFoundError",
    "OutOfRangeError",
    "RgbFrame",
    "SourceError",
    "UnsupportedCodecError",
    "VideoError",
    "VideoFile",
    "VideoMetadata",
    "Yuv420Frame",
    "abi_version",
    "decode_h264",
    "split_annexb",
]
