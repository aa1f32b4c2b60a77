"""A PyTorch dataset of video clips, imported only when asked for.

    >>> from torch.utils.data import DataLoader
    >>> from pytovrik_video.torch import VideoClips
    >>> clips = VideoClips([("a.mp4", range(0, 64, 4)), ("b.mp4", [3, 9, 27])], size=(224, 224))
    >>> for batch in DataLoader(clips, batch_size=None, num_workers=4): ...
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Any, Union

import torch
import torch.utils.data

from ._library import file_library, library
from ._open_files import CACHE_BYTES, OpenFiles, set_worker_threads

PathLike = Union[str, os.PathLike]
# A path, or any other source VideoFile takes: bytes, a buffer, a seekable
# file-like object.
Source = Union[PathLike, Any]


class VideoClips(torch.utils.data.Dataset):
    """Map-style dataset: item ``i`` is the frames of ``clips[i]`` as one tensor.

    Each clip is a ``(source, frame indices)`` pair, the source anything
    ``VideoFile`` opens (a path, bytes or another buffer, a seekable
    file-like object; for spawned workers, one that pickles); the item is a
    ``torch.uint8`` tensor of shape ``(N, height, width, 3)`` (RGB) holding
    the frames in the order asked, read with ``VideoFile.get_frames``. The
    most recently used files stay open and indexed for later clips: at most
    16 of them, whose indexes take at most ``cache_bytes`` together (the file
    being read always stays), per process.

    It works in the main process and in DataLoader workers, forked or
    spawned. In a worker, every decoder gets ``ffmpeg_threads`` threads (one
    by default): the workers already keep the cores busy, and frame threads
    on top of them only add memory and contention. ``None`` leaves the
    library's setting (``TOVRIK_VIDEO_FFMPEG_THREADS``) as it is. A
    worker decodes a clip's groups on its share of the cores (one thread
    when there are as many workers as cores), and once idle keeps one
    decoder: see ``VideoFile``.
    """

    def __init__(
        self,
        clips: Iterable[tuple[Source, Sequence[int]]],
        *,
        size: tuple[int, int] | None = None,
        ffmpeg_threads: int | None = 1,
        cache_bytes: int = CACHE_BYTES,
    ) -> None:
        self.clips = [
            (os.fspath(source) if isinstance(source, (str, os.PathLike)) else source, list(indices))
            for source, indices in clips
        ]
        self.size = size
        self.ffmpeg_threads = ffmpeg_threads
        self.cache_bytes = cache_bytes
        self._files = OpenFiles(cache_bytes)
        # Loaded here, in the process that makes the dataset: workers it forks
        # share the libraries' pages instead of each loading them again, and
        # a missing library fails here rather than in every worker.
        library()
        file_library()

    def __len__(self) -> int:
        return len(self.clips)

    def __getitem__(self, index: int) -> torch.Tensor:
        source, indices = self.clips[index]
        set_worker_threads(self.ffmpeg_threads, torch.utils.data.get_worker_info() is not None)
        video = self._files.get(source)
        return torch.from_numpy(video.get_frames(indices, output="rgb", size=self.size).data)
