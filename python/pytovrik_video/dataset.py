"""A PyTorch dataset of labelled videos whose clips a sampler draws anew each epoch.

    >>> import functools
    >>> from pytovrik_video.dataset import VideoDataset
    >>> from pytovrik_video.samplers import clips_at_random_indices
    >>> sampler = functools.partial(clips_at_random_indices, num_clips=1, frames_per_clip=8, step=2)
    >>> dataset = VideoDataset([("a.mp4", 0), ("b.mp4", 1)], sampler, size=(112, 112), seed=7)
    >>> dataset.set_epoch(3)
    >>> item = dataset[0]   # {"frames", "label", "indices", "pts_seconds", "source"}

Imported only when asked for: it needs PyTorch.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Callable, Literal, Optional, Union

import numpy as np
import torch
import torch.utils.data

from ._library import file_library, library
from ._open_files import CACHE_BYTES, OpenFiles, set_worker_threads
from .samplers import Clips
from .video_file import VideoFile

PathLike = Union[str, os.PathLike]
Sampler = Callable[..., Clips]

# From the sampler's (clips, frames, height, width, channels): views, no copy.
_LAYOUTS = {"THWC": (0, 1, 2, 3, 4), "TCHW": (0, 1, 4, 2, 3), "CTHW": (0, 4, 1, 2, 3)}


class VideoDataset(torch.utils.data.Dataset):
    """Map-style dataset: item ``i`` is clips of ``items[i]``'s video with its label.

    Each item is a dict:

    - ``frames``: ``torch.uint8``, shape ``(clips, *layout)``: with the
      default ``layout="TCHW"``, (clips, frames, 3, height, width); a view of
      the decoded (clips, frames, height, width, 3) array, so a layout costs
      no copy (``.contiguous()`` makes one where a model needs it);
    - ``label``: the item's label, as given;
    - ``indices`` (int64) and ``pts_seconds`` (float64): (clips, frames);
    - ``source``: the file's path, a string.

    ``sampler`` is called as ``sampler(video, generator=..., size=size)``:
    any function of ``pytovrik_video.samplers`` with its counts bound
    (``functools.partial``), or one of the caller's with that signature.
    Its generator is seeded from ``seed``, ``set_epoch``'s epoch and the
    item's index, so an epoch's clips are the same in every run and in any
    worker, and each epoch draws new ones.

    Files are opened where an item is first read (in the DataLoader worker
    that first needs them, which learns their length then): the dataset
    itself opens nothing. Each process keeps its most recently used files
    open, as ``VideoClips`` does. In a worker every decoder gets
    ``ffmpeg_threads`` threads (one by default).

    With ``persistent_workers=True`` a DataLoader's workers keep the epoch
    they started with; call ``set_epoch`` before creating the iterator of
    each epoch with the default, non-persistent workers.
    """

    def __init__(
        self,
        items: Iterable[tuple[PathLike, Any]],
        sampler: Sampler,
        *,
        layout: Literal["TCHW", "THWC", "CTHW"] = "TCHW",
        size: Optional[tuple[int, int]] = None,
        seed: int = 0,
        rotation: Literal["display", "stored"] = "display",
        ffmpeg_threads: Optional[int] = 1,
        cache_bytes: int = CACHE_BYTES,
    ) -> None:
        if layout not in _LAYOUTS:
            raise ValueError(f"layout must be one of {sorted(_LAYOUTS)}, not {layout!r}")
        self.items = [(os.fspath(source), label) for source, label in items]
        self.sampler = sampler
        self.layout = layout
        self.size = size
        self.seed = seed
        self.epoch = 0
        self.ffmpeg_threads = ffmpeg_threads
        self._files = OpenFiles(cache_bytes, rotation=rotation)
        # Loaded in the process that makes the dataset, so that forked
        # workers share the libraries' pages.
        library()
        file_library()

    def set_epoch(self, epoch: int) -> None:
        """Draws the clips of ``epoch`` from now on."""
        self.epoch = int(epoch)

    def __len__(self) -> int:
        return len(self.items)

    def video(self, index: int) -> VideoFile:
        """The open file of item ``index``, opened in this process on first use."""
        return self._files.get(self.items[index][0])

    def __getitem__(self, index: int) -> dict[str, Any]:
        source, label = self.items[index]
        set_worker_threads(self.ffmpeg_threads, torch.utils.data.get_worker_info() is not None)
        generator = np.random.default_rng([self.seed, self.epoch, index])
        clips = self.sampler(self.video(index), generator=generator, size=self.size)
        return {
            "frames": torch.from_numpy(clips.data).permute(_LAYOUTS[self.layout]),
            "label": label,
            "indices": torch.from_numpy(clips.indices),
            "pts_seconds": torch.from_numpy(clips.pts_seconds),
            "source": source,
        }
