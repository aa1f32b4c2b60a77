"""The files a dataset keeps open in each process, and the thread setting of its workers."""

from __future__ import annotations

import os
from collections import OrderedDict
from collections.abc import Hashable, Iterator
from typing import Any, Optional

from ._library import FFMPEG_THREADS_ENV_VAR
from .video_file import VideoFile

# Each open file holds a descriptor and its index; a dataset of many files
# would otherwise run out of descriptors, and one of long files out of memory.
OPEN_FILES = 16
CACHE_BYTES = 64 << 20


class OpenFiles:
    """The most recently used files, open and indexed: at most ``OPEN_FILES``, whose
    indexes take at most ``cache_bytes`` together (the file being read always stays).
    Each process opens its own: a copy (pickled for a spawned worker) starts empty."""

    def __init__(self, cache_bytes: int, **options: Any) -> None:
        self.cache_bytes = cache_bytes
        self._options = options
        self._files: OrderedDict[Hashable, VideoFile] = OrderedDict()

    def __getstate__(self) -> dict:
        return {**self.__dict__, "_files": OrderedDict()}

    def __iter__(self) -> Iterator[Hashable]:
        return iter(self._files)

    def __len__(self) -> int:
        return len(self._files)

    def get(self, source: Any) -> VideoFile:
        """The file of ``source``: a path (a str), or any other source ``VideoFile`` opens."""
        # A path names its file; any other source is the object itself.
        key = source if isinstance(source, str) else ("object", id(source))
        video = self._files.pop(key, None)
        self._files[key] = video = VideoFile(source, **self._options) if video is None else video
        while len(self._files) > 1 and (
            len(self._files) > OPEN_FILES
            or sum(file.metadata.index_bytes for file in self._files.values()) > self.cache_bytes
        ):
            self._files.popitem(last=False)
        return video


def set_worker_threads(ffmpeg_threads: Optional[int], in_worker: bool) -> None:
    """In a DataLoader worker, gives the decoders it opens ``ffmpeg_threads`` threads each."""
    if ffmpeg_threads is not None and in_worker:
        # The library reads it when a thread opens its decoder, which in
        # a worker happens after this point: one inherited from a forking
        # parent is never reused.
        os.environ[FFMPEG_THREADS_ENV_VAR] = str(ffmpeg_threads)
