"""VideoFile: the same frames as a decode of the whole file, from every container."""

from __future__ import annotations

import random
import subprocess
from pathlib import Path

import numpy as np
import pytest
from conftest import framecrc_line

from pytovrik_video import DecodeError, VideoFile, Yuv420Frame, decode_h264, split_annexb, video_file

av = pytest.importorskip("av")


def _ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *args], check=True)


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, Path]:
    """One clip in every container, and an open-GOP clip twice over (two IDR pictures)."""
    folder = tmp_path_factory.mktemp("video_file")
    x264 = ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf", "3"]
    source = ["-f", "lavfi", "-i", "testsrc2=size=98x66:rate=30", "-frames:v", "40"]
    _ffmpeg(*source, *x264, "-x264-params", "keyint=12:min-keyint=12:scenecut=0:b-pyramid=normal", str(folder / "clip.mp4"))
    _ffmpeg(*source, *x264, "-x264-params", "keyint=10:min-keyint=10:scenecut=0:open-gop=1", str(folder / "open.mp4"))
    (folder / "list.txt").write_text("file 'open.mp4'\nfile 'open.mp4'\n")
    _ffmpeg("-f", "concat", "-safe", "0", "-i", str(folder / "list.txt"), "-c", "copy", str(folder / "open_gop.mp4"))
    made = {"mp4": folder / "clip.mp4", "open_gop.mp4": folder / "open_gop.mp4"}
    for suffix in ("mkv", "ts"):
        made[suffix] = folder / f"clip.{suffix}"
        _ffmpeg("-i", str(made["mp4"]), "-c", "copy", str(made[suffix]))
    for name in ("mp4", "open_gop.mp4"):
        annexb = made[name].with_suffix(".h264")
        _ffmpeg("-i", str(made[name]), "-c", "copy", "-bsf:v", "h264_mp4toannexb", str(annexb))
        made[f"{name}.h264"] = annexb
    return made


def _full_decode(files: dict[str, Path], name: str) -> list:
    stream = files[f"{'open_gop.mp4' if name.startswith('open') else 'mp4'}.h264"]
    return decode_h264(split_annexb(stream.read_bytes()), output="yuv420")


@pytest.mark.parametrize("name", ["mp4", "mkv", "ts", "mp4.h264", "open_gop.mp4", "open_gop.mp4.h264"])
def test_frames_match_a_decode_of_the_whole_file(files, name):
    video = VideoFile(files[name])
    reference = _full_decode(files, name)
    lines = [framecrc_line(frame) for frame in reference]
    assert len(video) == len(reference) and (video.width, video.height) == (98, 66)
    assert video.fps == pytest.approx(30, rel=0.01) and video.duration_seconds == pytest.approx(len(video) / 30, rel=0.01)

    every = video.get_frames(range(len(video)), output="yuv420")
    assert [framecrc_line(Yuv420Frame(y, uv)) for y, uv in zip(every.y, every.uv)] == lines
    assert np.diff(every.pts_seconds) == pytest.approx(1 / 30, rel=0.05)

    rng = random.Random(name)
    picks = [rng.sample(range(len(video)), 5) for _ in range(4)] + [[39, 0, 39, 12, 11, 0], list(range(len(video)))[::-1]]
    for indices in picks:
        batch = video.get_frames(indices, output="yuv420")
        assert [framecrc_line(Yuv420Frame(y, uv)) for y, uv in zip(batch.y, batch.uv)] == [lines[i] for i in indices]
        assert batch.indices.tolist() == indices and batch.pts_seconds.tolist() == every.pts_seconds[indices].tolist()

    # RGB goes through the same conversion as a whole-file request: byte-exact.
    rgb = decode_h264(split_annexb(files["mp4.h264"].read_bytes()), output="rgb", size=(32, 24), positions=[5, 30])
    if name in ("mp4", "ts"):
        out = np.zeros((3, 24, 32, 3), np.uint8)
        batch = video.get_frames([30, 5, 30], size=(32, 24), out=out)
        assert batch.data is out
        assert [frame.tobytes() for frame in out] == [rgb[1].rgb.tobytes(), rgb[0].rgb.tobytes(), rgb[1].rgb.tobytes()]
        assert video.get_frames([3]).data.shape == (1, 66, 98, 3)


def test_only_the_pictures_asked_frames_need_are_sent(files, monkeypatch):
    video = VideoFile(files["mp4"])
    sent: list[int] = []

    def counting(packets, **kwargs):
        sent.append(len(packets))
        return decode_h264(packets, **kwargs)

    monkeypatch.setattr(video_file, "decode_h264", counting)
    video.get_frames([12])  # the second group's IDR picture: nothing else
    video.get_frames([0, 13, 25])  # one request per group
    assert sent[0] == 1 and len(sent) == 4
    # Each frame alone: the tail and unasked non-reference pictures stay out.
    sent.clear()
    for index in range(12):
        video.get_frames([index], output="yuv420")
    assert max(sent) < 12 and sum(sent) < 12 * 12 / 2


def test_refusals_name_the_file_and_the_frames(files, monkeypatch, tmp_path):
    video = VideoFile(files["mkv"])
    with pytest.raises(IndexError, match=r"frame index 40 .* 40 frames"):
        video.get_frames([0, 40])
    with pytest.raises(IndexError, match="-1"):
        video.get_frames([-1])
    with pytest.raises(ValueError, match=r"shape \(2, 66, 98, 3\)"):
        video.get_frames([0, 1], out=np.empty((2, 66, 98, 4), np.uint8))
    with pytest.raises(ValueError, match="only to output='rgb'"):
        video.get_frames([0], output="yuv420", size=(8, 8))
    assert video.get_frames([], output="yuv420").y.shape[0] == 0
    with pytest.raises(ValueError, match="test_video_file.py: not a video file"):
        VideoFile(__file__)
    # A stream cut in its first group: pictures before the first IDR cannot be
    # decoded, so the frames start at that IDR picture.
    cut = tmp_path / "cut.h264"
    cut.write_bytes(b"".join(split_annexb(files["mp4.h264"].read_bytes())[1:]))
    lines = [framecrc_line(frame) for frame in _full_decode(files, "mp4")]
    batch = VideoFile(cut).get_frames(range(28), output="yuv420")
    assert [framecrc_line(Yuv420Frame(y, uv)) for y, uv in zip(batch.y, batch.uv)] == lines[12:]

    # A decoder that loses a picture must not shift the others onto wrong indices.
    monkeypatch.setattr(video_file, "decode_h264", lambda packets, **kwargs: decode_h264(packets[:-1], **kwargs))
    with pytest.raises(DecodeError, match=r"clip\.mkv: frames 12-23 decoded to fewer pictures"):
        video.get_frames([12, 20])
    monkeypatch.setattr(video_file, "decode_h264", lambda packets, **kwargs: decode_h264(packets[1:], **kwargs))
    with pytest.raises(DecodeError, match=r"clip\.mkv: frames 0-11 could not be decoded"):
        video.get_frames([3, 30])
