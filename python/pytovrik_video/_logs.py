"""FFmpeg's messages, to Python's ``logging`` under the logger ``pytovrik_video``.

Once the file layer is loaded, the messages it does not keep as a failed
request's reason wait in a queue of its own instead of going to stderr (see
``pytovrik_video_file_queue_logs``); the package moves them to the logger
after each call that may have produced them. The logger has a
``NullHandler``, so nothing is printed unless the host configures logging
(``logging.basicConfig()``, or a handler of its own).
"""

from __future__ import annotations

import ctypes
import logging

logger = logging.getLogger("pytovrik_video")
logger.addHandler(logging.NullHandler())

# av_log levels (libavutil/log.h): panic 0, fatal 8, error 16, warning 24,
# info 32, verbose 40, debug 48, trace 56.
_LEVELS = ((8, logging.CRITICAL), (16, logging.ERROR), (24, logging.WARNING), (32, logging.INFO))


def python_level(av_level: int) -> int:
    for limit, level in _LEVELS:
        if av_level <= limit:
            return level
    return logging.DEBUG


def drain(files) -> None:
    """Moves the queued messages to the logger, oldest first."""
    if files is None:
        return
    level = ctypes.c_int32()
    dropped = ctypes.c_uint64()
    line = ctypes.create_string_buffer(1024)
    while files.next_log(ctypes.byref(level), line, len(line), ctypes.byref(dropped)):
        if dropped.value:
            logger.warning("%d of FFmpeg's messages were lost before the next one", dropped.value)
        logger.log(python_level(level.value), "%s", line.value.decode("utf-8", "replace"))
