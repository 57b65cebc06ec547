"""Pictures of a pulse file, drawn with matplotlib into PNG files.

- :func:`sensor_map`: a summary column over the sensor, aperture_x across and
  aperture_y down, apertures absent from the file left blank;
- :func:`aperture_pulses`: one aperture's pulses over time, each a bar as
  wide as its duration and as high as its intensity, coloured by its
  signal-to-noise ratio;
- :func:`histogram`: a pulse column over the whole file.
"""

from __future__ import annotations

import os
from typing import Any, Union

from kvt_pulse_tools._atomic import atomic_output
from kvt_pulse_tools._errors import require

PathArg = Union[str, "os.PathLike[str]"]

#: Units of the columns, for axis labels and colour bars.
UNITS = {
    "dur_s": "s", "ipd_s": "s", "first_start_s": "s", "last_end_s": "s", "mean_dur_s": "s", "mean_ipd_s": "s",
    "dur_f": "frames", "ipd_f": "frames", "start_f": "frames", "end_f": "frames", "pulse_rate_hz": "Hz",
    "num_pulses": "pulses", "num_records": "records",
}
SIZE_INCHES = (8.0, 5.0)
DPI = 100


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
    with atomic_output(path) as temporary, open(temporary, "wb") as sink:
        figure.savefig(sink, format="png", dpi=DPI)
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
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    image = axes.imshow(np.ma.masked_invalid(grid), origin="upper", aspect="auto", interpolation="nearest",
                        cmap="viridis")
    figure.colorbar(image, ax=axes, label=_label(column))
    axes.set_title(f"{column} per aperture: {os.path.basename(os.fspath(path))}")
    axes.set_xlabel("aperture_x (column)")
    axes.set_ylabel("aperture_y (row)")
    figure.tight_layout()
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
        values = reader.read_pulses(pulse_filter_kwargs=pulse_filter_kwargs, columns=[column])[column]
    data = values.to_numpy(np.float64)
    data = data[np.isfinite(data)]
    figure, axes = plt.subplots(figsize=SIZE_INCHES)
    if data.size:
        shown = data[data <= np.percentile(data, 99.5)]
        levels = np.unique(shown)
        if levels.size <= 200:  # whole frames: one bin per value, no empty bins between
            middles = (levels[1:] + levels[:-1]) / 2
            bins: Any = (np.concatenate(([2 * levels[0] - middles[0]], middles, [2 * levels[-1] - middles[-1]]))
                         if levels.size > 1 else 1)
        else:
            bins = 100
        axes.hist(shown, bins=bins, color="tab:blue")
    axes.set_title(f"{column} of {data.size} pulses: {os.path.basename(os.fspath(path))}")
    axes.set_xlabel(_label(column))
    axes.set_ylabel("pulses")
    figure.tight_layout()
    _save(figure, out)
