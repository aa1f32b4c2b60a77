"""Data loaders: decoding in forked children and DataLoader workers, and the torch dataset."""

from __future__ import annotations

import io
import multiprocessing
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import REPO, framecrc_line

import pytovrik_video
from pytovrik_video import VideoFile, _jobs, decode_h264, split_annexb

# Long enough for a loaded machine, short enough that a hang fails the test
# rather than the suite's own timeout.
DEADLINE = 60
POSITIONS = [0, 9, 17, 23]


def _checksums(packets: list[bytes]) -> list[str]:
    return [framecrc_line(frame) for frame in decode_h264(packets, output="yuv420", positions=POSITIONS)]


def _report_checksums(packets: list[bytes], connection) -> None:
    connection.send(_checksums(packets))


def test_a_forked_child_decodes_after_the_parent_did(x264_clip):
    packets = split_annexb(x264_clip)
    # Leaves this thread's decoder parked, with FFmpeg's frame threads on a
    # machine of several cores; the child inherits it without its threads.
    expected = _checksums(packets)
    receiver, sender = multiprocessing.Pipe(duplex=False)
    child = multiprocessing.get_context("fork").Process(target=_report_checksums, args=(packets, sender))
    child.start()
    child.join(DEADLINE)
    if child.is_alive():
        child.kill()
        child.join()
        pytest.fail(f"the forked child did not finish decoding within {DEADLINE} s")
    assert child.exitcode == 0
    assert receiver.poll() and receiver.recv() == expected
    assert _checksums(packets) == expected


class _Batches:
    """A dataset of one batch decoded with the package (picklable for spawn too)."""

    def __init__(self, packets: list[bytes]) -> None:
        self.packets = packets

    def __len__(self) -> int:
        return 4

    def __getitem__(self, index: int) -> np.ndarray:
        positions = POSITIONS[index:] + POSITIONS[:index]
        return np.stack([f.rgb for f in decode_h264(self.packets, output="rgb", size=(64, 48), positions=positions)])


def test_a_forking_data_loader_decodes_in_its_workers(x264_clip):
    torch = pytest.importorskip("torch")
    packets = split_annexb(x264_clip)
    expected = _Batches(packets)[0]
    loader = torch.utils.data.DataLoader(
        _Batches(packets), batch_size=None, num_workers=2, multiprocessing_context="fork", timeout=DEADLINE
    )
    batches = list(loader)
    assert len(batches) == 4
    assert all(batch.dtype == torch.uint8 and np.array_equal(batch.numpy(), expected) for batch in batches)


@pytest.fixture(scope="module")
def mp4_clip(tmp_path_factory):
    """40 frames, 96x64, B-frames, an IDR every 10 frames, in MP4."""
    path = tmp_path_factory.mktemp("mp4") / "clip.mp4"
    subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25",
         "-frames:v", "40", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "2",
         "-x264-params", "keyint=10:min-keyint=10:scenecut=0", str(path)],
        check=True,
    )
    return path


needs_video_file = pytest.mark.skipif(
    not hasattr(pytovrik_video, "VideoFile"), reason="the dataset reads files through pytovrik_video.VideoFile"
)


@needs_video_file
def test_video_clips_in_forked_workers_match_the_parent(mp4_clip):
    torch = pytest.importorskip("torch")
    from pytovrik_video.torch import VideoClips

    class ReportingThreads(VideoClips):
        def __getitem__(self, index):
            return super().__getitem__(index), (os.environ.get("TOVRIK_VIDEO_FFMPEG_THREADS"), _jobs.group_threads())

    clips = [(mp4_clip, [5, 31, 5, 12]), (str(mp4_clip), range(0, 40, 7)), (mp4_clip, [39])]
    for threads in (1, 3):
        dataset = ReportingThreads(clips, size=(48, 32), ffmpeg_threads=threads)
        # Read in the parent first, so that the workers inherit its decoder,
        # its open file and its decoding threads.
        expected = [dataset[i][0] for i in range(len(clips))]
        assert expected[0].dtype == torch.uint8 and expected[0].shape == (4, 32, 48, 3)
        assert torch.equal(expected[0][0], expected[0][2])
        loader = torch.utils.data.DataLoader(
            dataset, batch_size=None, num_workers=2, multiprocessing_context="fork", timeout=DEADLINE
        )
        got = list(loader)
        assert all(torch.equal(tensor, want) for (tensor, _), want in zip(got, expected))
        # Each of the two workers decodes groups on its share of the cores.
        assert {tuple(setting) for _, setting in got} == {(str(threads), max(1, len(os.sched_getaffinity(0)) // 2))}


@needs_video_file
def test_video_clips_keep_open_files_within_their_byte_bound(tmp_path, mp4_clip):
    pytest.importorskip("torch")
    from pytovrik_video.torch import VideoClips

    copies = [tmp_path / f"{name}.mp4" for name in "abc"]
    for copy in copies:
        copy.write_bytes(mp4_clip.read_bytes())
    index_bytes = VideoFile(mp4_clip).metadata.index_bytes
    for bound, kept in ((1, 1), (2 * index_bytes, 2), (64 << 20, 3)):
        dataset = VideoClips([(path, [1, 12]) for path in copies], size=(16, 16), cache_bytes=bound)
        for item in range(3):
            assert dataset[item].shape == (2, 16, 16, 3)
        assert list(dataset._files) == [str(path) for path in copies[3 - kept :]]
    # A dataset used in the parent still goes to spawned workers: its open files stay behind.
    clone = pickle.loads(pickle.dumps(dataset))
    assert not clone._files and np.array_equal(clone[0].numpy(), dataset[0].numpy())
    # Clips from bytes and file-like objects, in this process and in a pickled copy.
    in_memory = VideoClips([(mp4_clip.read_bytes(), [1, 12]), (io.BytesIO(mp4_clip.read_bytes()), [1, 12])], size=(16, 16))
    for copy in (in_memory, pickle.loads(pickle.dumps(in_memory))):
        assert all(np.array_equal(copy[item].numpy(), dataset[0].numpy()) for item in range(2))


def _readme_example(heading: str) -> str:
    section = (REPO / "README.md").read_text().split(heading + "\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@needs_video_file
@pytest.mark.parametrize(
    "heading, printed",
    [("## Data loaders", "torch.uint8"), ("### Clips drawn each epoch: samplers and a labelled dataset",
                                          "1 (2, 1, 8, 3, 64, 64)")],
)
def test_the_readme_data_loader_examples_run_as_written(heading, printed):
    pytest.importorskip("torch")
    example = _readme_example(heading)
    assert len(example.splitlines()) <= 15
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run(
        [sys.executable, "-c", example], cwd=REPO, env=env, capture_output=True, text=True, timeout=DEADLINE * 2
    )
    assert result.returncode == 0, result.stderr
    assert printed in result.stdout and result.stderr == ""


def test_the_readme_dask_example_gives_a_serial_runs_frames(monkeypatch):
    distributed = pytest.importorskip(
        "distributed", reason="Dask's distributed scheduler (python3-distributed) is not installed"
    )
    monkeypatch.chdir(REPO)
    # The example's function, defined outside any importable module, so that
    # it travels to the workers by value, as from a script.
    namespace = {"__name__": "readme_dask"}
    exec(_readme_example("### The same code on a cluster"), namespace)
    paths = ["data/sample.h264", str(REPO / "data" / "sample.h264")]
    serial = [namespace["clips_of"](path) for path in paths]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        spread = client.gather(client.map(namespace["clips_of"], paths, pure=False))
        assert len(client.scheduler_info()["workers"]) == 2
    assert [batch.shape for batch in spread] == [(4, 8, 112, 112, 3)] * 2
    assert all(np.array_equal(got, want) for got, want in zip(spread, serial))


@pytest.mark.parametrize("layout, shape", [("TCHW", (2, 4, 3, 32, 48)), ("THWC", (2, 4, 32, 48, 3)),
                                           ("CTHW", (2, 3, 4, 32, 48))])
def test_video_dataset_draws_new_clips_each_epoch_in_two_workers(tmp_path, mp4_clip, layout, shape):
    torch = pytest.importorskip("torch")
    import functools

    from pytovrik_video.dataset import VideoDataset
    from pytovrik_video.samplers import clips_at_random_indices

    copy = tmp_path / "copy.mp4"
    copy.write_bytes(mp4_clip.read_bytes())
    sampler = functools.partial(clips_at_random_indices, num_clips=2, frames_per_clip=4, step=2)
    dataset = VideoDataset([(mp4_clip, "a"), (copy, "b"), (mp4_clip, "c")], sampler, layout=layout, size=(48, 32),
                           seed=11)

    def epoch(number: int) -> list[dict]:
        dataset.set_epoch(number)
        loader = torch.utils.data.DataLoader(
            dataset, batch_size=None, num_workers=2, multiprocessing_context="fork", timeout=DEADLINE
        )
        return list(loader)

    first, second, first_again = epoch(0), epoch(1), epoch(0)
    assert len(dataset._files) == 0  # only the workers opened the files
    assert [item["label"] for item in first] == ["a", "b", "c"] and first[1]["source"] == str(copy)
    assert all(item["frames"].shape == shape and item["frames"].dtype == torch.uint8 for item in first)
    assert all(torch.equal(x["indices"], y["indices"]) for x, y in zip(first, first_again))
    assert any(not torch.equal(x["indices"], y["indices"]) for x, y in zip(first, second))
    dataset.set_epoch(1)
    for got, item in zip(second, (dataset[i] for i in range(3))):
        assert torch.equal(got["frames"], item["frames"]) and torch.equal(got["pts_seconds"], item["pts_seconds"])
    # The layout is a view of the decoded clips.
    item = dataset[0]
    assert item["frames"].is_contiguous() == (layout == "THWC")
    thwc = item["frames"].permute(0, *[layout.index(axis) + 1 for axis in "THWC"])
    video = VideoFile(mp4_clip)
    expected = video.get_frames(item["indices"].flatten().tolist(), size=(48, 32)).data.reshape(2, 4, 32, 48, 3)
    assert np.array_equal(thwc.numpy(), expected)


def _report_usable_cpus(connection) -> None:
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:1])
    connection.send((_jobs.usable_cpus(), _jobs.group_threads()))


@pytest.mark.parametrize(
    "cpu_max, quota", [("max 100000\n", None), ("150000 100000\n", 2), ("50000 100000\n", 1), ("", None),
                       (None, None)]
)
def test_the_group_pool_fits_the_cpus_the_process_may_use(tmp_path, monkeypatch, cpu_max, quota):
    if cpu_max is not None:
        (tmp_path / "cpu.max").write_text(cpu_max)
    monkeypatch.setattr(_jobs, "CGROUP_CPU_MAX", str(tmp_path / "cpu.max"))
    monkeypatch.setattr(_jobs, "CGROUP_V1_CPU", str(tmp_path / "v1"))
    assert _jobs._cgroup_cpu_quota() == quota
    affinity = len(os.sched_getaffinity(0))
    assert _jobs.usable_cpus() == min(affinity, quota or affinity)
    # A process pinned to one core (as a scheduler pins its workers) decodes on one thread.
    receiver, sender = multiprocessing.Pipe(duplex=False)
    child = multiprocessing.get_context("fork").Process(target=_report_usable_cpus, args=(sender,))
    child.start()
    child.join(DEADLINE)
    assert child.exitcode == 0 and receiver.recv() == (1, 1)
