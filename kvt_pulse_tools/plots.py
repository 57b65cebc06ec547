"""Pictures of a pulse file, drawn with matplotlib in the format that the
output's extension names (PNG, SVG, PDF, JPEG).

- :func:`sensor_map`: a summary column over the sensor, aperture_x across and
  aperture_y down; apertures absent from the file (dead regions) and
  apertures with no pulse (quiet ones) each in a colour of their own, named
  in a legend;
- :func:`aperture_pulses`: one aperture's pulses over time, each a bar as
  wide as its duration and as high as its intensity, coloured by its
  signal-to-noise ratio;
- :func:`histogram`: a pulse column over the whole file, read a batch at a
  time, so that its memory does not grow with the run.
"""

from __future__ import annotations

import os
from typing import Any, Union

from kvt_pulse_tools._atomic import atomic_output
from kvt_pulse_tools._errors import ToolError, require

PathArg = Union[str, "os.PathLike[str]"]

#: Units of the columns, for axis labels and colour bars.
UNITS = {
    "dur_s": "s",
    "ipd_s": "s",
    "first_start_s": "s",
    "last_end_s": "s",
    "mean_dur_s": "s",
    "mean_ipd_s": "s",
    "dur_f": "frames",
    "ipd_f": "frames",
    "start_f": "frames",
    "end_f": "frames",
    "pulse_rate_hz": "Hz",
    "num_pulses": "pulses",
    "num_records": "records",
}
SIZE_INCHES = (8.0, 5.0)
DPI = 100
#: The extensions a picture may have, and matplotlib's name of their format.
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf", ".jpg": "jpeg", ".jpeg": "jpeg"}
#: The map's colours of apertures that hold no value.
ABSENT_COLOUR = "#b0b0b0"
NO_PULSES_COLOUR = "#d62728"


def picture_format(path: PathArg) -> str:
    """The format that ``path``'s extension names; ToolError for any other."""
    extension = os.path.splitext(os.fspath(path))[1].lower()
    if extension not in FORMATS:
        raise ToolError(f"cannot write a picture as {os.fspath(path)}: use one of " + ", ".join(sorted(FORMATS)))
    return FORMATS[extension]


def _pyplot() -> Any:
    matplotlib = require("matplotlib", "drawing plots", "plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _label(column: str) -> str:
    unit = UNITS.get(column)
    return f"{column} ({unit})" if unit else column


def _save(figure: Any, path: PathArg) -> None:
    # Written beside the destination and renamed into place when complete.
    kind = picture_format(path)
    with atomic_output(path) as temporary, open(temporary, "wb") as sink:
        figure.savefig(sink, format=kind, dpi=DPI)
    _pyplot().close(figure)


def sensor_map(path: PathArg, column: str, out: PathArg, pulse_filter_kwargs: dict[str, Any] | None = None) -> None:
    """A heat map of the summary column ``column`` over the sensor."""
    import numpy as np
    from kvt_pulse_reader import PulseReader

    plt = _pyplot()
    with PulseReader(os.fspath(path)) as reader:
        summary = reader.summarize(pulse_filter_kwargs=pulse_filter_kwargs)
        metadata = reader.metadata
    if column not in summary.columns or column == "aperture_index":
        raise ValueError(f"no summary column {column!r}: the columns are " + ", ".join(summary.columns[1:]))
    x = summary["aperture_x"].to_numpy(np.int64)
    y = summary["aperture_y"].to_numpy(np.int64)
    cols = max(int(metadata.get("cols", 0) or 0), int(x.max(initial=-1)) + 1)
    rows = max(int(metadata.get("rows", 0) or 0), int(y.max(initial=-1)) + 1)
    grid = np.full((rows, cols), np.nan)
    grid[y, x] = summary[column].to_numpy(np.float64)
    # 0: a value; 1: no aperture there; 2: an aperture without a pulse.
    kinds = np.ones((rows, cols), dtype=np.int8)
    kinds[y, x] = np.where(summary["num_pulses"].to_numpy() == 0, 2, 0)
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    image = axes.imshow(
        np.ma.masked_where(kinds != 0, grid), origin="upper", aspect="auto", interpolation="nearest", cmap="viridis"
    )
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    axes.imshow(
        np.ma.masked_equal(kinds, 0),
        origin="upper",
        aspect="auto",
        interpolation="nearest",
        cmap=ListedColormap([ABSENT_COLOUR, NO_PULSES_COLOUR]),
        vmin=1,
        vmax=2,
    )
    legend = [
        Patch(color=ABSENT_COLOUR, label="absent from the file"),
        Patch(color=NO_PULSES_COLOUR, label="no pulses"),
    ]
    figure.legend(handles=legend, loc="lower left", ncol=2, fontsize="small", frameon=False)
    figure.colorbar(image, ax=axes, label=_label(column))
    axes.set_title(f"{column} per aperture: {os.path.basename(os.fspath(path))}")
    axes.set_xlabel("aperture_x (column)")
    axes.set_ylabel("aperture_y (row)")
    figure.tight_layout(rect=(0.0, 0.05, 1.0, 1.0))  # room for the legend below
    _save(figure, out)


def aperture_pulses(
    path: PathArg, aperture: int, out: PathArg, pulse_filter_kwargs: dict[str, Any] | None = None
) -> None:
    """One aperture's pulses: intensity against time in seconds."""
    import numpy as np
    from kvt_pulse_reader import PulseReader

    plt = _pyplot()
    with PulseReader(os.fspath(path)) as reader:
        pulses = reader.get_pulses(aperture, pulse_filter_kwargs=pulse_filter_kwargs)
        records = reader.get_all_records(aperture)
        fps = float(reader.metadata["fps"])
    start = pulses["start_f"].to_numpy(np.float64) / fps
    snr = pulses["snr"].to_numpy(np.float64)
    finite = np.isfinite(snr)
    low, high = np.nanpercentile(snr[finite], [2, 98]) if finite.any() else (0.0, 1.0)
    colours = plt.get_cmap("plasma")(plt.Normalize(low, high)(np.where(finite, snr, low)))
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    axes.bar(
        start,
        pulses["intensity"].to_numpy(np.float64),
        width=pulses["dur_s"].to_numpy(np.float64),
        align="edge",
        color=colours,
        edgecolor=colours,
        linewidth=0.5,
    )
    mappable = plt.cm.ScalarMappable(norm=plt.Normalize(low, high), cmap="plasma")
    figure.colorbar(mappable, ax=axes, label="snr")
    x, y = records.attrs["aperture_x"], records.attrs["aperture_y"]
    axes.set_title(f"aperture {aperture} (x {x}, y {y}): {len(pulses)} pulses")
    axes.set_xlabel("time (s)")
    axes.set_ylabel("intensity")
    figure.tight_layout()
    _save(figure, out)


def histogram(path: PathArg, column: str, out: PathArg, pulse_filter_kwargs: dict[str, Any] | None = None) -> None:
    """A histogram of the pulse column ``column`` over every aperture (see
    :func:`histogram_bins`)."""
    from kvt_pulse_reader import PulseReader

    plt = _pyplot()
    with PulseReader(os.fspath(path)) as reader:
        count, bins, counts = histogram_bins(reader, column, pulse_filter_kwargs)
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    if bins is not None:
        axes.hist(bins[:-1], bins=bins, weights=counts, color="tab:blue")
    axes.set_title(f"{column} of {count} pulses: {os.path.basename(os.fspath(path))}")
    axes.set_xlabel(_label(column))
    axes.set_ylabel("pulses")
    figure.tight_layout()
    _save(figure, out)


def histogram_bins(
    reader: Any, column: str, pulse_filter_kwargs: dict[str, Any] | None = None, batch_records: int = 1_000_000
) -> tuple[int, Any, Any]:
    """(finite values, bin edges, counts) of a pulse column up to its 99.5th
    percentile: one bin per value when it takes at most 200 values (whole
    frames), else 100 bins. The column is read a batch at a time, once to
    find its range and values, and, for 100 bins, twice more: for the
    percentile (from 65,536 fine bins) and for the bins themselves. Edges
    None when no value is finite."""
    import numpy as np

    def batches() -> Any:
        for batch in reader.iter_pulses(
            pulse_filter_kwargs=pulse_filter_kwargs, columns=[column], batch_records=batch_records
        ):
            values = batch[column].to_numpy(np.float64)
            yield values[np.isfinite(values)]

    count, low, high = 0, np.inf, -np.inf
    levels: dict[float, int] | None = {}
    for values in batches():
        count += values.size
        low, high = min(low, values.min(initial=np.inf)), max(high, values.max(initial=-np.inf))
        if levels is not None:
            for value, times in zip(*np.unique(values, return_counts=True)):
                levels[float(value)] = levels.get(float(value), 0) + int(times)
            levels = levels if len(levels) <= 200 else None
    if not count:
        return 0, None, None
    if levels is not None:  # whole frames: one bin per value, no empty bins between
        values = np.array(sorted(levels))
        counts = np.array([levels[value] for value in values.tolist()], dtype=np.int64)
        ends = np.cumsum(counts)
        place = 0.995 * (count - 1)  # the 99.5th percentile, as np.percentile interpolates it
        below = values[np.searchsorted(ends, int(place), side="right")]
        above = values[np.searchsorted(ends, min(int(place) + 1, count - 1), side="right")]
        kept = values <= below + (above - below) * (place - int(place))
        values, counts = values[kept], counts[kept]
        middles = (values[1:] + values[:-1]) / 2
        bins = (
            np.concatenate(([2 * values[0] - middles[0]], middles, [2 * values[-1] - middles[-1]]))
            if values.size > 1
            else np.array([values[0] - 0.5, values[0] + 0.5])
        )
        return count, bins, counts
    fine_edges = np.linspace(low, high, (1 << 16) + 1)
    fine = np.zeros(1 << 16, dtype=np.int64)
    for values in batches():
        fine += np.histogram(values, bins=fine_edges)[0]
    # The fine bin of the value at the percentile's lower rank (np.percentile's
    # interpolation lies between it and the next value): its upper edge caps the bins.
    rank = int(0.995 * (count - 1)) + 1
    cap = fine_edges[int(np.searchsorted(np.cumsum(fine), rank)) + 1]
    bins = np.linspace(low, cap, 101)
    counts = np.zeros(100, dtype=np.int64)
    for values in batches():
        counts += np.histogram(values[values <= cap], bins=bins)[0]
    return count, bins, counts
