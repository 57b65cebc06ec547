"""Realistic synthetic pulse files, written with vectorised NumPy.

The sensor is a grid of ``rows`` x ``cols`` apertures numbered row by row
(aperture = y * cols + x). A dead rectangle and scattered dead sites hold no
aperture at all (the index skips their numbers); a quiet band of live
apertures records no pulses, only background, padding and step records; the
rest are active, with a pulse rate and brightness that vary smoothly over the
sensor, so that a map of any summary column shows structure.

Every record kind occurs, the reserved stored values (+inf, NaN, -inf) turn
up now and then in the scaled words, and pulses never touch: every pulse
starts at least one frame after the end of the previous one, as a pulse
caller writes them, so that filters pass their order check.

Records are generated and written a chunk of apertures at a time, so memory
stays bounded whatever the file's size; the file is written under a
temporary name beside its destination and renamed into place when complete.
"""

from __future__ import annotations

import json
import math
import os
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Union

from kvt_pulse_tools._atomic import atomic_output
from kvt_pulse_tools._format import (
    INDEX_MAGIC,
    MAGIC,
    METADATA_OFFSET,
    RECORD_SIZE,
    FileHeader,
    block_size,
    index_entry_dtype,
    index_size,
)

PathArg = Union[str, "os.PathLike[str]"]

# Kind codes, in the order of the module's words.
PULSE, PADDING, LONG_UPDATE, LONG_DROPPED, STEP_UP, STEP_DOWN, BACKGROUND, UNKNOWN = range(8)
# Word-6 markers of the long-pulse and step records.
_MARKERS = {LONG_UPDATE: 0xFFFD, LONG_DROPPED: 0xFFFE, STEP_UP: 0xFFFB, STEP_DOWN: 0xFFFA}
# Share of each kind among the records of active and of quiet apertures.
_ACTIVE_MIX = (0.82, 0.01, 0.03, 0.02, 0.02, 0.02, 0.07, 0.01)
_QUIET_MIX = (0.0, 0.03, 0.0, 0.0, 0.04, 0.04, 0.88, 0.01)
# Reserved stored values of a scaled word: +inf, NaN, -inf.
_RESERVED = (0x7FFF, 0x8000, 0x8001)
_RESERVED_SHARE = 0.002
# Encoding records (code, scale exponent, offset) for words 0 to 7:
# intensities in eighths, background means in eighths around 1000, standard
# deviations in sixteenths.
_ENCODINGS = ((0, 0, 0), (1, 0, 0), (2, 3, 0), (3, 3, 0), (4, 3, 1000), (5, 3, 1000), (6, 4, 0), (7, 4, 0))
# Records generated at a time (about 4 MiB of output: small arrays are cheaper to fill).
_CHUNK_RECORDS = 1 << 18


@dataclass(frozen=True)
class SynthSummary:
    """What :func:`synthesize` wrote."""

    path: str
    apertures: int
    records: int
    pulses: int
    rows: int
    cols: int
    file_size: int


def synthesize(
    path: PathArg,
    apertures: int = 1000,
    records: int | tuple[int, int] = (50, 500),
    seed: int = 0,
    fps: float = 100.0,
    duration: float = 3600.0,
    progress: Callable[[int, int], None] | None = None,
) -> SynthSummary:
    """Writes a synthetic pulse file at ``path``.

    ``apertures`` is the number of apertures in the file; ``records`` the
    number of records of each, or a range ``(low, high)`` (both included) from
    which each aperture's count is drawn. The same arguments and ``seed`` give
    the same file. ``progress``, when given, is called after each piece of the
    file with the number of bytes just written and the file's size.
    """
    import numpy as np

    if apertures < 1:
        raise ValueError("a pulse file needs at least one aperture")
    low, high = (records, records) if isinstance(records, int) else records
    if not 0 <= low <= high or high >= 1 << 32:
        raise ValueError(f"records must be a count or a range low <= high of counts, not {records!r}")
    if not (fps > 0 and math.isfinite(fps)) or not (duration > 0 and math.isfinite(duration)):
        raise ValueError("fps and duration must be positive")
    # Every pulse ends by the run's last frame: an aperture's gaps and pulses
    # are shortened in proportion where they would run past it, which needs
    # at least two frames for each record (a gap and a pulse of one frame).
    run_frames = math.floor(fps * duration)
    if run_frames < 4 * (high + 1):
        raise ValueError(f"a run of {run_frames} frames is too short for {high} records an aperture")

    rng = np.random.default_rng(seed)
    layout = _sensor_layout(rng, apertures)
    counts = rng.integers(low, high, size=apertures, endpoint=True, dtype=np.int64)
    total_records = int(counts.sum())
    # Mean frames from one record to the next, so that a run spans about the
    # whole duration; a u16 holds at most 65535.
    mean_step = min(max(fps * duration / max(high, 1), 2.0), 20000.0)

    metadata = _metadata(layout, fps, duration)
    data_offset = -(-(METADATA_OFFSET + len(metadata)) // 16) * 16
    block_sizes = block_size(counts)
    offsets = data_offset + np.concatenate(([0], np.cumsum(block_sizes)[:-1]))
    index_offset = data_offset + int(block_sizes.sum())
    header = FileHeader(
        magic=MAGIC,
        reserved1=0,
        num_apertures=apertures,
        metadata_length=len(metadata),
        encoding_record_type=1,
        encoding_record_size=4,
        num_encoding_records=8,
        reserved2=0,
        record_size=RECORD_SIZE,
        data_offset=data_offset,
        index_offset=index_offset,
    )
    encodings = b"".join(
        bytes([code, exponent]) + offset.to_bytes(2, "little") for code, exponent, offset in _ENCODINGS
    )

    file_size = index_offset + index_size(apertures)
    pulses = 0
    with atomic_output(path) as temporary, open(temporary, "wb") as out:
        out.write(header.pack() + encodings + metadata)
        out.write(bytes(data_offset - METADATA_OFFSET - len(metadata)))
        if progress is not None:
            progress(data_offset, file_size)
        # Chunks of whole apertures, about _CHUNK_RECORDS records each, made on
        # two threads (NumPy releases the interpreter lock while it fills
        # arrays) and written in order; each chunk draws from a generator of
        # its own, so the file does not depend on the threads' timing.
        ends = (
            np.searchsorted(
                np.cumsum(counts), np.arange(1, total_records // _CHUNK_RECORDS + 1) * _CHUNK_RECORDS, side="left"
            )
            + 1
        )
        bounds = np.unique(np.concatenate(([0], np.minimum(ends, apertures), [apertures])))

        def make(k: int) -> tuple[Any, int]:
            first, last = int(bounds[k]), int(bounds[k + 1])
            return _blocks(
                np.random.default_rng([seed, k]), layout, first, last, counts[first:last], mean_step, run_frames
            )

        with ThreadPoolExecutor(max_workers=2) as pool:
            pending: deque[Future[tuple[Any, int]]] = deque()
            for k in range(len(bounds) - 1):
                pending.append(pool.submit(make, k))
                while len(pending) > 2 or (k == len(bounds) - 2 and pending):
                    blocks, chunk_pulses = pending.popleft().result()
                    out.write(memoryview(blocks).cast("B"))
                    pulses += chunk_pulses
                    if progress is not None:
                        progress(blocks.nbytes, file_size)
        index = np.empty(apertures, dtype=index_entry_dtype())
        index["aperture"] = layout.numbers
        index["offset"] = offsets
        out.write(INDEX_MAGIC + index.tobytes())
        if progress is not None:
            progress(index_size(apertures), file_size)
        out.flush()
        os.fsync(out.fileno())
    return SynthSummary(os.fspath(path), apertures, total_records, pulses, layout.rows, layout.cols, file_size)


@dataclass(frozen=True)
class _Layout:
    rows: int
    cols: int
    numbers: Any  # the apertures' numbers, ascending (u32)
    quiet: Any  # per aperture: records no pulses
    activity: Any  # per aperture: 0.2 .. 1, the pulse rate's and brightness's scale


def _sensor_layout(rng: Any, apertures: int) -> _Layout:
    import numpy as np

    # About a quarter of the sites are dead, so the grid has room to spare.
    sites = max(4, math.ceil(apertures / 0.75))
    cols = max(2, math.ceil(math.sqrt(sites * 2)))  # twice as wide as high
    rows = max(2, math.ceil(sites / cols))
    y, x = np.divmod(np.arange(rows * cols, dtype=np.int64), cols)
    u, v = x / cols, y / rows
    dead_rectangle = (u > 0.62) & (u < 0.82) & (v > 0.15) & (v < 0.55)
    alive = np.flatnonzero(~dead_rectangle)
    numbers = np.sort(rng.choice(alive, size=apertures, replace=False)).astype(np.uint32)
    nx, ny = (numbers % cols) / cols, (numbers // cols) / rows
    quiet = (nx > 0.08) & (nx < 0.16)  # a band of live apertures without pulses
    # Brighter and busier towards the sensor's centre.
    activity = 0.2 + 0.8 * np.exp(-(((nx - 0.45) / 0.35) ** 2 + ((ny - 0.5) / 0.45) ** 2))
    return _Layout(rows, cols, numbers, quiet, activity)


def _metadata(layout: _Layout, fps: float, duration: float) -> bytes:
    import numpy as np

    cols = layout.cols
    left = int(np.count_nonzero(layout.numbers % cols < cols // 2))
    metadata = {
        "cols": cols,
        "duration": duration,
        "fps": fps,
        "pulseCaller": {"options": ["trim_boundary_frames"], "version": "synthetic"},
        "roi_cols": cols,
        "roi_offset_col": 0,
        "roi_rows": layout.rows,
        "rows": layout.rows,
        "source": "kvt_pulse_tools.synthesize",
        "validWells": int(layout.numbers.size),
        "validWellsLeft": left,
        "validWellsRight": int(layout.numbers.size) - left,
    }
    return json.dumps(metadata, sort_keys=True).encode()


def _blocks(
    rng: Any, layout: _Layout, first: int, last: int, counts: Any, mean_step: float, run_frames: int
) -> tuple[Any, int]:
    """The blocks of apertures first .. last - 1, back to back, as rows of
    eight u16 words, and the number of pulses among them.

    Every row is computed as a record, the aperture headers' rows too, which
    are then overwritten: so each word is written in place, with no scatter
    of records between the headers."""
    import numpy as np

    apertures = last - first
    n = int(counts.sum()) + apertures
    owner = np.repeat(np.arange(first, last), counts + 1)  # each row's aperture
    header_rows = np.concatenate(([0], np.cumsum(counts + 1)[:-1]))
    activity = layout.activity[owner].astype(np.float32)

    noise = rng.integers(0, 1 << 16, size=(8, n), dtype=np.uint16)
    # Kind of each record, drawn from its aperture's mix (a table of 1024 draws each).
    mixes = np.stack([_kind_table(_ACTIVE_MIX), _kind_table(_QUIET_MIX)])
    kinds = mixes.reshape(-1)[(noise[0] & 1023) + 1024 * layout.quiet[owner]]
    kinds[header_rows] = BACKGROUND
    is_pulse = kinds == PULSE

    block = np.empty((n, 8), dtype=np.uint16)
    # w0: frames since the previous record; at least 1 before a pulse, so
    # pulses never touch. Busier apertures have shorter gaps.
    steps = _exponential(rng, n)
    steps *= np.float32(mean_step) / activity
    gaps = np.clip(steps, 1, 65534)
    # w1: the pulse's duration in frames (0 for every other kind).
    durations = _exponential(rng, n)
    durations *= 5 + 20 * activity
    lengths = np.where(is_pulse, np.minimum(durations, 65533) + 1, 0)
    gaps, lengths = _fit_in_run(kinds, header_rows, gaps, lengths, run_frames)
    block[:, 0] = np.where(kinds == PADDING, np.uint16(0xFFFF), gaps.astype(np.uint16))  # 0xFFFF marks padding
    block[:, 1] = lengths.astype(np.uint16)
    # Scaled measurements in their words' units: intensities (bin 0 dimmer than
    # bin 1), background means near 1000, standard deviations near 20.
    brightness = (150 + 250 * activity).astype(np.int32)
    no_intensity = kinds == BACKGROUND
    block[:, 2] = np.where(no_intensity, 0, brightness * 6 + (noise[2] & 2047) - 1024)
    block[:, 3] = np.where(no_intensity, 0, brightness * 8 + (noise[3] & 2047) - 1024)
    # Long-pulse and step records: a marker in w6 and a 32-bit frame count in w4, w5.
    markers = np.zeros(8, dtype=np.uint16)
    for kind, marker in _MARKERS.items():
        markers[kind] = marker
    marker = markers[kinds]
    marked = marker != 0
    long_frames = (noise[4] & 0x3FF).astype(np.int32) * 97 + 70000
    block[:, 4] = np.where(marked, long_frames & 0xFFFF, (noise[4] & 511).astype(np.int32) - 256)
    block[:, 5] = np.where(marked, long_frames >> 16, (noise[5] & 511).astype(np.int32) - 256)
    block[:, 6] = np.where(marked, marker, 240 + (noise[6] & 255))
    block[:, 7] = 240 + (noise[7] & 255)

    # The reserved values now and then, in the scaled words of pulses.
    reserved = np.flatnonzero(is_pulse & (noise[1] < int(_RESERVED_SHARE * 65536)))
    if reserved.size:
        columns = rng.integers(2, 8, size=reserved.size)
        block[reserved, columns] = np.asarray(_RESERVED, dtype=np.uint16)[rng.integers(0, 3, size=reserved.size)]

    numbers = layout.numbers[first:last]
    headers = np.empty((apertures, 4), dtype="<u4")
    headers[:, 0] = numbers % layout.cols
    headers[:, 1] = numbers // layout.cols
    headers[:, 2] = numbers
    headers[:, 3] = counts
    block[header_rows] = headers.view("<u2")
    return block, int(np.count_nonzero(is_pulse))


def _fit_in_run(kinds: Any, starts: Any, gaps: Any, lengths: Any, run_frames: int) -> tuple[Any, Any]:
    """Gaps and pulse lengths (in frames) with which every pulse of each
    aperture ends by frame ``run_frames``.

    A record's gap moves the aperture's frame counter, and a pulse moves it by
    its length too; a padding record moves it by 65535 frames. Of the records
    up to an aperture's last pulse, padding beyond half the run's frames
    becomes background, and where the rest would still run past the end, its
    gaps and lengths are scaled down alike (each kept at one frame at least,
    for which the scale leaves room). ``kinds`` is changed in place; the
    header rows at ``starts`` count for nothing."""
    import numpy as np

    n = kinds.size
    row = np.arange(n)
    owner = np.repeat(np.arange(starts.size), np.diff(np.append(starts, n)))
    last_pulse = np.maximum.reduceat(np.where(kinds == PULSE, row, -1), starts)
    placing = row <= last_pulse[owner]  # rows that place the aperture's last pulse
    placing[starts] = False
    padding = placing & (kinds == PADDING)
    seen = np.cumsum(padding)
    excess = padding & (seen - seen[starts][owner] > run_frames // 2 // 0xFFFF)
    kinds[excess] = BACKGROUND
    padding &= ~excess
    variable = placing & ~padding
    pulses = placing & (kinds == PULSE)
    frames = np.add.reduceat(np.where(variable, gaps, 0) + np.where(pulses, lengths, 0), starts, dtype=np.float64)
    terms = np.add.reduceat(variable.astype(np.int64) + pulses, starts)
    fixed = 0xFFFF * np.add.reduceat(padding.astype(np.int64), starts)
    room = run_frames - fixed
    scale = np.where(frames > room, (room - terms) / np.maximum(frames, 1), 1.0)[owner]
    gaps = np.where(variable, np.maximum(np.floor(gaps * scale), 1), gaps)
    lengths = np.where(pulses, np.maximum(np.floor(lengths * scale), 1), lengths)
    return gaps, lengths


def _exponential(rng: Any, n: int) -> Any:
    """n draws of the unit exponential distribution in single precision, by
    inversion: many times faster than Generator.exponential."""
    import numpy as np

    draws = rng.random(n, dtype=np.float32)
    np.negative(draws, out=draws)
    np.log1p(draws, out=draws)
    np.negative(draws, out=draws)
    return draws


def _kind_table(mix: tuple[float, ...]) -> Any:
    """1024 kind codes in the shares of ``mix``, to draw from with 10 random bits."""
    import numpy as np

    bounds = np.round(np.cumsum(mix) * 1024).astype(np.int64)
    return np.minimum(np.searchsorted(bounds, np.arange(1024), side="right"), UNKNOWN).astype(np.uint8)


def parse_records(text: str) -> int | tuple[int, int]:
    """ "300" or "50-500" (as the command takes --records)."""
    low, dash, high = text.partition("-")
    try:
        if not dash:
            return int(text)
        return int(low), int(high)
    except ValueError:
        raise ValueError(f"expected a count or LOW-HIGH, not {text!r}") from None


__all__ = ["SynthSummary", "parse_records", "synthesize"]
