"""Decoding through the package: exact YUV, sane RGB, selection, ownership, threads."""

from __future__ import annotations

import threading

import numpy as np
import pytest
from conftest import CONFORMANCE_STREAMS, SHORT_STREAMS, framecrc_line

from pytovrik_video import DecodeError, RgbFrame, Yuv420Frame, decode_h264, split_annexb


@pytest.mark.parametrize("stream", CONFORMANCE_STREAMS, ids=lambda s: s.name)
def test_conformance_stream_matches_its_reference(stream):
    frames = decode_h264(split_annexb(stream.path.read_bytes()), output="yuv420")
    assert all(isinstance(f, Yuv420Frame) for f in frames)
    assert [framecrc_line(f) for f in frames] == stream.reference_lines()


def _bt601_limited_to_rgb(frame: Yuv420Frame) -> np.ndarray:
    height, width = frame.y.shape
    chroma = frame.uv.repeat(2, axis=0).repeat(2, axis=1)[:height, :width].astype(np.float64) - 128
    luma = 1.164 * (frame.y.astype(np.float64) - 16)
    u, v = chroma[..., 0], chroma[..., 1]
    rgb = np.stack([luma + 1.596 * v, luma - 0.392 * u - 0.813 * v, luma + 2.017 * u], axis=-1)
    return np.clip(rgb.round(), 0, 255)


def test_rgb_frames_have_the_requested_shape_and_plausible_colours(x264_clip):
    packets = split_annexb(x264_clip)
    yuv = decode_h264(packets, output="yuv420")
    assert len(yuv) == 24 and (yuv[0].width, yuv[0].height) == (98, 66)

    same_size = decode_h264(packets, output="rgb", size=(98, 66))
    assert len(same_size) == 24 and all(isinstance(f, RgbFrame) for f in same_size)
    for index in (0, 5, 23):
        difference = np.abs(_bt601_limited_to_rgb(yuv[index]) - same_size[index].rgb)
        # Channel order, row order or a shifted row stride each push this past 30.
        assert difference.mean() < 6, index

    for width, height in ((1, 1), (3, 200), (160, 90)):
        (frame,) = decode_h264(packets, output="rgb", size=(width, height), positions=[5])
        assert frame.rgb.shape == (height, width, 3) and frame.rgb.dtype == np.uint8
        assert (frame.width, frame.height) == (width, height)
        # Scaled, not cropped or bordered: the average colour survives.
        mean_colour = frame.rgb.reshape(-1, 3).mean(axis=0)
        if width * height > 1000:
            assert np.abs(mean_colour - same_size[5].rgb.reshape(-1, 3).mean(axis=0)).max() < 8


def test_positions_select_frames_in_output_order(x264_clip):
    packets = split_annexb(x264_clip)
    every = decode_h264(packets, output="yuv420")
    lines = [framecrc_line(f) for f in every]

    picked = decode_h264(packets, output="yuv420", positions=[np.uint64(20), 2, 20, 9, 24, 2**64 - 1])
    assert [framecrc_line(f) for f in picked] == [lines[2], lines[9], lines[20]]
    assert decode_h264(packets, output="yuv420", positions=range(0, 24, 8)) != []
    # An empty selection means no frame here, unlike the C interface where it
    # means all; the batch is still decoded, so a broken one still fails.
    assert decode_h264(packets, output="yuv420", positions=[]) == []
    with pytest.raises(DecodeError):
        decode_h264(packets[3:], output="yuv420", positions=[])


def test_frames_view_the_response_until_the_last_array_is_gone(x264_clip):
    packets = split_annexb(x264_clip)
    first = decode_h264(packets, output="yuv420", positions=[0])[0]
    snapshot = framecrc_line(first)
    # Later requests reuse the library's memory; live arrays must not change.
    for _ in range(3):
        decode_h264(packets, output="rgb", size=(98, 66))
    assert framecrc_line(first) == snapshot
    assert not first.y.flags.owndata and first.y.flags.writeable and first.y.flags.c_contiguous

    owned = decode_h264(packets, output="yuv420", positions=[0], copy=True)[0]
    assert framecrc_line(owned) == snapshot
    assert owned.y.flags.owndata and owned.uv.flags.owndata


def test_out_receives_the_selected_frames_in_order(x264_clip):
    packets = split_annexb(x264_clip)
    frames = decode_h264(packets, output="rgb", size=(50, 30), positions=[3, 20, 7])
    out = np.full((3, 30, 50, 3), 7, np.uint8)
    assert decode_h264(packets, output="rgb", size=(50, 30), positions=[3, 20, 7], out=out) is out
    assert all(np.array_equal(frame.rgb, array) for frame, array in zip(frames, out))

    # The count is known only once decoded; a wrong one leaves out as it was.
    for wrong in (out[:2], np.zeros((4, 30, 50, 3), np.uint8)):
        before = wrong.copy()
        with pytest.raises(ValueError, match="were decoded"):
            decode_h264(packets, output="rgb", size=(50, 30), positions=[3, 20, 7], out=wrong)
        assert np.array_equal(wrong, before)


def test_threads_decode_at_once_with_exact_results(x264_clip):
    jobs = [(s.name, split_annexb(s.path.read_bytes()), s.reference_lines()) for s in SHORT_STREAMS]
    x264_packets = split_annexb(x264_clip)
    x264_rgb = [f.rgb for f in decode_h264(x264_packets, output="rgb", size=(50, 30))]
    thread_count = 6
    barrier = threading.Barrier(thread_count)
    failures: list[str] = []

    def work(offset: int) -> None:
        barrier.wait()
        try:
            for round_ in range(3):
                # Each thread walks the streams in its own order, so sizes change
                # under every thread's pooled decoder while others decode.
                for name, packets, references in jobs[offset:] + jobs[:offset]:
                    if [framecrc_line(f) for f in decode_h264(packets, output="yuv420")] != references:
                        failures.append(f"{name}, thread {offset}, round {round_}")
                rgb = decode_h264(x264_packets, output="rgb", size=(50, 30))
                if any(not np.array_equal(a.rgb, b) for a, b in zip(rgb, x264_rgb)) or len(rgb) != 24:
                    failures.append(f"rgb, thread {offset}, round {round_}")
        except Exception as error:  # reported below, with the thread
            failures.append(f"thread {offset}: {error!r}")

    threads = [threading.Thread(target=work, args=(i % len(jobs),)) for i in range(thread_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
