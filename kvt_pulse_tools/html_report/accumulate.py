"""A run's numbers for the report, gathered in two passes over the file and
in bounded memory.

The summary pass (``PulseReader.summarize``) gives one row per aperture: the
maps, the record kinds and the most active apertures come from it. The pulse
pass (``PulseReader.iter_pulses``, a batch of whole apertures at a time) feeds
histograms: no pulse outlives its batch.

Distributions are kept in fine bins read straight off a value's single-
precision bits: the sign, the eight exponent bits and the top six mantissa
bits (``bits >> 17``) number 64 bins in each octave, in order of magnitude,
over every float from zero to infinity. A median or a quartile is the
midpoint of the bin holding the pulse of that rank, so it lies within 1/128
of the exact value (relative), or within 1e-37 of it near zero. Infinities
and NaN fall in the bins of exponent 255 and are counted apart.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Union

PathArg = Union[str, "os.PathLike[str]"]

#: The pulse columns whose distributions are shown, and their units.
COLUMNS = ("dur_s", "ipd_s", "snr", "intensity", "binratio")
UNITS = {"dur_s": "s", "ipd_s": "s", "snr": "", "intensity": "", "binratio": ""}
#: Bits below the bin number: 17 leaves 64 bins an octave (relative width 1/64).
FINE_SHIFT = 17
#: The per-minute SNR bins: 16 an octave (median within 1/32), from 2^-16 to
#: 2^24; lower values (and every value at or below zero) share the first bin.
MINUTE_SHIFT = 19
_MINUTE_LOW = (127 - 16) << 4
_MINUTE_HIGH = (127 + 24) << 4
MINUTE_BINS = _MINUTE_HIGH - _MINUTE_LOW + 2
#: At most this many time bins: longer runs get bins of several minutes.
MAX_TIME_BINS = 10_080
#: Rows of the table of most active apertures.
TOP_APERTURES = 10
#: The summary's columns that the report keeps, per aperture.
MAP_COLUMNS = ("num_pulses", "mean_snr", "pulse_rate_hz", "mean_dur_s", "mean_ipd_s")
KINDS = ("pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown")
KIND_COLUMNS = (
    "num_pulses",
    "num_padding",
    "num_long_pulse_update",
    "num_long_pulse_dropped",
    "num_step_up",
    "num_step_down",
    "num_background",
    "num_unknown",
)


def bin_edges(shift: int) -> tuple[Any, Any, Any]:
    """For bins of ``bits >> shift``: the finite bins in order of value, and
    each one's lower and upper edge."""
    import numpy as np

    per_sign = 1 << (31 - shift)
    finite = per_sign - (1 << (23 - shift))  # exponent 255 holds infinities and NaN
    magnitude = np.arange(finite, dtype=np.uint32)
    low = (magnitude << shift).view(np.float32).astype(np.float64)
    high = ((magnitude + 1) << shift).view(np.float32).astype(np.float64)
    order = np.concatenate([per_sign + magnitude[::-1], magnitude])
    return order, np.concatenate([-high[::-1], low]), np.concatenate([-low[::-1], high])


def quantiles_of(counts: Any, shift: int, qs: tuple[float, ...] = (0.25, 0.5, 0.75)) -> list[float]:
    """The quantiles (inverted CDF: the value of rank ceil(q n)) of the finite
    values counted in ``counts``, each the midpoint of its bin; NaN when none."""
    import numpy as np

    order, low, high = bin_edges(shift)
    cumulative = np.cumsum(counts[order])
    total = int(cumulative[-1]) if cumulative.size else 0
    if total == 0:
        return [math.nan for _ in qs]
    result = []
    for q in qs:
        i = int(np.searchsorted(cumulative, max(1, math.ceil(q * total)), side="left"))
        result.append(float((low[i] + high[i]) / 2))
    return result


@dataclass
class Distribution:
    """Fine-binned counts of one pulse column."""

    counts: Any
    nonfinite: int = 0
    finite: int = 0
    quartiles: list[float] = field(default_factory=list)


@dataclass
class RunData:
    """Everything the page shows of one run. ``error`` is set (and the rest
    empty) for a file that could not be opened."""

    path: str
    label: str
    error: str | None = None
    info: list[tuple[str, str]] = field(default_factory=list)
    findings: list[str] = field(default_factory=list)
    skipped: list[tuple[int, str]] = field(default_factory=list)
    fps: float = math.nan
    run_dur_s: float = math.nan
    rows: int = 0
    cols: int = 0
    apertures: int = 0
    records: int = 0
    pulses: int = 0
    #: Per aperture read: number, x, y and the MAP_COLUMNS, as NumPy arrays.
    per_aperture: dict[str, Any] = field(default_factory=dict)
    kinds: dict[str, int] = field(default_factory=dict)
    top: list[dict[str, Any]] = field(default_factory=list)
    distributions: dict[str, Distribution] = field(default_factory=dict)
    #: Time bins: their width in minutes, pulses, active apertures and median SNR per bin.
    bin_minutes: int = 1
    minute_pulses: Any = None
    minute_active: Any = None
    minute_snr: Any = None
    minute_seconds: Any = None
    after_end: int = 0


def collect_run(
    path: PathArg,
    pulse_filter_kwargs: dict[str, Any] | None = None,
    apertures: list[int] | None = None,
    ignore_missing: bool = False,
    progress: Callable[[int], None] | None = None,
) -> RunData:
    """Reads the run at ``path`` for the report: its header, the structural
    check, the summary and the pulses' distributions. A file that the reader
    cannot open raises its RuntimeError; damaged apertures are left out and
    named in ``skipped``."""
    import numpy as np
    from kvt_pulse_reader import PulseReader

    from kvt_pulse_tools._errors import ToolError
    from kvt_pulse_tools.check import check_file

    name = os.fspath(path)
    with PulseReader(name) as reader:
        metadata = reader.metadata
        held = reader.apertures
        trimmed = bool(reader.trimmed)
        attrs = reader.read_pulses([], columns=["dur_s"]).attrs
        if apertures is None:
            selection = None  # what the reader reads by default (index entries without a block left out)
        else:
            present = set(held)
            missing = [n for n in apertures if n not in present]
            if missing and not ignore_missing:
                raise ToolError(
                    f"{len(missing)} selected apertures are not in {name}: "
                    + ", ".join(map(str, missing[:10]))
                    + (", ..." if len(missing) > 10 else "")
                )
            selection = list(dict.fromkeys(n for n in apertures if n in present))
        run = RunData(path=name, label=os.path.basename(name))
        run.findings = check_file(name)
        run.fps = float(metadata.get("fps", math.nan))
        run.run_dur_s = float(attrs["run_dur_s"])
        summary, skipped = _summarize(reader, selection, list(dict.fromkeys(held)), pulse_filter_kwargs)
        run.skipped = skipped
        read = summary["aperture_index"].to_numpy(np.uint64)
        run.per_aperture = {
            "aperture": read,
            "x": summary["aperture_x"].to_numpy(np.int64),
            "y": summary["aperture_y"].to_numpy(np.int64),
        }
        for column in MAP_COLUMNS:
            run.per_aperture[column] = summary[column].to_numpy(np.float64)
        run.kinds = {kind: int(summary[column].sum()) for kind, column in zip(KINDS, KIND_COLUMNS)}
        run.records = int(summary["num_records"].sum())
        run.pulses = run.kinds["pulse"]
        run.top = _most_active(summary)
        del summary
        run.rows = max(_int(metadata.get("rows")), int(run.per_aperture["y"].max(initial=-1)) + 1)
        run.cols = max(_int(metadata.get("cols")), int(run.per_aperture["x"].max(initial=-1)) + 1)
        run.apertures = len(read) + len(skipped)
        _pulse_pass(reader, run, [int(n) for n in read], pulse_filter_kwargs, progress)
    run.info = _run_info(run, attrs, metadata, trimmed, pulse_filter_kwargs, os.stat(name).st_size)
    return run


def _int(value: Any) -> int:
    return int(value) if isinstance(value, (int, float)) and math.isfinite(value) and value >= 0 else 0


def _summarize(
    reader: Any, selection: list[int] | None, held: list[int], kwargs: dict[str, Any] | None
) -> tuple[Any, list[tuple[int, str]]]:
    """The summary of the apertures that can be read (of the selection, or by
    default every aperture with a block), and the others with the reason. A
    damaged block fails the whole call: the apertures are then cut in halves
    until each failing part is one aperture, so a few damaged blocks cost a
    few dozen extra calls."""
    import pandas as pd

    skipped: list[tuple[int, str]] = []

    def attempt(part: list[int] | None) -> list[Any]:
        try:
            frame = reader.summarize(part, pulse_filter_kwargs=kwargs, errors="skip")
        except RuntimeError as error:
            part = held if part is None else part
            if len(part) == 1:
                skipped.append((part[0], " ".join(str(error).split())))
                return []
            middle = len(part) // 2
            return attempt(part[:middle]) + attempt(part[middle:])
        numbers = list(frame.attrs.get("skipped_apertures", []))
        reasons = list(frame.attrs.get("skipped_reasons") or [])  # one each, where the module gives them
        reasons += ["its pulses are out of order"] * (len(numbers) - len(reasons))
        skipped.extend((int(number), str(reason)) for number, reason in zip(numbers, reasons))
        return [frame]

    frames = attempt(selection) if selection is None or selection else []
    summary = pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0] if frames else reader.summarize([])
    return summary, sorted(skipped)


def _most_active(summary: Any) -> list[dict[str, Any]]:
    columns = ["aperture_index", "aperture_x", "aperture_y", "num_pulses", "pulse_rate_hz", "mean_snr", "mean_dur_s"]
    top = summary.nlargest(TOP_APERTURES, "num_pulses")[columns]
    return [
        {key: (value.item() if hasattr(value, "item") else value) for key, value in row.items()}
        for row in top.to_dict("records")
    ]


def _pulse_pass(
    reader: Any,
    run: RunData,
    apertures: list[int],
    kwargs: dict[str, Any] | None,
    progress: Callable[[int], None] | None,
) -> None:
    import numpy as np

    fine = {column: np.zeros(1 << (32 - FINE_SHIFT), np.int64) for column in COLUMNS}
    minutes = max(1, math.ceil(run.run_dur_s / 60)) if math.isfinite(run.run_dur_s) else 1
    run.bin_minutes = max(1, math.ceil(minutes / MAX_TIME_BINS))
    bins = max(1, math.ceil(minutes / run.bin_minutes))
    frames_per_bin = run.fps * 60.0 * run.bin_minutes
    pulses = np.zeros(bins, np.int64)
    active = np.zeros(bins, np.int64)
    snr_bins = np.zeros(bins * MINUTE_BINS, np.int64)
    previous = (-1, -1)  # the last (aperture, time bin) of the batch before
    columns = ["aperture_index", "start_f", *COLUMNS]
    for batch in reader.iter_pulses(apertures, pulse_filter_kwargs=kwargs, columns=columns, errors="skip"):
        if not len(batch):
            continue
        for column in COLUMNS:
            values = batch[column].to_numpy(np.float32)
            fine[column] += np.bincount(values.view(np.uint32) >> FINE_SHIFT, minlength=fine[column].size)
        when = (batch["start_f"].to_numpy(np.float64) / frames_per_bin).astype(np.int64)
        inside = when < bins
        run.after_end += int(np.count_nonzero(~inside))
        when = when[inside]
        pulses += np.bincount(when, minlength=bins)
        if when.size:
            number = batch["aperture_index"].to_numpy(np.int64)[inside]
            active += _new_pairs(number, when, bins, previous)
            previous = (int(number[-1]), int(when[-1]))
        snr = batch["snr"].to_numpy(np.float32)[inside]
        finite = np.isfinite(snr)
        code = (snr[finite].view(np.uint32) >> MINUTE_SHIFT).astype(np.int64)
        code = np.where(code >= 1 << (31 - MINUTE_SHIFT), 0, code)  # at or below zero: the lowest bin
        code = np.clip(code - _MINUTE_LOW + 1, 0, MINUTE_BINS - 1)
        snr_bins += np.bincount(when[finite] * MINUTE_BINS + code, minlength=snr_bins.size)
        if progress is not None:
            progress(int(np.unique(batch["aperture_index"].to_numpy()).size))
    for column in COLUMNS:
        counts = fine[column]
        order, _, _ = bin_edges(FINE_SHIFT)
        finite_count = int(counts[order].sum())
        run.distributions[column] = Distribution(
            counts, int(counts.sum()) - finite_count, finite_count, quantiles_of(counts, FINE_SHIFT)
        )
    run.minute_pulses, run.minute_active = pulses, active
    run.minute_snr = np.array([_minute_median(row) for row in snr_bins.reshape(bins, MINUTE_BINS)])
    ends = np.minimum(np.arange(1, bins + 1) * 60.0 * run.bin_minutes, run.run_dur_s)
    run.minute_seconds = ends - np.arange(bins) * 60.0 * run.bin_minutes


def _new_pairs(number: Any, when: Any, bins: int, previous: tuple[int, int]) -> Any:
    """Per time bin, the apertures of a batch with a pulse starting there.

    An aperture's pulses come in order and a batch holds whole apertures, so
    each (aperture, bin) pair is one run of rows, counted where it starts
    (np.unique sorts them where the rows are out of order); a pair that goes
    on from the batch before is counted there."""
    import numpy as np

    same = number[1:] == number[:-1]
    if bool(np.all((np.diff(when) >= 0) | ~same)):
        starts = np.ones(when.size, bool)
        starts[1:] = ~same | (when[1:] != when[:-1])
        starts[0] = (int(number[0]), int(when[0])) != previous
        return np.bincount(when[starts], minlength=bins)
    keys = np.unique(number * bins + when)
    return np.bincount(keys % bins, minlength=bins)


def _minute_median(row: Any) -> float:
    """The median of one time bin's SNR bins (NaN without pulses): 0 when it
    falls in the lowest bin, which holds every value up to 2^-16."""
    import numpy as np

    total = int(row.sum())
    if total == 0:
        return math.nan
    i = int(np.searchsorted(np.cumsum(row), math.ceil(total / 2), side="left"))
    if i == 0:
        return 0.0
    code = np.uint32(min(i - 1 + _MINUTE_LOW, (1 << (31 - MINUTE_SHIFT)) - 1))
    low = float((code << np.uint32(MINUTE_SHIFT)).view(np.float32))
    high = float(((code + np.uint32(1)) << np.uint32(MINUTE_SHIFT)).view(np.float32))
    return (low + high) / 2


def _run_info(
    run: RunData,
    attrs: Mapping[Any, Any],
    metadata: Mapping[str, Any],
    trimmed: bool,
    kwargs: dict[str, Any] | None,
    size: int,
) -> list[tuple[str, str]]:
    filters = ", ".join(f"{key}={value}" for key, value in (kwargs or {}).items()) or "none"
    verdict = "no problems found" if not run.findings else f"{len(run.findings)} problems found"
    return [
        ("file", run.path),
        ("size", f"{size:,} bytes ({size / 1e6:,.1f} MB)"),
        ("analysis id", str(attrs.get("analysis_id", ""))),
        ("fps", f"{run.fps:g} frames/s"),
        ("duration", f"{run.run_dur_s:g} s ({run.run_dur_s / 60:.1f} min)"),
        ("sensor", f"{_int(metadata.get('rows'))} rows × {_int(metadata.get('cols'))} cols"),
        ("trimming", "trimmed boundary frames" if trimmed else "not trimmed"),
        ("apertures", f"{run.apertures:,}" + (f" ({len(run.skipped):,} not read)" if run.skipped else "")),
        ("records", f"{run.records:,}"),
        ("pulses", f"{run.pulses:,}"),
        ("filter", filters),
        ("structural check", verdict),
    ]
