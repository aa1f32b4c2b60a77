"""VideoFile: every frame and time of real files as PyAV decodes them, through the file layer."""

from __future__ import annotations

import dataclasses
import io
import multiprocessing
import os
import pickle
import random
import subprocess
import sys
import tarfile
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import REPO, framecrc_line

import pytovrik_video
from pytovrik_video import DecodeError, VideoFile, Yuv420Frame, _jobs, decode_h264, split_annexb

av = pytest.importorskip("av")

# Made by tests/file/make_media.sh (the file_media fixture of ctest): MP4
# cases read from the file's own index (an edit-list cut mid-group, a negative
# first pts, open GOP, intra refresh, field pairs, fragments), and containers
# read whole (a stream joined mid-group, field pairs, a resolution change, a
# truncated file, raw H.264, AVI).
MEDIA = Path(os.environ.get("PYTOVRIK_TEST_MEDIA_DIR", "/nonexistent"))
FILES = [
    "plain.mp4", "cut.mp4", "negative_pts.mp4", "open_gop.mp4", "intra_refresh.mp4", "fields_cvfi1.mp4",
    "fragmented.mp4", "ts_cut.ts", "ts_field_capama3.ts", "ts_resolution_change.ts", "mkv_truncated.mkv",
    "raw_bframes.h264", "avi_bframes.avi",
]
# Containers without timestamps of their own: times are not compared.
UNTIMED = {"avi_bframes.avi", "raw_bframes.h264"}


def media(name: str) -> Path:
    path = MEDIA / name
    if not path.exists():
        pytest.skip(f"{name} is made by the file_media fixture, in PYTOVRIK_TEST_MEDIA_DIR")
    return path


@pytest.fixture(scope="module")
def yuv444(tmp_path_factory) -> Path:
    """An MP4 file that only the RGB output can convert, in two groups."""
    path = tmp_path_factory.mktemp("video_file") / "yuv444.mp4"
    subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25",
         "-frames:v", "10", "-c:v", "libx264", "-pix_fmt", "yuv444p", "-g", "5", str(path)],
        check=True,
    )
    return path


def _pyav_frames(path: Path) -> list[tuple[float, str, tuple[int, int]]]:
    """(pts in seconds, framecrc line, (height, width)) of each frame PyAV's decoder outputs (presentation order)."""
    frames = []
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        for frame in container.decode(stream):
            planes = frame.to_ndarray(format="yuv420p")
            height, width = frame.height, frame.width
            y, u, v = planes[:height], planes[height:].reshape(2, -1)[0], planes[height:].reshape(2, -1)[1]
            uv = np.stack([u, v], axis=-1).reshape((height + 1) // 2, (width + 1) // 2, 2)
            pts = float(frame.pts * stream.time_base) if frame.pts is not None else float("nan")
            frames.append((pts, framecrc_line(Yuv420Frame(y, uv)), (height, width)))
    return frames


def _decoded(video: VideoFile, indices: list[int], sizes: list[tuple[int, int]]) -> tuple[list[str], list[float]]:
    """framecrc lines and pts of the frames at ``indices``, asked in one request per frame size."""
    lines, pts = [""] * len(indices), [0.0] * len(indices)
    for size in set(sizes):
        slots = [k for k, other in enumerate(sizes) if other == size]
        batch = video.get_frames([indices[k] for k in slots], output="yuv420")
        for k, y, uv, seconds in zip(slots, batch.y, batch.uv, batch.pts_seconds):
            lines[k], pts[k] = framecrc_line(Yuv420Frame(y, uv)), float(seconds)
    return lines, pts


@pytest.mark.parametrize("name", FILES)
def test_frames_and_times_equal_pyavs_decode(name):
    path = media(name)
    reference = _pyav_frames(path)
    video = VideoFile(path)
    lines = [line for _, line, _ in reference]
    sizes = [size for _, _, size in reference]
    assert len(video) == len(reference) and (video.height, video.width) == sizes[0]

    every = list(range(len(video)))
    got, pts = _decoded(video, every, sizes)
    assert got == lines
    if name not in UNTIMED:
        assert pts == pytest.approx([seconds for seconds, _, _ in reference], abs=1e-9)

    rng = random.Random(name)
    for indices in [rng.sample(every, min(5, len(every))) for _ in range(3)] + [[every[-1], 0, every[-1]]]:
        got, times = _decoded(video, indices, [sizes[i] for i in indices])
        assert got == [lines[i] for i in indices] and times == [pts[i] for i in indices], indices


class _Counting(io.FileIO):
    """A file that counts its reads; ``fail`` makes them raise."""

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self.calls = self.bytes = 0
        self.fail = False

    def readinto(self, buffer) -> int:
        if self.fail:
            raise ConnectionError("the store went away")
        got = super().readinto(buffer)
        self.calls, self.bytes = self.calls + 1, self.bytes + got
        return got


# How a source that is not a path is made from a file's bytes: each must give
# the frames its path gives, and open reading each byte once at most.
SOURCES = {
    "bytes": lambda path: path.read_bytes(),
    "numpy memoryview": lambda path: memoryview(np.fromfile(path, np.uint8)),
    "file-like": lambda path: open(path, "rb"),
    "BytesIO": lambda path: io.BytesIO(path.read_bytes()),
    "torch tensor": lambda path: _torch().frombuffer(bytearray(path.read_bytes()), dtype=_torch().uint8),
}


def _torch():
    return pytest.importorskip("torch")


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize(
    "name", ["plain.mp4", "fragmented.mp4", "mkv_bframes.mkv", "ts_bframes.ts", "ts_cut.ts", "raw_bframes.h264"]
)
def test_every_source_gives_the_frames_its_path_gives(name, kind):
    path = media(name)
    from_path = VideoFile(path)
    indices = [len(from_path) - 1, 0, len(from_path) // 2, 1]
    want = from_path.get_frames(indices, output="yuv420")
    video = VideoFile(SOURCES[kind](path))
    got = video.get_frames(indices, output="yuv420")
    assert got.y.tobytes() == want.y.tobytes() and got.uv.tobytes() == want.uv.tobytes()
    assert got.pts_seconds.tolist() == want.pts_seconds.tolist() and video.path is None
    assert video.metadata.bytes_read_at_open <= path.stat().st_size


def test_a_few_frames_of_minutes_of_video_read_a_few_percent_of_it():
    path = media("minutes.mp4")
    source = _Counting(path)
    video = VideoFile(source)
    opened_in = source.calls
    indices = random.Random(8).sample(range(len(video)), 8)
    frames = video.get_frames(indices, size=(32, 24)).data
    want = VideoFile(path).get_frames(indices, size=(32, 24)).data
    assert frames.tobytes() == want.tobytes()
    # One read per group asked for, sound chunks between its samples and all.
    assert opened_in <= 16 and source.calls - opened_in <= 8
    assert source.bytes <= 0.07 * path.stat().st_size

    # Requests on several threads read through the one object at once.
    got = {}
    threads = [
        threading.Thread(target=lambda k=k: got.update({k: video.get_frames(indices[k::4], size=(32, 24)).data}))
        for k in range(4)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads)
    assert all(np.array_equal(got[k], want[k::4]) for k in range(4))


def test_tar_members_read_in_place_and_failing_sources_say_why(tmp_path):
    shard = tmp_path / "shard.tar"
    with tarfile.open(shard, "w") as tar:
        for name in ("plain.mp4", "mkv_bframes.mkv"):
            tar.add(media(name), arcname=f"sample/{name}")
    with tarfile.open(shard) as tar:
        for member in tar.getmembers():
            video = VideoFile(tar.extractfile(member))
            want = VideoFile(media(Path(member.name).name)).get_frames([5, 2], output="yuv420")
            assert video.get_frames([5, 2], output="yuv420").y.tobytes() == want.y.tobytes()

    read_end, write_end = os.pipe()
    with open(read_end, "rb") as pipe, open(write_end, "wb"):
        with pytest.raises(ValueError, match="must be seekable"):
            VideoFile(pipe)
    with pytest.raises(TypeError, match="path, a bytes-like buffer or a seekable"):
        VideoFile(12)
    with open(media("plain.mp4"), encoding="latin-1") as text, pytest.raises(TypeError, match="binary"):
        VideoFile(text)
    with pytest.raises(ValueError, match="contiguous"):
        VideoFile(np.zeros((4, 4), np.uint8)[:, ::2])
    # What a file-like object raises ends the call that read, as its cause.
    for name in ("plain.mp4", "ts_bframes.ts"):
        source = _Counting(media(name))
        video = VideoFile(source)
        source.fail = True
        with pytest.raises(DecodeError, match="store went away") as raised:
            video.get_frames([len(video) - 1])
        assert isinstance(raised.value.__cause__, ConnectionError)
        source.fail = False
        assert video.get_frames([len(video) - 1]).data.shape[0] == 1
        source.fail = True
        with pytest.raises(ValueError, match="store went away"):
            VideoFile(source)


def _frames_in_worker(video: VideoFile) -> bytes:
    return video.get_frames([3, 0], output="yuv420").y.tobytes()


def test_video_files_pickle_as_their_source_into_spawned_workers():
    path = media("mkv_bframes.mkv")
    want = _frames_in_worker(VideoFile(path))
    videos = [VideoFile(path), VideoFile(bytearray(path.read_bytes())), VideoFile(io.BytesIO(path.read_bytes()))]
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.map(_frames_in_worker, videos, chunksize=1) == [want] * 3
    copy = pickle.loads(pickle.dumps(VideoFile(path, rotation="stored", threads=1)))
    assert (copy.path, copy.threads, copy.get_frames([3]).data.shape) == (path, 1, (1, copy.height, copy.width, 3))
    with open(path, "rb") as file, pytest.raises(TypeError, match="pickles only if that object does"):
        pickle.dumps(VideoFile(file))

    # Forked workers read an open file they inherit at once, its descriptor
    # shared, never its seek position.
    with open(path, "rb") as file:
        shared = VideoFile(file)

        def same_frames() -> bool:
            try:
                return all(_frames_in_worker(shared) == want for _ in range(20))
            except DecodeError:
                return False

        fork = multiprocessing.get_context("fork")
        answers = fork.Queue()
        children = [fork.Process(target=lambda: answers.put(same_frames())) for _ in range(2)]
        for child in children:
            child.start()
        assert same_frames()
        got = [answers.get(timeout=60) for _ in children]
        for child in children:
            child.join(60)
        assert got == [True, True]


def test_frames_at_times_are_the_frames_shown_then():
    video = VideoFile(media("cut.mp4"))
    every = video.get_frames(range(len(video)), output="yuv420")
    starts = every.pts_seconds
    # A frame's own time, and a time inside its interval, give that frame.
    middles = (starts[:-1] + np.diff(starts) / 2).tolist()
    batch = video.get_frames_at([starts[7], middles[3], starts[0], middles[3]], output="yuv420")
    assert batch.indices.tolist() == [7, 3, 0, 3]
    assert batch.pts_seconds.tolist() == [starts[7], starts[3], starts[0], starts[3]]
    assert np.array_equal(batch.y[0], every.y[7]) and np.array_equal(batch.uv[1], every.uv[3])
    last_end = starts[-1] + 1 / video.fps
    assert video.get_frames_at([last_end - 1e-6], size=(16, 8)).data.shape == (1, 8, 16, 3)
    for outside in (starts[0] - 0.01, last_end + 0.01, float("nan")):
        with pytest.raises(IndexError, match=f"shown at {outside!r} s"):
            video.get_frames_at([starts[1], outside])
    with pytest.raises(TypeError):
        video.get_frames_at(["1.5"])


def test_rgb_frames_go_into_out_as_a_whole_stream_decode_gives_them():
    path = media("raw_bframes.h264")
    video = VideoFile(path)
    rgb = decode_h264(split_annexb(path.read_bytes()), output="rgb", size=(32, 24), positions=[5, 30])
    out = np.zeros((3, 24, 32, 3), np.uint8)
    batch = video.get_frames([30, 5, 30], size=(32, 24), out=out)
    assert batch.data is out
    assert [frame.tobytes() for frame in out] == [rgb[1].rgb.tobytes(), rgb[0].rgb.tobytes(), rgb[1].rgb.tobytes()]
    assert video.get_frames([3]).data.shape == (1, video.height, video.width, 3)
    metadata = video.metadata
    assert (metadata.frame_count, metadata.container) == (len(video), "h264")
    assert metadata.index_bytes > 0 and metadata.bytes_read_at_open > 0 and video.fps == 25


def test_refusals_name_the_file_the_frames_and_the_reason(yuv444):
    video = VideoFile(media("negative_pts.mp4"))
    count = len(video)
    # One hierarchy, each error also the built-in it replaced.
    with pytest.raises(pytovrik_video.OutOfRangeError, match=rf"frame index {count} .* {count} frames"):
        video.get_frames([0, count])
    with pytest.raises(IndexError, match="-1"):
        video.get_frames([-1])
    with pytest.raises(ValueError, match=rf"shape \(2, {video.height}, {video.width}, 3\)"):
        video.get_frames([0, 1], out=np.empty((2, video.height, video.width, 4), np.uint8))
    with pytest.raises(ValueError, match="only to output='rgb'"):
        video.get_frames([0], output="yuv420", size=(8, 8))
    with pytest.raises(pytovrik_video.SourceError, match="test_video_file.py"):
        VideoFile(__file__)
    with pytest.raises(FileNotFoundError):
        VideoFile(yuv444.with_name("missing.mp4"))
    with pytest.raises(ValueError, match="null"):  # never cut short to another file's name
        VideoFile(f"{yuv444}\0.mkv")
    with pytest.raises(pytovrik_video.SourceError, match="no H.264 video track"):
        VideoFile(media("ts_audio_only.ts"))
    with pytest.raises(pytovrik_video.SourceError, match="no video track"):
        VideoFile.probe(media("ts_audio_only.ts"))
    # The library's own reason reaches the message, with the file and frames.
    # Both groups fail at once; the request still ends cleanly and the file stays usable.
    refused = VideoFile(yuv444)
    reason = r"yuv444\.mp4'?: frames? [0-9-]+ could not be decoded: pytovrik_video: .*yuv420p"
    for _ in range(3):
        with pytest.raises(pytovrik_video.VideoError, match=reason) as caught:
            refused.get_frames([7, 3, 1], output="yuv420")
        assert isinstance(caught.value, DecodeError)
    assert refused.get_frames([7, 3], size=(8, 8)).data.shape == (2, 8, 8, 3)

    with pytest.raises(ValueError, match="iterate over it as output='rgb'"):  # a resolution change
        list(VideoFile(media("ts_resolution_change.ts")).iter_frames(batch_size=40, output="yuv420"))

    with VideoFile(yuv444) as closing:
        closing.get_frames([0], size=(8, 8))
    with pytest.raises(ValueError, match="closed"):
        closing.get_frames([0], size=(8, 8))


def test_pool_threads_end_when_idle_and_take_their_decoders(monkeypatch):
    monkeypatch.setattr(_jobs, "IDLE_SECONDS", 0.3)
    video = VideoFile(media("long.mp4"))
    every = video.get_frames(range(0, len(video), 4), output="yuv420")

    def pool_threads() -> int:
        return sum(thread.name == "pytovrik-group" for thread in threading.enumerate())

    for _ in range(3):  # several groups in each request, several requests at once
        threads = [threading.Thread(target=video.get_frames, args=([70, 2, 30, 55],)) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        again = video.get_frames(range(0, len(video), 4), output="yuv420")
        assert np.array_equal(again.y, every.y) and np.array_equal(again.uv, every.uv)
    assert min(1, _jobs.group_threads() - 1) <= pool_threads() <= _jobs.group_threads() - 1
    deadline = time.monotonic() + 10
    while pool_threads() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert pool_threads() == 0


def _run_script(script: str, path: Path) -> subprocess.CompletedProcess:
    """Runs ``script`` with ``path`` as its argument in a fresh interpreter that imports this checkout's package."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(REPO / "python"), *sys.path]))
    return subprocess.run([sys.executable, "-c", script, str(path)], env=env, capture_output=True, text=True,
                          timeout=120)


def test_the_package_works_without_pyav():
    script = (
        "import sys\n"
        "sys.modules['av'] = None  # import av now raises ImportError\n"
        "import pytovrik_video as p\n"
        "video = p.VideoFile(sys.argv[1])\n"
        "batch = video.get_frames([5, 1], output='rgb', size=(16, 12))\n"
        "print(len(video), batch.data.shape, 'av' in sys.modules and sys.modules['av'] is not None)\n"
    )
    result = _run_script(script, media("cut.mp4"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split(" ", 1)[1].strip() == "(2, 12, 16, 3) False"


def _ffmpeg_framecrc(path: Path, *input_options: str) -> list[str]:
    """``<size> 0x<adler32>`` of each yuv420p frame ffmpeg outputs (autorotated unless told not to)."""
    listing = subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", *input_options, "-i", str(path), "-map", "0:v", "-fps_mode",
         "passthrough", "-pix_fmt", "yuv420p", "-f", "framecrc", "-"],
        capture_output=True, text=True, check=True,
    ).stdout
    return [" ".join(field.strip() for field in line.split(",")[4:6]) for line in listing.splitlines()
            if line and not line.startswith("#")]


# Made with ffmpeg's -display_rotation (counter-clockwise); metadata.rotation
# counts clockwise, as a player turns the picture. The FATE sample is a
# phone-style portrait turn, whose last samples are cut short: its first
# group is compared.
@pytest.mark.parametrize(
    "path, rotation, stored, frames",
    [
        ("upright.mp4", 0, (98, 66), None),
        ("rotation_90.mp4", 270, (98, 66), None),
        ("rotation_180.mp4", 180, (98, 66), None),
        ("rotation_270.mp4", 90, (98, 66), None),
        (REPO / "tests" / "data" / "history" / "displaymatrix.mp4", 90, (160, 240), 24),
    ],
)
def test_turned_files_come_out_as_ffmpeg_shows_them(path, rotation, stored, frames):
    path = path if isinstance(path, Path) else media(path)
    shown = stored[::-1] if rotation in (90, 270) else stored
    for mode, options, size in (("display", (), shown), ("stored", ("-noautorotate",), stored)):
        video = VideoFile(path, rotation=mode)
        assert (video.width, video.height) == size
        batch = video.get_frames(range(frames or len(video)), output="yuv420")
        expected = _ffmpeg_framecrc(path, *options)
        assert [framecrc_line(Yuv420Frame(y, uv)) for y, uv in zip(batch.y, batch.uv)] == expected[:frames], mode
    metadata = video.metadata
    assert (metadata.rotation, metadata.mirrored) == (rotation, False)
    assert (metadata.width, metadata.height, metadata.stored_width, metadata.stored_height) == (*shown, *stored)
    # size= is the shown picture's: the stored one is scaled to it turned, then turned.
    turned = VideoFile(path).get_frames([1, 0], size=(20, 30), out=np.empty((2, 30, 20, 3), np.uint8)).data
    scaled = video.get_frames([1, 0], size=(30, 20) if rotation in (90, 270) else (20, 30)).data
    assert np.array_equal(turned, np.rot90(scaled, -rotation // 90, axes=(1, 2)))


@pytest.mark.parametrize("name", ["open_gop_leading.mp4", "long.mp4"])
def test_indexing_slicing_and_iteration_give_get_frames_frames(name):
    video = VideoFile(media(name))
    every = video.get_frames(range(len(video)), size=(32, 24))
    keys = video.metadata.key_frame_indices
    assert keys.dtype == np.int64 and keys[0] == 0 and np.all(np.diff(keys) > 0) and len(keys) > 1
    small = VideoFile(media(name), threads=1)
    assert small.threads == 1 and np.array_equal(small.get_frames([5, 0, 70 % len(video)]).data,
                                                 video.get_frames([5, 0, 70 % len(video)]).data)
    full = video.get_frames(range(len(video))).data
    assert np.array_equal(video[3], full[3]) and np.array_equal(video[-1], full[-1])
    for key in (slice(0, 64, 2), slice(-10, None), slice(None, None, -7), slice(5, 5)):
        assert np.array_equal(video[key].data, full[key]), key
    for index in (len(video), -len(video) - 1):
        with pytest.raises(IndexError, match=f"frame index {index}"):
            video[index]
    batches = list(video.iter_frames(batch_size=7, size=(32, 24)))
    assert [len(batch) for batch in batches[:-1]] == [7] * (len(batches) - 1)
    assert np.array_equal(np.concatenate([batch.data for batch in batches]), every.data)
    assert np.array_equal(np.concatenate([batch.indices for batch in batches]), np.arange(len(video)))
    assert np.array_equal(np.concatenate([batch.pts_seconds for batch in batches]), every.pts_seconds)
    assert np.array_equal(np.stack(list(video)), full)


def test_iteration_holds_one_group_and_one_batch():
    import tracemalloc

    video = VideoFile(media("long.mp4"))  # 100 frames in groups of 25
    frame_bytes = video.width * video.height * 3
    tracemalloc.start()
    try:
        for _ in video.iter_frames(batch_size=10):
            pass
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A group, the batch being filled and the one handed out before it.
    assert peak < (25 + 2 * 10 + 1) * frame_bytes, peak / frame_bytes


def test_probe_reads_any_video_and_open_names_another_codec():
    path = media("hevc.mp4")
    probed = VideoFile.probe(path)
    assert (probed.codec, probed.width, probed.height, probed.key_frame_indices) == ("hevc", 160, 120, None)
    assert probed.frame_rate == 25 and probed.end_seconds == pytest.approx(0.4, abs=0.05)
    with pytest.raises(pytovrik_video.UnsupportedCodecError, match="its video track is hevc; only H.264 is decoded") as caught:
        VideoFile(path)
    assert caught.value.codec == "hevc" and isinstance(caught.value, ValueError)
    ts = VideoFile(media("ts_bframes.ts")).metadata
    assert ts == dataclasses.replace(VideoFile.probe(media("ts_bframes.ts")), frame_count=ts.frame_count,
                                     duration_seconds=ts.duration_seconds, end_seconds=ts.end_seconds,
                                     bytes_read_at_open=ts.bytes_read_at_open, index_bytes=ts.index_bytes)
    assert ts.start_seconds > 1 and ts.end_seconds == pytest.approx(ts.start_seconds + ts.duration_seconds)


def test_ffmpeg_messages_reach_logging_and_never_stderr():
    # Damaged groups make FFmpeg's decoder complain on every thread; the
    # frames that still decode come back, the messages go to the logger.
    script = (
        "import logging, sys\n"
        "import pytovrik_video as p\n"
        "seen = []\n"
        "class Keep(logging.Handler):\n"
        "    def emit(self, record): seen.append((record.levelname, record.getMessage()))\n"
        "logging.getLogger('pytovrik_video').addHandler(Keep())\n"
        "video = p.VideoFile(sys.argv[1])\n"
        "for start in range(0, len(video), 25):\n"
        "    try:\n"
        "        video.get_frames(range(start, min(start + 25, len(video))), size=(16, 12))\n"
        "    except p.DecodeError as error:\n"
        "        print('refused', 'could not be decoded' in str(error))\n"
        "print(len(seen), sorted({level for level, _ in seen}))\n"
    )
    result = _run_script(script, media("ts_damaged.ts"))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    count, levels = result.stdout.splitlines()[-1].split(" ", 1)
    assert int(count) > 0 and set(eval(levels)) <= {"ERROR", "WARNING", "INFO"}, result.stdout


@pytest.mark.parametrize(
    "name, sampler, arguments, within",
    [
        ("open_gop_leading.mp4", "clips_at_random_indices", dict(frames_per_clip=5, step=3, start=10, stop=-4),
         (10, 46)),
        ("open_gop_leading.mp4", "clips_at_regular_indices", dict(frames_per_clip=4, step=2), (0, 50)),
        ("ts_bframes.ts", "clips_at_regular_indices", dict(frames_per_clip=1, start=-30), (120, 150)),
        ("ts_bframes.ts", "clips_at_random_timestamps", dict(frames_per_clip=3, seconds_between_frames=0.5),
         (1.48, 7.48)),
        ("ts_bframes.ts", "clips_at_regular_timestamps",
         dict(frames_per_clip=6, start_seconds=2.0, stop_seconds=4.0), (2.0, 4.0)),
    ],
)
def test_samplers_draw_clips_within_the_range_as_get_frames_decodes_them(name, sampler, arguments, within):
    from pytovrik_video import samplers

    video = VideoFile(media(name))
    sample = getattr(samplers, sampler)
    clips = sample(video, num_clips=5, size=(24, 16), generator=np.random.default_rng(5), **arguments)
    frames = arguments["frames_per_clip"]
    assert clips.data.shape == (5, frames, 16, 24, 3) and clips.indices.shape == clips.pts_seconds.shape == (5, frames)
    again = sample(video, num_clips=5, size=(24, 16), generator=np.random.default_rng(5), **arguments)
    assert np.array_equal(again.indices, clips.indices) and np.array_equal(again.data, clips.data)
    by_index = video.get_frames(clips.indices.ravel(), size=(24, 16))
    assert np.array_equal(by_index.data.reshape(clips.data.shape), clips.data)
    assert np.array_equal(by_index.pts_seconds.reshape(clips.indices.shape), clips.pts_seconds)
    low, high = within
    if "indices" in sampler:
        assert low <= clips.indices.min() and clips.indices.max() < high
        assert np.all(np.diff(clips.indices, axis=1) == arguments.get("step", 1))
    else:
        # Each frame is the one shown at its time, which lies in the range.
        spacing = arguments.get("seconds_between_frames", 1 / video.fps)
        times = clips.pts_seconds[:, :1] + np.arange(frames) * spacing
        assert low - 1 / video.fps < clips.pts_seconds.min() and clips.pts_seconds.max() < high
        assert np.all(np.abs(clips.pts_seconds - times) < 1 / video.fps + 1e-9)
    assert np.all(np.diff(clips.indices[:, 0]) >= 0)
    with pytest.raises(ValueError, match="fewer than a clip|less than a clip"):
        sample(video, num_clips=1, frames_per_clip=10_000)
