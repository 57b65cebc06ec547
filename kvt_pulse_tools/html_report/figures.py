"""The report's figures, as plotly.js figures (plain dicts).

Large arrays travel as base64 typed arrays, ``{"b64": ..., "dtype": "f4",
"shape": [rows, cols]}``, which the page unpacks before plotting: a float
takes 5.3 bytes of page instead of the 10 to 20 of its decimal text. Arrays
that several figures share are given once and referred to as
``{"ref": name}``.

Maps are heatmaps of the sensor grid, one cell an aperture; a sensor of more
than :data:`MAX_CELLS` sites is drawn in square tiles of neighbouring
apertures, each showing the mean of its apertures' values, and hovering names
the tile's apertures. Apertures absent from the file, and apertures without
a value (no pulses, so no mean), are drawn in colours of their own, with a
legend entry each.
"""

from __future__ import annotations

import base64
import math
from typing import Any

from kvt_pulse_tools.html_report.accumulate import FINE_SHIFT, UNITS, RunData, bin_edges, quantiles_of

#: Most cells of one map; beyond, apertures are drawn in tiles.
MAX_CELLS = 50_000
ABSENT_COLOUR = "#c8c8c8"
NO_VALUE_COLOUR = "#f7a8c8"
#: (summary column, title, unit, what a cell without value means)
MAPS = (
    ("num_pulses", "Pulses per aperture", "", "no pulses"),
    ("mean_snr", "Mean SNR", "", "no pulses"),
    ("pulse_rate_hz", "Pulse rate", "Hz", "no pulses"),
    ("mean_dur_s", "Mean pulse duration", "s", "no pulses"),
    ("mean_ipd_s", "Mean inter-pulse duration", "s", "fewer than two pulses"),
)
TITLES = {
    "dur_s": "Pulse duration",
    "ipd_s": "Inter-pulse duration",
    "snr": "Signal-to-noise ratio",
    "intensity": "Intensity",
    "binratio": "Bin ratio (bin 0 / bin 1 intensity)",
}
#: Display bins of a distribution.
DISPLAY_BINS = 80
PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf")


def packed(array: Any, dtype: str) -> dict[str, Any]:
    """A NumPy array as a base64 typed array of ``dtype`` (f4, f8, u4, i4),
    or of "m1", a mask of one byte a value that the page reads as 1 where
    true and as a gap (null) where false."""
    import numpy as np

    data = np.ascontiguousarray(array, dtype=np.uint8 if dtype == "m1" else np.dtype(dtype).newbyteorder("<"))
    return {"b64": base64.b64encode(data.tobytes()).decode("ascii"), "dtype": dtype, "shape": list(data.shape)}


def axis_title(text: str, unit: str) -> str:
    return f"{text} ({unit})" if unit else text


def tile_size(rows: int, cols: int) -> int:
    """The side of a map's tiles, in apertures: 1 up to MAX_CELLS sites, else
    the smallest side that keeps the map within MAX_CELLS tiles, however long
    and narrow the sensor (apertures far outside the sensor's rows and columns
    grow it to hold them)."""
    side = max(1, math.ceil(math.sqrt(rows * cols / MAX_CELLS)), math.ceil(max(rows, cols) / MAX_CELLS))
    while math.ceil(rows / side) * math.ceil(cols / side) > MAX_CELLS:
        side += max(1, side // 64)
    return side


class SensorGrid:
    """The map cells of one run: which apertures each holds, and the mean of
    a per-aperture value over each."""

    def __init__(self, run: RunData) -> None:
        import numpy as np

        per = run.per_aperture
        self.tile = tile_size(run.rows, run.cols)
        self.shape = (max(1, math.ceil(run.rows / self.tile)), max(1, math.ceil(run.cols / self.tile)))
        x, y = per["x"], per["y"]
        self.cell = (y // self.tile) * self.shape[1] + x // self.tile
        size = self.shape[0] * self.shape[1]
        self.count = np.bincount(self.cell, minlength=size)
        numbers = per["aperture"]
        order = np.lexsort((numbers, self.cell))
        cells, starts = np.unique(self.cell[order], return_index=True)
        # A run without readable apertures has no cells to name.
        ends = np.append(starts[1:], order.size)[: starts.size] - 1
        first = np.zeros(size, np.uint32)
        last = np.zeros(size, np.uint32)
        first[cells] = numbers[order][starts]
        last[cells] = numbers[order][ends]
        if self.tile == 1:
            self.customdata = packed(first.reshape(self.shape), "u4")
        else:
            row, col = np.divmod(np.arange(size), self.shape[1])
            channels = [
                first,
                last,
                self.count,
                col * self.tile,
                np.minimum(col * self.tile + self.tile, run.cols) - 1,
                row * self.tile,
                np.minimum(row * self.tile + self.tile, run.rows) - 1,
            ]
            self.customdata = packed(np.stack(channels, axis=-1).reshape(*self.shape, 7), "u4")

    def mean(self, values: Any) -> Any:
        """Each cell's mean of the apertures' finite values; NaN without any."""
        import numpy as np

        finite = np.isfinite(values)
        size = self.count.size
        sums = np.bincount(self.cell[finite], weights=values[finite], minlength=size)
        held = np.bincount(self.cell[finite], minlength=size)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(held > 0, sums / np.maximum(held, 1), np.nan).reshape(self.shape)


def sensor_maps(run: RunData, grid: SensorGrid, key: str) -> list[dict[str, Any]]:
    """The five maps of one run over ``grid``; ``key`` names the grid's
    customdata among the page's shared arrays, and ``key``-absent the mask of
    cells without apertures."""
    import numpy as np

    absent = (grid.count == 0).reshape(grid.shape)
    figures = []
    tiled = grid.tile > 1
    where = "x %{customdata[3]}–%{customdata[4]}, y %{customdata[5]}–%{customdata[6]}" if tiled else "x %{x}, y %{y}"
    for column, title, unit, missing in MAPS:
        means = grid.mean(run.per_aperture[column])
        no_value = np.isnan(means) & ~absent
        shown = means[np.isfinite(means)]
        low, high = np.percentile(shown, [1, 99]) if shown.size else (0.0, 1.0)
        value = f"{title}{' (tile mean)' if tiled else ''}: %{{z:.4g}} {unit}".rstrip()
        if tiled:
            hover = (
                "apertures %{customdata[0]} to %{customdata[1]} (%{customdata[2]} in this tile)<br>"
                + where
                + "<br>"
                + value
                + "<extra></extra>"
            )
        else:
            hover = "aperture %{customdata}<br>" + where + "<br>" + value + "<extra></extra>"
        position = {"x0": (grid.tile - 1) / 2, "dx": grid.tile, "y0": (grid.tile - 1) / 2, "dy": grid.tile}
        traces: list[dict[str, Any]] = [
            {
                "type": "heatmap",
                "z": packed(means, "f4"),
                **position,
                "colorscale": "Viridis",
                "customdata": {"ref": key},
                "hovertemplate": hover,
                "hoverongaps": False,
                "name": title,
                "colorbar": {"title": {"text": axis_title(title, unit), "side": "right"}},
                **({"zmin": float(low), "zmax": float(high)} if high > low else {}),
            }
        ]
        for mask, colour, name, text in (
            (absent, ABSENT_COLOUR, "absent from the file", "absent from the file"),
            (no_value, NO_VALUE_COLOUR, missing, missing),
        ):
            if not mask.any():
                continue
            label = (
                "apertures %{customdata[0]} to %{customdata[1]}: "
                if tiled and mask is no_value
                else "aperture %{customdata}: "
                if mask is no_value
                else ""
            )
            z = {"ref": key + "-absent"} if mask is absent else packed(mask, "m1")
            traces.append(
                {
                    "type": "heatmap",
                    "z": z,
                    **position,
                    "colorscale": [[0, colour], [1, colour]],
                    "showscale": False,
                    "hoverongaps": False,
                    "customdata": {"ref": key},
                    "legendgroup": name,
                    "hovertemplate": label + where + "<br>" + text + "<extra></extra>",
                }
            )
            traces.append(
                {
                    "type": "scatter",
                    "x": [None],
                    "y": [None],
                    "mode": "markers",
                    "name": name,
                    "legendgroup": name,
                    "showlegend": True,
                    "hoverinfo": "skip",
                    "marker": {"symbol": "square", "size": 12, "color": colour},
                }
            )
        tiles = f" — tiles of {grid.tile} × {grid.tile} apertures, their mean" if tiled else ""
        height = int(min(900, max(320, 1000 * run.rows / max(run.cols, 1) + 140)))
        figures.append(
            {
                "data": traces,
                "kind": "map",
                "layout": {
                    "title": {
                        "text": f"{title}{tiles}<br><sup>{_label(run)} · colours from the 1st to the 99th "
                        "percentile</sup>"
                    },
                    "xaxis": {
                        "title": {"text": "aperture_x (column)"},
                        "constrain": "domain",
                        "showgrid": False,
                        "zeroline": False,
                    },
                    "yaxis": {
                        "title": {"text": "aperture_y (row)"},
                        "autorange": "reversed",
                        "scaleanchor": "x",
                        "constrain": "domain",
                        "showgrid": False,
                        "zeroline": False,
                    },
                    "legend": {"orientation": "h", "y": 1.0, "yanchor": "bottom", "x": 1, "xanchor": "right"},
                    "height": height,
                    "margin": {"t": 90, "b": 60},
                    "plot_bgcolor": "white",
                },
            }
        )
    return figures


def _label(run: RunData) -> str:
    return run.label


def display_histogram(run: RunData, column: str) -> tuple[Any, Any, bool, int]:
    """Display bins of a column: (edges, density, log axis, zeros left out).
    Density is the share of pulses per decade on a log axis, per unit of the
    column on a linear one; the tails beyond the 0.1st and 99.9th
    percentiles are left out."""
    import numpy as np

    distribution = run.distributions[column]
    order, low, high = bin_edges(FINE_SHIFT)
    counts = distribution.counts[order].astype(np.float64)
    middle = (low + high) / 2
    zero = np.abs(middle) < 1e-30
    zeros = int(counts[zero].sum())
    nonnegative = counts[low < 0].sum() == 0
    trimmed = distribution.counts.copy()
    if nonnegative and zeros:  # exact zeros (a first pulse's ipd): counted apart, so a log axis can show the rest
        trimmed[[0, 1 << (31 - FINE_SHIFT)]] = 0
    first, last = quantiles_of(trimmed, FINE_SHIFT, (0.001, 0.999))
    if not math.isfinite(first):
        return np.array([0.0, 1.0]), np.array([0.0]), False, zeros
    log = bool(first > 0 and last / first >= 100)
    if not log and zeros:  # a linear axis shows the zeros with the rest
        first, last = quantiles_of(distribution.counts, FINE_SHIFT, (0.001, 0.999))
        zeros = 0
    if log:
        edges = np.geomspace(first, last, DISPLAY_BINS + 1)
    else:
        spread = last - first if last > first else max(abs(first), 1.0) * 0.1
        edges = np.linspace(
            first - spread / 2 if last == first else first,
            last + (spread / 2 if last == first else 0),
            DISPLAY_BINS + 1,
        )
    if column in ("dur_s", "ipd_s") and math.isfinite(run.fps) and run.fps > 0:
        # Whole frames: edges halfway between frames, so no bin falls between two frames and stays empty.
        frames = np.unique(np.floor(edges * run.fps) + 0.5)
        if frames.size >= 2:
            edges = frames / run.fps
    keep = ~zero if zeros else np.ones(middle.size, bool)
    index = np.searchsorted(edges, middle, side="right") - 1
    keep &= (index >= 0) & (index < edges.size - 1)
    binned = np.bincount(index[keep], weights=counts[keep], minlength=edges.size - 1)
    total = max(distribution.finite, 1)
    widths = np.log10(edges[1:] / edges[:-1]) if log else np.diff(edges)
    return edges, binned / total / widths, log, zeros


def distribution_figures(runs: list[RunData]) -> list[dict[str, Any]]:
    """One figure a pulse column, a line each run on shared axes; with one
    run, the quartiles drawn as dashed lines."""
    figures = []
    readable = [run for run in runs if run.error is None]
    for column in ("dur_s", "ipd_s", "snr", "intensity", "binratio"):
        unit = UNITS[column]
        traces, notes, shapes = [], [], []
        log = False
        for k, run in enumerate(readable):
            edges, density, run_log, zeros = display_histogram(run, column)
            log = log or run_log
            xs, ys = [], []
            for i in range(density.size):
                xs += [float(edges[i]), float(edges[i + 1])]
                ys += [float(density[i])] * 2
            traces.append(
                {
                    "type": "scatter",
                    "mode": "lines",
                    "x": xs,
                    "y": ys,
                    "name": run.label,
                    "line": {"color": PALETTE[k % len(PALETTE)], "width": 1.5},
                    "fill": "tozeroy" if len(readable) == 1 else "none",
                    "hovertemplate": f"{run.label}<br>{column} %{{x:.4g}} {unit}<br>%{{y:.3g}}<extra></extra>",
                }
            )
            if zeros:
                notes.append(f"{run.label}: {zeros:,} pulses at exactly 0 not drawn")
            if len(readable) == 1:
                for q, dash in zip(run.distributions[column].quartiles, ("dot", "dash", "dot")):
                    if math.isfinite(q) and (not log or q > 0):
                        shapes.append(
                            {
                                "type": "line",
                                "xref": "x",
                                "yref": "paper",
                                "x0": q,
                                "x1": q,
                                "y0": 0,
                                "y1": 1,
                                "line": {"dash": dash, "color": "#444", "width": 1},
                            }
                        )
        per = "decade" if log else (unit or "unit")
        subtitle = "share of pulses; " + ("quartiles dotted, median dashed; " if len(readable) == 1 else "")
        subtitle += "tails beyond the 0.1st and 99.9th percentiles left out"
        if notes:
            subtitle += "<br>" + "; ".join(notes)
        figures.append(
            {
                "data": traces,
                "kind": "distribution",
                "layout": {
                    "title": {"text": f"{TITLES[column]}<br><sup>{subtitle}</sup>"},
                    "xaxis": {"title": {"text": axis_title(column, unit)}, "type": "log" if log else "linear"},
                    "yaxis": {"title": {"text": f"share of pulses per {per}"}, "rangemode": "tozero"},
                    "shapes": shapes,
                    "showlegend": len(readable) > 1,
                    "height": 380,
                    "margin": {"t": 80},
                },
            }
        )
    return figures


def time_figures(runs: list[RunData]) -> list[dict[str, Any]]:
    """Per time bin: the pulse rate per aperture, the share of apertures
    with a pulse starting in it, and the median SNR of its pulses."""
    import numpy as np

    readable = [run for run in runs if run.error is None]
    panels = (
        ("Pulse rate per aperture", "pulse rate (Hz)", ".3g"),
        ("Apertures with a pulse", "share of apertures read", ".1%"),
        ("Median SNR of the pulses starting", "median SNR", ".3g"),
    )
    figures = []
    width = max((run.bin_minutes for run in readable), default=1)
    for n, (title, unit, fmt) in enumerate(panels):
        traces = []
        for k, run in enumerate(readable):
            read = max(len(run.per_aperture["aperture"]), 1)
            with np.errstate(invalid="ignore", divide="ignore"):
                values = (run.minute_pulses / (read * run.minute_seconds), run.minute_active / read, run.minute_snr)[n]
            minutes = np.arange(values.size) * run.bin_minutes
            traces.append(
                {
                    "type": "scatter",
                    "mode": "lines+markers" if values.size < 200 else "lines",
                    "x": minutes.tolist(),
                    "y": [float(v) if math.isfinite(v) else None for v in values],
                    "name": run.label,
                    "line": {"color": PALETTE[k % len(PALETTE)]},
                    "hovertemplate": f"{run.label}<br>minute %{{x}}<br>%{{y:{fmt}}}<extra></extra>",
                }
            )
        per = "minute" if width == 1 else f"{width} minutes"
        figures.append(
            {
                "data": traces,
                "kind": "time",
                "layout": {
                    "title": {"text": f"{title}, per {per} of the run"},
                    "xaxis": {"title": {"text": "time from the run's start (min)"}, "rangemode": "tozero"},
                    "yaxis": {
                        "title": {"text": unit},
                        "rangemode": "tozero",
                        **({"tickformat": ".0%"} if n == 1 else {}),
                    },
                    "showlegend": len(readable) > 1,
                    "height": 340,
                    "margin": {"t": 60},
                },
            }
        )
    return figures


def kinds_figure(runs: list[RunData]) -> dict[str, Any]:
    """Counts of each record kind, a bar each run, on a log axis."""
    readable = [run for run in runs if run.error is None]
    traces = []
    for k, run in enumerate(readable):
        names = list(run.kinds)
        traces.append(
            {
                "type": "bar",
                "x": [name.replace("_", " ") for name in names],
                "y": [run.kinds[name] for name in names],
                "name": run.label,
                "marker": {"color": PALETTE[k % len(PALETTE)]},
                "hovertemplate": f"{run.label}<br>%{{x}}: %{{y:,}} records<extra></extra>",
            }
        )
    return {
        "data": traces,
        "kind": "kinds",
        "layout": {
            "title": {"text": "Records of each kind"},
            "barmode": "group",
            "xaxis": {"title": {"text": "record kind"}},
            "yaxis": {"title": {"text": "records"}, "type": "log"},
            "showlegend": len(readable) > 1,
            "height": 360,
            "margin": {"t": 60},
        },
    }
