"""A run report in the browser: one self-contained HTML page per run or study.

    >>> from kvt_pulse_tools import report, synthesize
    >>> _ = synthesize("run.bin", apertures=2000, seed=1)
    >>> runs = report("run.bin", "run.html")

The page holds every script (plotly.js), style and datum inline and makes no
network request, so it opens from a file or an e-mail attachment. Sections:
the run (header, filter, the structural check's findings), the sensor (maps
of pulses, mean SNR, pulse rate, mean duration and mean inter-pulse duration
over its rows and columns), the pulses (distributions, medians and
quartiles), the run over time (per minute), the record kinds, and the
apertures worth a look (most active, skipped or damaged). Several files make
a study: a table of runs and every run's distributions and curves on shared
axes, then each run's own sections.

Modules: ``accumulate`` (a run's numbers, in two passes and bounded memory),
``figures`` (plotly.js figures as plain dicts), ``page`` (the HTML),
``command`` (``kvt-pulses report``).
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Union

from kvt_pulse_tools._errors import ToolError

if TYPE_CHECKING:
    from kvt_pulse_tools.html_report.accumulate import RunData

PathArg = Union[str, "os.PathLike[str]"]


def report(
    paths: PathArg | Sequence[PathArg],
    out: PathArg,
    *,
    pulse_filter_kwargs: dict[str, Any] | None = None,
    apertures: Sequence[int] | None = None,
    ignore_missing: bool = False,
    title: str | None = None,
    on_bad_file: str = "raise",
    force: bool = False,
    progress: Callable[[int], None] | None = None,
) -> list[RunData]:
    """Writes the HTML report of the pulse files ``paths`` (one path or
    several: a study) to ``out`` and returns each run's numbers.

    ``pulse_filter_kwargs`` are the PulseFilter keywords that choose the
    pulses shown; ``apertures`` a selection of aperture numbers (a number a
    file lacks fails, or is left out with ``ignore_missing``); ``title`` the
    page's title. A file that cannot be opened raises, or with
    ``on_bad_file="skip"`` is listed in the report as unreadable. A damaged
    file is reported, not fatal: the check's findings and the apertures that
    could not be read are listed, and the rest is shown.

    ``out`` is written under a temporary name beside it and renamed into
    place when complete; an existing ``out`` is replaced only with
    ``force=True``, and never when it is one of the inputs. ``progress``,
    when given, is called with numbers of apertures as their pulses are read.
    """
    from kvt_pulse_tools._atomic import atomic_output
    from kvt_pulse_tools.html_report.accumulate import RunData, collect_run
    from kvt_pulse_tools.html_report.page import build_page

    names = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else [os.fspath(p) for p in paths]
    if not names:
        raise ToolError("no files to report on")
    if on_bad_file not in ("raise", "skip"):
        raise ToolError(f'on_bad_file must be "raise" or "skip", not {on_bad_file!r}')
    _check_output(names, os.fspath(out), force)
    runs = []
    for name in names:
        try:
            runs.append(
                collect_run(
                    name, pulse_filter_kwargs, None if apertures is None else list(apertures), ignore_missing, progress
                )
            )
        except (RuntimeError, OSError) as error:
            if on_bad_file == "raise":
                raise
            runs.append(RunData(path=name, label=os.path.basename(name), error=" ".join(str(error).split())))
    if all(run.error is not None for run in runs):
        raise ToolError("no file could be read: " + "; ".join(f"{run.path}: {run.error}" for run in runs))
    _unique_labels(runs)
    if title is None:
        title = f"Pulse run report: {runs[0].label}" if len(runs) == 1 else f"Pulse study report: {len(runs)} runs"
    made = (
        f"Made by kvt-pulses report {_version()} on "
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC from {len(runs)} "
        f"file{'s' if len(runs) != 1 else ''}."
    )
    text = build_page(runs, title, made)
    try:
        with atomic_output(out) as temporary, open(temporary, "w", encoding="utf-8") as sink:
            sink.write(text)
            sink.flush()
            os.fsync(sink.fileno())
    except OSError as error:
        raise ToolError(f"cannot write {os.fspath(out)}: {error.strerror or error}") from None
    return runs


def _check_output(inputs: list[str], out: str, force: bool) -> None:
    """Refuses an output that is one of the inputs (the same device and
    inode, whatever the name), an existing one without ``force``, and one
    whose folder does not exist."""
    from kvt_pulse_tools._outputs import refuse_unsafe_output

    refuse_unsafe_output(out, inputs, force=force)
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise ToolError(f"cannot write {out}: no folder {folder}")


def _unique_labels(runs: list[RunData]) -> None:
    """Runs named alike (run1/pulses.bin, run2/pulses.bin) are labelled by
    their paths."""
    labels = [run.label for run in runs]
    if len(set(labels)) < len(labels):
        for run in runs:
            run.label = run.path


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kvt_pulse_reader")
    except PackageNotFoundError:
        from kvt_pulse_tools import __version__

        return __version__


__all__ = ["report"]
