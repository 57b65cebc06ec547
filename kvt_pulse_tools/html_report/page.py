"""The report's one HTML page: tables written out as HTML, figures drawn by
plotly.js in the reader's browser, every script, style and datum inline.

The figures and the report's numbers travel in one JSON block
(``<script type="application/json" id="kvt-report-data">``): the figures'
dicts, with large arrays as base64 typed arrays, and the numbers of
each run (counts, quartiles, per-minute values), so that a program can read a
report back as surely as a person.
"""

from __future__ import annotations

import html
import json
import math
from typing import Any

from kvt_pulse_tools.html_report.accumulate import COLUMNS, UNITS, RunData
from kvt_pulse_tools.html_report.figures import (
    TITLES,
    SensorGrid,
    distribution_figures,
    kinds_figure,
    packed,
    sensor_maps,
    time_figures,
)

STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; margin: 0 auto; max-width: 1240px;
       padding: 0 24px 48px; color: #222; line-height: 1.4; }
h1 { font-size: 1.6em; margin: 24px 0 4px; } h2 { border-bottom: 1px solid #ccc; margin-top: 36px; }
h3 { margin-top: 28px; } .meta { color: #666; font-size: 0.9em; }
table { border-collapse: collapse; margin: 8px 0 16px; font-size: 0.92em; }
th, td { border: 1px solid #ddd; padding: 3px 10px; text-align: left; vertical-align: top; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; } th { background: #f4f4f4; }
.bad { color: #a40000; } .good { color: #1a6b1a; } .figure { margin: 12px 0 24px; min-height: 300px; }
ul.findings { font-family: ui-monospace, monospace; font-size: 0.88em; } .note { color: #555; font-size: 0.9em; }
"""

# Unpacks the base64 typed arrays of the figures and draws them.
SCRIPT = """
(function () {
  "use strict";
  var payload = JSON.parse(document.getElementById("kvt-report-data").textContent);
  var types = {f4: Float32Array, f8: Float64Array, u4: Uint32Array, i4: Int32Array, m1: Uint8Array};
  function unpack(packed) {
    var text = atob(packed.b64), bytes = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    var typed = new types[packed.dtype](bytes.buffer), flat = new Array(typed.length);
    var mask = packed.dtype === "m1";
    for (var j = 0; j < typed.length; j++) {
      flat[j] = Number.isNaN(typed[j]) || (mask && typed[j] === 0) ? null : typed[j];
    }
    for (var d = packed.shape.length - 1; d > 0; d--) {
      var size = packed.shape[d], nested = [];
      for (var k = 0; k < flat.length; k += size) nested.push(flat.slice(k, k + size));
      flat = nested;
    }
    return flat;
  }
  var shared = {};
  Object.keys(payload.shared).forEach(function (key) { shared[key] = unpack(payload.shared[key]); });
  function resolve(value) {
    if (Array.isArray(value)) return value.map(resolve);
    if (value && typeof value === "object") {
      if ("b64" in value) return unpack(value);
      if ("ref" in value) return shared[value.ref];
      var out = {};
      Object.keys(value).forEach(function (key) { out[key] = resolve(value[key]); });
      return out;
    }
    return value;
  }
  var config = {responsive: true, displaylogo: false};
  payload.figures.forEach(function (figure) {
    Plotly.newPlot(figure.id, resolve(figure.data), figure.layout, config);
  });
})();
"""


def _e(value: Any) -> str:
    return html.escape(str(value))


def _number(value: Any) -> str:
    if isinstance(value, float):
        return "–" if not math.isfinite(value) else f"{value:.4g}"
    if isinstance(value, int):
        return f"{value:,}"
    return _e(value)


def _table(head: list[str] | None, rows: list[list[Any]], numeric: set[int] | None = None) -> str:
    numeric = numeric or set()
    if head is None:  # a table of names and values
        return (
            "<table><tbody>"
            + "".join(f"<tr><th>{_e(k)}</th><td>{_e(v)}</td></tr>" for k, v in rows)
            + "</tbody></table>"
        )
    cells = "".join(f"<th{' class=n' if i in numeric else ''}>{_e(h)}</th>" for i, h in enumerate(head))
    body = "".join(
        "<tr>"
        + "".join(f"<td{' class=n' if i in numeric else ''}>{_number(v)}</td>" for i, v in enumerate(row))
        + "</tr>"
        for row in rows
    )
    return f"<table><thead><tr>{cells}</tr></thead><tbody>{body}</tbody></table>"


class _Figures:
    """Figures in page order; each gets a div of its own."""

    def __init__(self) -> None:
        self.figures: list[dict[str, Any]] = []
        self.shared: dict[str, Any] = {}

    def add(self, figure: dict[str, Any]) -> str:
        name = f"figure-{len(self.figures) + 1}"
        self.figures.append({"id": name, "kind": figure["kind"], "data": figure["data"], "layout": figure["layout"]})
        return f'<div class="figure" id="{name}"></div>'


def _run_sections(run: RunData, figures: _Figures, key: str, level: int, study: bool) -> list[str]:
    h = f"h{level}"
    parts = [f"<{h}>The run</{h}>", _table(None, [[k, v] for k, v in run.info])]
    if run.findings:
        parts.append(
            f'<p class="bad">The structural check found {len(run.findings)} problems; what could be read '
            "is shown below.</p><ul class=findings>"
            + "".join(f"<li>{_e(line)}</li>" for line in run.findings)
            + "</ul>"
        )
    else:
        parts.append('<p class="good">The structural check found no problems.</p>')
    parts.append(f"<{h}>The sensor</{h}>")
    if run.skipped:
        parts.append(
            f"<p class=note>{len(run.skipped):,} apertures could not be read and are left out of the maps "
            "(see the apertures worth a look).</p>"
        )
    grid = SensorGrid(run)
    figures.shared[key] = grid.customdata
    figures.shared[key + "-absent"] = packed((grid.count == 0).reshape(grid.shape), "m1")
    parts += [figures.add(figure) for figure in sensor_maps(run, grid, key)]
    if not study:
        parts.append(f"<{h}>The pulses</{h}>")
        parts += [figures.add(figure) for figure in distribution_figures([run])]
    parts.append(_quartile_table(run))
    if not study:
        parts.append(f"<{h}>Over time</{h}>")
        parts += [figures.add(figure) for figure in time_figures([run])]
    if run.after_end:
        parts.append(
            f"<p class=bad>{run.after_end:,} pulses start after the run's end ({run.run_dur_s:g} s) and are "
            "left out of the curves over time.</p>"
        )
    if not study:
        parts.append(f"<{h}>The records</{h}>")
        parts.append(figures.add(kinds_figure([run])))
    parts.append(_table(["record kind", "records"], [[k.replace("_", " "), v] for k, v in run.kinds.items()], {1}))
    parts.append(f"<{h}>Apertures worth a look</{h}>")
    parts.append(f"<p>The {len(run.top)} most active apertures:</p>")
    parts.append(
        _table(
            ["aperture", "x", "y", "pulses", "pulse rate (Hz)", "mean SNR", "mean duration (s)"],
            [list(row.values()) for row in run.top],
            {0, 1, 2, 3, 4, 5, 6},
        )
    )
    if run.skipped:
        parts.append(f"<p class=bad>{len(run.skipped):,} apertures could not be read:</p>")
        parts.append(_table(["aperture", "reason"], [[n, reason] for n, reason in run.skipped[:1000]], {0}))
        if len(run.skipped) > 1000:
            parts.append(f"<p class=note>… and {len(run.skipped) - 1000:,} more.</p>")
    else:
        parts.append("<p>Every selected aperture was read: none skipped or damaged.</p>")
    return parts


def _quartile_table(run: RunData) -> str:
    rows = []
    for column in COLUMNS:
        d = run.distributions[column]
        rows.append([f"{column} ({UNITS[column]})" if UNITS[column] else column, d.finite, *d.quartiles, d.nonfinite])
    return (
        "<p>Medians and quartiles of the pulses (from bins of 1/64 octave: within 0.8% of the exact "
        "values):</p>"
        + _table(
            ["column", "pulses", "first quartile", "median", "third quartile", "not finite"], rows, {1, 2, 3, 4, 5}
        )
    )


def _numbers(run: RunData) -> dict[str, Any]:
    """The run's numbers as the page carries them for programs."""
    if run.error is not None:
        return {"label": run.label, "path": run.path, "error": run.error}

    def values(array: Any) -> list[Any]:
        return [None if isinstance(v, float) and not math.isfinite(v) else v for v in array.tolist()]

    return {
        "label": run.label,
        "path": run.path,
        "error": None,
        "apertures": run.apertures,
        "records": run.records,
        "pulses": run.pulses,
        "kinds": run.kinds,
        "findings": run.findings,
        "skipped": [[n, reason] for n, reason in run.skipped],
        "top": run.top,
        "after_end": run.after_end,
        "quartiles": {
            c: {"finite": d.finite, "nonfinite": d.nonfinite, "quartiles": values(_array(d.quartiles))}
            for c, d in run.distributions.items()
        },
        "bin_minutes": run.bin_minutes,
        "minute_pulses": values(run.minute_pulses),
        "minute_active": values(run.minute_active),
        "minute_snr": values(run.minute_snr),
    }


def _array(values: list[float]) -> Any:
    import numpy as np

    return np.asarray(values, dtype=np.float64)


def build_page(runs: list[RunData], title: str, made: str) -> str:
    """The report's HTML text for ``runs`` (one run, or a study of several)."""
    from plotly.offline import get_plotlyjs

    figures = _Figures()
    study = len(runs) > 1
    body = [
        f"<h1>{_e(title)}</h1>",
        (
            f"<p class=meta>{_e(made)} Drag to zoom, double-click to zoom out, hover "
            "for values; the legend's entries show and hide what they name.</p>"
        ),
    ]
    readable = [run for run in runs if run.error is None]
    if study:
        body.append("<h2>Runs</h2>")
        rows: list[list[Any]] = []
        for run in runs:
            if run.error is not None:
                rows.append([run.path, "could not be read: " + run.error, "", "", "", "", "", "", ""])
                continue
            d, s = run.distributions["dur_s"].quartiles[1], run.distributions["snr"].quartiles[1]
            verdict = "no problems" if not run.findings else f"{len(run.findings)} problems"
            rows.append([run.path, verdict, run.fps, run.run_dur_s, run.apertures, run.records, run.pulses, d, s])
        body.append(
            _table(
                [
                    "file",
                    "structural check",
                    "fps",
                    "duration (s)",
                    "apertures",
                    "records",
                    "pulses",
                    "median dur_s (s)",
                    "median snr",
                ],
                rows,
                {2, 3, 4, 5, 6, 7, 8},
            )
        )
        if readable:
            body.append("<h2>The pulses of every run</h2>")
            body += [figures.add(figure) for figure in distribution_figures(readable)]
            body.append("<h2>Every run over time</h2>")
            body += [figures.add(figure) for figure in time_figures(readable)]
            body.append("<h2>The records of every run</h2>")
            body.append(figures.add(kinds_figure(readable)))
    for k, run in enumerate(readable):
        if study:
            body.append(f"<h2>Run {k + 1}: {_e(run.path)}</h2>")
        body += _run_sections(run, figures, f"cells-{k}", 3 if study else 2, study)
    payload = {"figures": figures.figures, "shared": figures.shared, "runs": [_numbers(run) for run in runs]}
    data = json.dumps(_clean(payload), allow_nan=False, separators=(",", ":")).replace("</", "<\\/")
    return (
        "<!DOCTYPE html>\n<html lang=en>\n<head>\n<meta charset=utf-8>\n"
        '<meta name=viewport content="width=device-width, initial-scale=1">\n'
        f"<title>{_e(title)}</title>\n<style>{STYLE}</style>\n"
        f"<script>{get_plotlyjs()}</script>\n</head>\n<body>\n"
        + "\n".join(body)
        + f'\n<script type="application/json" id="kvt-report-data">{data}</script>\n'
        + f"<script>{SCRIPT}</script>\n</body>\n</html>\n"
    )


def _clean(value: Any) -> Any:
    """The payload as JSON takes it: NumPy scalars as Python numbers, NaN
    and infinities as null (plotly.js leaves a gap there)."""
    if isinstance(value, dict):
        return {key: _clean(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_clean(item) for item in value]
    if hasattr(value, "item") and not isinstance(value, (str, bytes)):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


__all__ = ["TITLES", "build_page", "packed"]
