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
  time, so that its memory is one column of the run in single precision.
"""

from __future__ import annotations

import os
from typing import Any, Union

from kvt_pulse_tools._atomic import atomic_output
from kvt_pulse_tools._errors import ToolError, require

PathArg = Union[str, "os.PathLike[str]"]

#: Units of the columns, for axis labels and colour bars.
UNITS = {
    "dur_s": "s", "ipd_s": "s", "first_start_s": "s", "last_end_s": "s", "mean_dur_s": "s", "mean_ipd_s": "s",
    "dur_f": "frames", "ipd_f": "frames", "start_f": "frames", "end_f": "frames", "pulse_rate_hz": "Hz",
    "num_pulses": "pulses", "num_records": "records",
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
    image = axes.imshow(np.ma.masked_where(kinds != 0, grid), origin="upper", aspect="auto",
                        interpolation="nearest", cmap="viridis")
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    axes.imshow(np.ma.masked_equal(kinds, 0), origin="upper", aspect="auto", interpolation="nearest",
                cmap=ListedColormap([ABSENT_COLOUR, NO_PULSES_COLOUR]), vmin=1, vmax=2)
    legend = [Patch(color=ABSENT_COLOUR, label="absent from the file"),
              Patch(color=NO_PULSES_COLOUR, label="no pulses")]
    figure.legend(handles=legend, loc="lower left", ncol=2, fontsize="small", frameon=False)
    figure.colorbar(image, ax=axes, label=_label(column))
    axes.set_title(f"{column} per aperture: {os.path.basename(os.fspath(path))}")
    axes.set_xlabel("aperture_x (column)")
    axes.set_ylabel("aperture_y (row)")
    figure.tight_layout(rect=(0.0, 0.05, 1.0, 1.0))  # room for the legend below
    _save(figure, out)


def aperture_pulses(path: PathArg, aperture: int, out: PathArg,
                    pulse_filter_kwargs: dict[str, Any] | None = None) -> None:
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
    low, high = (np.nanpercentile(snr[finite], [2, 98]) if finite.any() else (0.0, 1.0))
    colours = plt.get_cmap("plasma")(plt.Normalize(low, high)(np.where(finite, snr, low)))
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    axes.bar(start, pulses["intensity"].to_numpy(np.float64), width=pulses["dur_s"].to_numpy(np.float64),
             align="edge", color=colours, edgecolor=colours, linewidth=0.5)
    mappable = plt.cm.ScalarMappable(norm=plt.Normalize(low, high), cmap="plasma")
    figure.colorbar(mappable, ax=axes, label="snr")
    x, y = records.attrs["aperture_x"], records.attrs["aperture_y"]
    axes.set_title(f"aperture {aperture} (x {x}, y {y}): {len(pulses)} pulses")
    axes.set_xlabel("time (s)")
    axes.set_ylabel("intensity")
    figure.tight_layout()
    _save(figure, out)


def histogram(path: PathArg, column: str, out: PathArg, pulse_filter_kwargs: dict[str, Any] | None = None) -> None:
    """A histogram of the pulse column ``column`` over every aperture."""
    import numpy as np

    from kvt_pulse_reader import PulseReader

    plt = _pyplot()
    with PulseReader(os.fspath(path)) as reader:
        # A pulse is made of one record at least: the records' total bounds
        # the pulses, and only the pages written are ever taken.
        bound = int(reader.block_table()["num_records"].sum(dtype=np.uint64))
        values = np.empty(bound, dtype=np.float32)
        held = 0
        for batch in reader.iter_pulses(pulse_filter_kwargs=pulse_filter_kwargs, columns=[column]):
            column_values = batch[column].to_numpy(np.float32)
            column_values = column_values[np.isfinite(column_values)]
            values[held:held + column_values.size] = column_values
            held += column_values.size
    data = values[:held]
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    if data.size:
        data.sort()  # in place: the 99.5th percentile and the levels without a copy
        shown = data[:int(np.searchsorted(data, np.percentile(data, 99.5), side="right"))]
        levels = _levels(shown, 201)
        if levels.size <= 200:  # whole frames: one bin per value, no empty bins between
            middles = (levels[1:] + levels[:-1]) / 2
            bins: Any = (np.concatenate(([2 * levels[0] - middles[0]], middles, [2 * levels[-1] - middles[-1]]))
                         if levels.size > 1 else np.array([levels[0] - 0.5, levels[0] + 0.5]))
        else:
            bins = np.linspace(float(shown[0]), float(shown[-1]), 101)
        counts = np.zeros(len(bins) - 1, dtype=np.int64)
        for first in range(0, shown.size, 1 << 22):  # np.histogram of a block at a time: no float64 copy
            counts += np.histogram(shown[first:first + (1 << 22)], bins=bins)[0]
        axes.hist(bins[:-1], bins=bins, weights=counts, color="tab:blue")
    axes.set_title(f"{column} of {data.size} pulses: {os.path.basename(os.fspath(path))}")
    axes.set_xlabel(_label(column))
    axes.set_ylabel("pulses")
    figure.tight_layout()
    _save(figure, out)


def _levels(ordered: Any, most: int) -> Any:
    """The distinct values of an ascending array, or the first ``most`` of
    them when it has more, found a block at a time."""
    import numpy as np

    found: list[Any] = []
    for first in range(0, ordered.size, 1 << 20):
        block = ordered[first:first + (1 << 20)]
        starts = np.flatnonzero(np.diff(block)) + 1
        fresh = block[np.concatenate(([0], starts))]
        if found and fresh[0] == found[-1]:
            fresh = fresh[1:]
        found.extend(fresh[:most - len(found) + 1].tolist())
        if len(found) > most - 1:
            break
    return np.asarray(found[:most], dtype=np.float64)
