"""Writes files that lie or cost out of proportion, for the video file
fuzzer's seeds.

    make_hostile_files.py PLAIN.mp4 FRAGMENTED.mp4 LONG_GROUP.mp4 RAW.h264 OUT_DIR

The pictures and the avcC record come from PLAIN.mp4 (an ffmpeg encode);
each MP4 is then written box by box with one lie in it: sizes, offsets or
counts that point outside the file, tables longer than the file, samples
that all share the same bytes, parameter sets cut short. FRAGMENTED.mp4 is
patched in place for the fragment runs, LONG_GROUP.mp4 (one group of many
pictures) loses its sync sample table, so that every sample claims to be a
key frame. RAW.h264 gives the parameter sets of a raw stream whose every
picture comes with a new PPS, after one PPS padded to 16 KiB.
"""
import re
import struct
import sys
from pathlib import Path

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf", b"mvex", b"moof", b"traf"}


def boxes(data, start=0, end=None):
    """(type, offset of the header, offset of the payload, end) of each box."""
    end = len(data) if end is None else end
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        payload = at + 8
        if size == 1:
            size = struct.unpack(">Q", data[at + 8:at + 16])[0]
            payload = at + 16
        elif size == 0:
            size = end - at
        if size < 8 or at + size > end:
            return
        yield kind, at, payload, at + size
        if kind in CONTAINERS:
            yield from boxes(data, payload, at + size)
        at += size


def find(data, kind):
    for found, at, payload, end in boxes(data):
        if found == kind:
            return at, payload, end
    raise SystemExit(f"no {kind!r} box")


def read_track(data):
    """The samples' bytes, and the avcC payload, of a one-chunk-run track."""
    at = data.index(b"avcC") - 4  # inside the sample entry, which the walk does not enter
    avcc = data[at + 8:at + struct.unpack(">I", data[at:at + 4])[0]]
    _, stsz, _ = find(data, b"stsz")
    count = struct.unpack(">I", data[stsz + 8:stsz + 12])[0]
    sizes = struct.unpack(f">{count}I", data[stsz + 12:stsz + 12 + 4 * count])
    _, stco, _ = find(data, b"stco")
    chunks = struct.unpack(">I", data[stco + 4:stco + 8])[0]
    offsets = struct.unpack(f">{chunks}I", data[stco + 8:stco + 8 + 4 * chunks])
    _, stsc, _ = find(data, b"stsc")
    runs = struct.unpack(">I", data[stsc + 4:stsc + 8])[0]
    table = [struct.unpack(">III", data[stsc + 8 + 12 * i:stsc + 20 + 12 * i]) for i in range(runs)]
    samples = []
    for chunk, offset in enumerate(offsets):
        per_chunk = [run[1] for run in table if run[0] <= chunk + 1][-1]
        for _ in range(per_chunk):
            if len(samples) == count:
                break
            size = sizes[len(samples)]
            samples.append(data[offset:offset + size])
            offset += size
    return samples, avcc


def box(kind, *parts):
    body = b"".join(parts)
    return struct.pack(">I4s", 8 + len(body), kind) + body


def full(version_flags, *parts):
    return struct.pack(">I", version_flags) + b"".join(parts)


def u32s(*values):
    return struct.pack(f">{len(values)}I", *(v & 0xFFFFFFFF for v in values))


FTYP = box(b"ftyp", b"isom", u32s(0x200), b"isomavc1")
MDAT_START = len(FTYP) + 8  # the first sample's offset: the media data come right after ftyp


def movie(samples, avcc, *, sizes=None, chunk_offsets=None, chunk_runs=None, stts=None, ctts=None, stss=None,
          elst=None, time_scale=12800, stsz_count=None, stsz_constant=0, moov_size=None, mdat_size=None,
          more_avccs=()):
    """ftyp, mdat, moov; each keyword replaces one table as written."""
    count = len(samples) if sizes is None else len(sizes)
    ftyp = FTYP
    media = b"".join(samples)
    mdat_start = MDAT_START
    mdat = struct.pack(">I4s", mdat_size if mdat_size is not None else 8 + len(media), b"mdat") + media
    sizes = [len(s) for s in samples] if sizes is None else sizes
    if chunk_offsets is None:
        chunk_offsets = [mdat_start]
    chunk_runs = [(1, count, 1)] if chunk_runs is None else chunk_runs
    stts = [(count, 512)] if stts is None else stts
    entries = [box(b"avc1", bytes(6), struct.pack(">H", 1), bytes(16), struct.pack(">HH", 32, 32),
                   u32s(0x00480000, 0x00480000, 0), struct.pack(">H", 1), bytes(32), struct.pack(">Hh", 24, -1),
                   box(b"avcC", record)) for record in (avcc, *more_avccs)]
    tables = [
        box(b"stsd", full(0, u32s(len(entries)), *entries)),
        box(b"stts", full(0, u32s(len(stts)), *(u32s(*e) for e in stts))),
    ]
    if ctts is not None:
        tables.append(box(b"ctts", full(0, u32s(len(ctts)), *(u32s(*e) for e in ctts))))
    if stss is not None:
        tables.append(box(b"stss", full(0, u32s(len(stss)), u32s(*stss))))
    tables += [
        box(b"stsc", full(0, u32s(len(chunk_runs)), *(u32s(*r) for r in chunk_runs))),
        box(b"stsz", full(0, u32s(stsz_constant, len(sizes) if stsz_count is None else stsz_count),
                          u32s(*sizes) if stsz_constant == 0 else b"")),
        box(b"stco", full(0, u32s(len(chunk_offsets), *chunk_offsets))),
    ]
    duration = count * 512
    edts = [] if elst is None else [box(b"edts", box(b"elst", full(0, u32s(len(elst)),
                                                                     *(u32s(d, t, 0x10000) for d, t in elst))))]
    matrix = u32s(0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)
    trak = box(
        b"trak",
        box(b"tkhd", full(3, u32s(0, 0, 1, 0, duration * 1000 // time_scale if time_scale else 0), bytes(8),
                          bytes(8), matrix, u32s(32 << 16, 32 << 16))),
        *edts,
        box(b"mdia",
            box(b"mdhd", full(0, u32s(0, 0, time_scale, duration), struct.pack(">HH", 0x55C4, 0))),
            box(b"hdlr", full(0, u32s(0), b"vide", bytes(12), b"\0")),
            box(b"minf",
                box(b"vmhd", full(1, bytes(8))),
                box(b"dinf", box(b"dref", full(0, u32s(1), box(b"url ", full(1))))),
                box(b"stbl", *tables))))
    mvhd = box(b"mvhd", full(0, u32s(0, 0, 1000, duration * 1000 // 12800, 0x10000), struct.pack(">H", 0x100),
                             bytes(10), matrix, bytes(24), u32s(2)))
    moov = box(b"moov", mvhd, trak)
    if moov_size is not None:
        moov = struct.pack(">I", moov_size) + moov[4:]
    return ftyp + mdat + moov


def patched(data, kind, offset_in_payload, value, width=4):
    _, payload, _ = find(data, kind)
    out = bytearray(data)
    out[payload + offset_in_payload:payload + offset_in_payload + width] = value.to_bytes(width, "big")
    return bytes(out)


def nal_units(stream):
    return [unit for unit in re.split(b"\x00\x00\x01", stream) if unit.strip(b"\x00")]


def with_padded_pps(avcc, fill):
    """The record with a second PPS (id 1), padded to 8 KiB with `fill`."""
    sequence_bytes = struct.unpack(">H", avcc[6:8])[0]
    pictures_at = 8 + sequence_bytes
    end = pictures_at + 3 + struct.unpack(">H", avcc[pictures_at + 1:pictures_at + 3])[0]
    padded = b"\x68\x50" + bytes([fill]) * 8192
    return (avcc[:pictures_at] + bytes([avcc[pictures_at] + 1]) + avcc[pictures_at + 1:end] +
            struct.pack(">H", len(padded)) + padded + avcc[end:])


def padded_parameter_sets(raw):
    """Every picture an IDR slice behind a PPS of its own: every random
    access point has a header of its own, all of them holding the padded PPS."""
    units = nal_units(raw)
    first = {unit[0] & 0x1F: unit.rstrip(b"\x00") for unit in reversed(units)}
    start = b"\x00\x00\x00\x01"
    stream = start + first[7] + start + first[8] + start + b"\x68\x50" + bytes([0x80]) * 16384 + start + first[5]
    for picture in range(200):
        stream += start + bytes([0x68, 0x30, 0x80 | (picture & 0x7F), 0x80 | (picture >> 7)])
        stream += start + b"\x65\x88\x84"
    return stream


def main():
    plain = Path(sys.argv[1]).read_bytes()
    fragmented = Path(sys.argv[2]).read_bytes()
    long_group = Path(sys.argv[3]).read_bytes()
    raw = Path(sys.argv[4]).read_bytes()
    out = Path(sys.argv[5])
    samples, avcc = read_track(plain)
    n = len(samples)
    whole = sum(len(s) for s in samples)
    mdat_start = MDAT_START

    files = {
        # Every sample is the whole media data, all at the same offset: the
        # samples add up to many times the file.
        "mp4_overlapping_samples": movie(samples, avcc, sizes=[whole] * (8 * n),
                                         chunk_offsets=[mdat_start] * (8 * n), chunk_runs=[(1, 1, 1)]),
        # More sizes than the file holds bytes; a constant size times a count
        # far past the file.
        "mp4_sizes_past_file": movie(samples, avcc, stsz_count=0x3FFFFFFF),
        "mp4_constant_size_huge_count": movie(samples, avcc, stsz_constant=1000, stsz_count=0x7FFFFFFF),
        # Chunks past the end of the file, and a last sample that runs past it.
        "mp4_chunks_past_end": movie(samples, avcc, chunk_offsets=[0xFFFFFF00]),
        "mp4_sample_past_end": movie(samples, avcc, sizes=[len(s) for s in samples[:-1]] + [0x1FFFFFFF]),
        # One chunk claiming two billion samples; time entries of four
        # billion samples and of huge durations.
        "mp4_chunk_run_huge": movie(samples, avcc, chunk_runs=[(1, 0x7FFFFFFF, 1)]),
        "mp4_time_counts_huge": movie(samples, avcc, stts=[(0xFFFFFFFF, 512), (0xFFFFFFFF, 0xFFFFFFF0)]),
        "mp4_composition_offsets_huge": movie(samples, avcc, ctts=[(0x7FFFFFFF, 0x7FFFFFFF), (1, -0x80000000)]),
        # Sync samples out of order and past the last sample; an edit list
        # starting past the media's end.
        "mp4_sync_samples_wild": movie(samples, avcc, stss=[5, 1, 0xFFFFFFFF, 3]),
        "mp4_edit_past_media": movie(samples, avcc, elst=[(0xFFFFFFFF, 0x7FFFFFF0)]),
        "mp4_time_scale_zero": movie(samples, avcc, time_scale=0),
        # Parameter sets whose lengths run past the record.
        "mp4_avcc_lengths_past_end": movie(samples, bytes(avcc[:6]) + b"\xff\xff" + bytes(avcc[8:])),
        # Box sizes: a movie box and a media data box claiming more than the
        # file, one 64-bit size far past it.
        "mp4_moov_past_end": movie(samples, avcc, moov_size=0x7FFFFFFF),
        "mp4_mdat_past_end": movie(samples, avcc, mdat_size=0xFFFFFFF0),
        "mp4_mdat_large_size": movie(samples, avcc, mdat_size=1),
        # Fragment runs: a count of samples far past the file, a data offset
        # before the file's start.
        "mp4_fragment_run_huge": patched(fragmented, b"trun", 4, 0x7FFFFFFF),
        "mp4_fragment_offset_negative": patched(fragmented, b"trun", 8, 0x80000000),
        # 400 samples, all but the first the same P picture, a chunk each,
        # whose sample descriptions alternate between two that differ by a
        # padded PPS: every other sample comes with it. The byte after the
        # movie box has the fuzz target ask the last frame.
        "mp4_alternating_descriptions": movie(
            samples[:2], avcc, sizes=[len(samples[0])] + [len(samples[1])] * 399,
            chunk_offsets=[mdat_start] + [mdat_start + len(samples[0])] * 399,
            chunk_runs=[(i + 1, 1, 1 + i % 2) for i in range(400)], stss=[1],
            more_avccs=[with_padded_pps(avcc, 0x82)]) + b"\x04",
        # A box libavformat skips where the sync sample table was.
        "mp4_without_sync_samples": long_group.replace(b"stss", b"free", 1),
    }
    for name, data in files.items():
        (out / f"{name}.mp4").write_bytes(data)
    (out / "raw_padded_parameter_sets.h264").write_bytes(padded_parameter_sets(raw))


if __name__ == "__main__":
    main()
