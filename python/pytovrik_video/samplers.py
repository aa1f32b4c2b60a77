"""Clips of a video for training: at random or regular places, by frame index or by time.

    >>> from pytovrik_video import VideoFile
    >>> from pytovrik_video.samplers import clips_at_random_indices
    >>> rng = np.random.default_rng(0)
    >>> clips = clips_at_random_indices(VideoFile("a.mp4"), num_clips=4, frames_per_clip=8, step=2, generator=rng)
    >>> clips.data.shape     # (clips, frames, height, width, RGB)
    >>> clips.indices, clips.pts_seconds   # (clips, frames) each

Every sampler asks for all its clips' frames in one ``get_frames`` call, so a
group of pictures that several clips share is decoded once. A clip never
leaves the range sampled: every frame of it lies within ``[start, stop)``
(indices) or is shown within ``[start_seconds, stop_seconds)`` (times).
Frames come as ``VideoFile`` returns them: upright unless the file was opened
with ``rotation="stored"``, at ``size`` when given.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Optional

import numpy as np

from .video_file import VideoFile

__all__ = [
    "Clips",
    "clips_at_random_indices",
    "clips_at_random_timestamps",
    "clips_at_regular_indices",
    "clips_at_regular_timestamps",
]


@dataclass(frozen=True, eq=False)
class Clips:
    """Clips of one video, all of the same length."""

    data: np.ndarray
    """RGB frames, uint8, shape (clips, frames, height, width, 3)."""
    indices: np.ndarray
    """Frame indices, int64, shape (clips, frames)."""
    pts_seconds: np.ndarray
    """Each frame's presentation time, float64, shape (clips, frames)."""

    def __len__(self) -> int:
        return len(self.indices)


def clips_at_random_indices(
    video: VideoFile,
    *,
    num_clips: int = 1,
    frames_per_clip: int = 1,
    step: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    generator: Optional[np.random.Generator] = None,
    size: Optional[tuple[int, int]] = None,
) -> Clips:
    """``num_clips`` clips starting at frames drawn uniformly, in file order.

    Each clip is ``frames_per_clip`` frames ``step`` apart. ``start`` and
    ``stop`` bound the frames sampled as a slice does (negative counts from
    the end). ``generator`` makes the draw reproducible
    (``numpy.random.default_rng(seed)``); a fresh one otherwise.

    Raises:
        ValueError: the range is shorter than a clip, or a count is below 1.
    """
    first, last = _clip_starts(video, num_clips, frames_per_clip, step, start, stop)
    starts = np.sort(_generator(generator).integers(first, last + 1, size=num_clips))
    return _clips(video, starts[:, None] + np.arange(frames_per_clip) * step, size)


def clips_at_regular_indices(
    video: VideoFile,
    *,
    num_clips: int = 1,
    frames_per_clip: int = 1,
    step: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    generator: Optional[np.random.Generator] = None,
    size: Optional[tuple[int, int]] = None,
) -> Clips:
    """``num_clips`` clips spread evenly over the range: the first starts at
    ``start``, the last ends at ``stop``'s frame before. ``generator`` is
    accepted, and unused, so that any sampler fits a dataset."""
    first, last = _clip_starts(video, num_clips, frames_per_clip, step, start, stop)
    starts = np.round(np.linspace(first, last, num_clips)).astype(np.int64)
    return _clips(video, starts[:, None] + np.arange(frames_per_clip) * step, size)


def clips_at_random_timestamps(
    video: VideoFile,
    *,
    num_clips: int = 1,
    frames_per_clip: int = 1,
    seconds_between_frames: Optional[float] = None,
    start_seconds: Optional[float] = None,
    stop_seconds: Optional[float] = None,
    generator: Optional[np.random.Generator] = None,
    size: Optional[tuple[int, int]] = None,
) -> Clips:
    """``num_clips`` clips starting at times drawn uniformly, in time order.

    A clip's frames are those shown at its start time and every
    ``seconds_between_frames`` after it (by default one frame duration of
    the average frame rate). The times lie in ``[start_seconds,
    stop_seconds)``, by default from ``metadata.start_seconds`` to
    ``metadata.end_seconds``.
    """
    first, last, spacing = _time_starts(video, num_clips, frames_per_clip, seconds_between_frames, start_seconds,
                                        stop_seconds)
    starts = np.sort(_generator(generator).uniform(first, last, size=num_clips))
    return _clips_at_times(video, starts, frames_per_clip, spacing, size)


def clips_at_regular_timestamps(
    video: VideoFile,
    *,
    num_clips: int = 1,
    frames_per_clip: int = 1,
    seconds_between_frames: Optional[float] = None,
    start_seconds: Optional[float] = None,
    stop_seconds: Optional[float] = None,
    generator: Optional[np.random.Generator] = None,
    size: Optional[tuple[int, int]] = None,
) -> Clips:
    """``num_clips`` clips whose start times divide the range evenly, the first at ``start_seconds``."""
    first, last, spacing = _time_starts(video, num_clips, frames_per_clip, seconds_between_frames, start_seconds,
                                        stop_seconds)
    starts = np.linspace(first, last, num_clips, endpoint=False)
    return _clips_at_times(video, starts, frames_per_clip, spacing, size)


def _counted(name: str, value: int) -> int:
    value = operator.index(value)
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def _generator(generator: Optional[np.random.Generator]) -> np.random.Generator:
    return np.random.default_rng() if generator is None else generator


def _clip_starts(
    video: VideoFile, num_clips: int, frames_per_clip: int, step: int, start: int, stop: Optional[int]
) -> tuple[int, int]:
    """The first and last frame a clip may start at."""
    _counted("num_clips", num_clips)
    span = (_counted("frames_per_clip", frames_per_clip) - 1) * _counted("step", step) + 1
    first, end, _ = slice(start, stop).indices(len(video))
    if end - first < span:
        raise ValueError(
            f"frames {first} to {end} of {video.path} are {max(0, end - first)}, fewer than a clip of "
            f"{frames_per_clip} frames {step} apart spans ({span})"
        )
    return first, end - span


def _time_starts(
    video: VideoFile,
    num_clips: int,
    frames_per_clip: int,
    seconds_between_frames: Optional[float],
    start_seconds: Optional[float],
    stop_seconds: Optional[float],
) -> tuple[float, float, float]:
    """The range a clip's start time is drawn from, [first, last), and the spacing of its frames."""
    _counted("num_clips", num_clips)
    metadata = video.metadata
    spacing = 1 / metadata.fps if seconds_between_frames is None else float(seconds_between_frames)
    if not spacing > 0:
        raise ValueError(f"seconds_between_frames must be positive, not {seconds_between_frames!r}")
    first = metadata.start_seconds if start_seconds is None else max(float(start_seconds), metadata.start_seconds)
    stop = metadata.end_seconds if stop_seconds is None else min(float(stop_seconds), metadata.end_seconds)
    last = stop - (_counted("frames_per_clip", frames_per_clip) - 1) * spacing
    if not last > first:
        raise ValueError(
            f"{video.path} shows frames from {first:g} s to {stop:g} s, less than a clip of {frames_per_clip} "
            f"frames {spacing:g} s apart spans"
        )
    return first, last, spacing


def _clips_at_times(
    video: VideoFile, starts: np.ndarray, frames_per_clip: int, spacing: float, size: Optional[tuple[int, int]]
) -> Clips:
    times = starts[:, None] + np.arange(frames_per_clip) * spacing
    return _clips(video, video.frames_at(times.ravel()).reshape(times.shape), size)


def _clips(video: VideoFile, indices: np.ndarray, size: Optional[tuple[int, int]]) -> Clips:
    # One request for every clip: a group that several clips need is
    # decoded once, and the frames land in place, repeats included.
    batch = video.get_frames(indices.ravel(), size=size)
    assert batch.data is not None
    return Clips(
        data=batch.data.reshape(*indices.shape, *batch.data.shape[1:]),
        indices=batch.indices.reshape(indices.shape),
        pts_seconds=batch.pts_seconds.reshape(indices.shape),
    )
