"""Many runs as one table: pulse files as Dask DataFrames.

    >>> from kvt_pulse_tools import dask as kvt_dask
    >>> pulses = kvt_dask.read_pulses("study/*.bin", pulse_filter_kwargs={"min_snr": 5})
    >>> pulses.groupby("run").size().compute()

:func:`read_pulses`, :func:`read_records` and :func:`summarize` return a
``dask.dataframe.DataFrame`` built with ``dask.dataframe.from_map``. Its first
column, "run", is categorical: the file's name without its extension (or,
when two files share a name, their paths below the folder they share). The
other columns are those of the ``PulseReader`` method of the same name.

Each partition is one file's run of whole apertures holding about
``partition_records`` records. The partitions are planned when the frame is
built, from the module's block plan of each file (``PulseReader.block_table``:
the index and the 16-byte headers of the blocks): no record is read then.
Each partition opens its file where it is computed (a worker needs only a
path it can see and this package), so a task carries only a path, its aperture
numbers as runs of consecutive numbers, and the filter's keywords. Dask's
optimizer pushes column selections down into the read.

A missing file, one whose header, metadata or index the module refuses, or a
block that runs past the end of its file fails when the frame is built;
damaged records (pulses out of order) fail the partition that reads them.
Both raise the module's error, its message prefixed with the file's path.
With ``on_bad_file="skip"`` they are left out instead (see
:func:`read_pulses`); with the default "raise" no partition is left out.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Union

import kvt_pulse_reader

from kvt_pulse_tools._errors import require

# Union, not |: a string forward reference takes no | at run time.
PathArg = Union[str, "os.PathLike[str]"]  # noqa: UP007
Paths = Union[PathArg, Iterable[PathArg]]  # noqa: UP007

#: The categorical column that names each row's file.
RUN = "run"
#: The PulseReader method behind each table.
METHODS = {"pulses": "read_pulses", "records": "read_records", "summary": "summarize"}
#: The PulseFilter keywords; the others are refused with a warning once, when
#: the frame is built, and not handed to the partitions.
FILTER_KEYWORDS = frozenset(name for name, *_ in kvt_pulse_reader.FILTER_KEYWORDS)
# Read when a partition must give rows but no column of the module: the
# narrowest column every table has.
_ROW_COLUMN = "aperture_index"


# ---------------------------------------------------------------------------
# Files and their names.


def expand_paths(paths: Paths) -> list[str]:
    """One path, a list of paths or glob patterns, as a list of paths. A
    pattern that matches nothing raises RuntimeError naming it."""
    import glob

    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found: list[str] = []
    for item in items:
        name = os.fspath(item)
        if not isinstance(name, str):
            raise TypeError(f"paths must be str or os.PathLike[str], not {type(name).__name__}")
        if any(magic in name for magic in "*?[") and not os.path.exists(name):
            matches = sorted(glob.glob(name))
            if not matches:
                raise RuntimeError(f"{name}: no pulse file matches this pattern")
            found.extend(matches)
        else:
            found.append(name)
    if not found:
        raise RuntimeError("no pulse files given")
    return found


def run_names(paths: Sequence[str]) -> list[str]:
    """Each file's run name: its name without the extension; when two
    different files share that name (run1/pulses.bin, run2/pulses.bin), every
    file is named by its path below the folder they all share, without the
    extension (run1/pulses, run2/pulses)."""
    stems = [os.path.splitext(os.path.basename(path))[0] for path in paths]
    absolute = [os.path.abspath(path) for path in paths]
    if len(set(stems)) == len(set(absolute)):
        return stems
    common = os.path.commonpath([os.path.dirname(path) for path in absolute])
    return [os.path.splitext(os.path.relpath(path, common))[0] for path in absolute]


def _named(error: RuntimeError, path: str) -> RuntimeError:
    """The module's error with the file's path before its message (its class,
    errno, filename and notes kept), so that a failure among many files says
    which one failed."""
    kind = type(error) if type(error).__module__ == "kvt_pulse_reader" else RuntimeError
    named = kind(f"{path}: {error}")
    for name in ("errno", "strerror", "filename"):
        if hasattr(error, name):
            setattr(named, name, getattr(error, name))
    notes = getattr(error, "__notes__", None)
    if notes:
        named.__notes__ = list(notes)
    return named


# ---------------------------------------------------------------------------
# Planning: partitions from the module's block plan.


@dataclass(frozen=True, eq=False)
class Part:
    """One partition: a file and the aperture numbers it reads, in reading
    order, as runs [first, stop) of consecutive numbers (an (n, 2) array)."""

    path: str
    run: str
    spans: Any

    def apertures(self) -> Any:
        import numpy as np

        spans = self.spans
        lengths = spans[:, 1] - spans[:, 0]
        ends = np.cumsum(lengths)
        # Each number is its run's first number plus its place in the run.
        return np.repeat(spans[:, 0] - (ends - lengths), lengths) + np.arange(int(ends[-1]) if len(ends) else 0)


def spans_of(numbers: Any) -> Any:
    """Runs [first, stop) of consecutive numbers, in order: [3, 4, 5, 9, 3]
    becomes [[3, 6], [9, 10], [3, 4]]."""
    import numpy as np

    numbers = np.asarray(numbers, dtype=np.int64)
    if numbers.size == 0:
        return np.zeros((0, 2), dtype=np.int64)
    breaks = np.flatnonzero(np.diff(numbers) != 1) + 1
    firsts = numbers[np.concatenate(([0], breaks))]
    lasts = numbers[np.concatenate((breaks - 1, [numbers.size - 1]))]
    return np.stack([firsts, lasts + 1], axis=1)


def cut(counts: Any, partition_records: int) -> list[slice]:
    """Runs of whole apertures of about ``partition_records`` records: an
    aperture goes to the partition in whose stretch of records it starts, so
    a large aperture makes a partition of its own."""
    import numpy as np

    counts = np.asarray(counts, dtype=np.int64)
    if counts.size == 0:
        return []
    groups = (np.cumsum(counts) - counts) // partition_records
    edges = [0, *(np.flatnonzero(np.diff(groups)) + 1).tolist(), counts.size]
    return [slice(first, stop) for first, stop in zip(edges[:-1], edges[1:])]


def plan_file(
    path: str,
    run: str,
    table: str,
    apertures: Any,
    partition_records: int,
    ignore_missing: bool = False,
    skipped: list[Skipped] | None = None,
) -> list[Part]:
    """The partitions of one file, from the module's block plan
    (``PulseReader.block_table``): the index's lookup rules and the blocks'
    record counts are the module's own. Opening it with the module checks its
    header, metadata and index; a selection's missing aperture fails here
    with the module's own message, unless ``ignore_missing`` drops it.

    With ``skipped`` (a list, for ``on_bad_file="skip"``), a file that cannot
    be opened and the apertures whose blocks cannot be placed are appended to
    it instead of failing."""
    import numpy as np
    from kvt_pulse_reader import PulseReader

    try:
        with PulseReader(path) as reader:
            if apertures is None:
                numbers = None
            else:
                numbers = np.asarray(apertures, dtype=np.int64).reshape(-1)
                missing = ~np.isin(numbers, np.asarray(reader.apertures, dtype=np.int64))
                if ignore_missing:
                    numbers = numbers[~missing]
                elif missing.any():
                    # The module's own message for the first missing number.
                    getattr(reader, METHODS[table])([int(numbers[np.argmax(missing)])])
            numbers, counts = placed_apertures(reader, numbers, path, skipped)
    except (RuntimeError, OSError) as error:
        if skipped is None:
            if isinstance(error, RuntimeError):
                raise _named(error, path) from error
            raise
        skipped.append(Skipped(path, None, _reason(error)))
        return []
    # Workers see the same folders as the client, not its working folder.
    where = os.path.abspath(path)
    return [Part(where, run, spans_of(numbers[piece])) for piece in cut(counts, partition_records)]


@dataclass(frozen=True)
class Skipped:
    """A file (``aperture`` None) or an aperture left out by
    ``on_bad_file="skip"``, and the reason, the module's message."""

    path: str
    aperture: int | None
    reason: str


def _reason(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def placed_apertures(reader: Any, numbers: Any, path: str, skipped: list[Skipped] | None) -> tuple[Any, Any]:
    """The aperture numbers and record counts of the block plan; with
    ``skipped``, a selection whose plan fails is halved until each aperture
    that fails stands alone, and those are left out."""
    import numpy as np

    numbers = None if numbers is None else np.asarray(numbers, dtype=np.int64)
    try:
        table = reader.block_table(numbers)
        return table["aperture"].astype(np.int64), table["num_records"].astype(np.int64)
    except RuntimeError as error:
        if skipped is None:
            raise
        if numbers is None:
            numbers = np.asarray(reader.apertures, dtype=np.int64)
        if len(numbers) == 1:
            skipped.append(Skipped(path, int(numbers[0]), _reason(error)))
            return numbers[:0], numbers[:0]
        half = len(numbers) // 2
        first = placed_apertures(reader, numbers[:half], path, skipped)
        second = placed_apertures(reader, numbers[half:], path, skipped)
        return np.concatenate([first[0], second[0]]), np.concatenate([first[1], second[1]])


def _selection(apertures: Iterable[Any] | None) -> Any:
    import numpy as np

    if apertures is None:
        return None
    numbers = [int(number) for number in (apertures.tolist() if isinstance(apertures, np.ndarray) else apertures)]
    if any(number < 0 for number in numbers):
        raise OverflowError("aperture numbers cannot be negative")
    return np.asarray(numbers, dtype=np.int64)


# ---------------------------------------------------------------------------
# Reading one partition (on a worker).


def read_part(
    part: Part,
    table: str,
    filter_kwargs: dict[str, Any] | None,
    runs: Sequence[str],
    threads: int,
    base_columns: Sequence[str] | None,
    columns: Sequence[str] | None = None,
    errors: str = "raise",
) -> Any:
    """The rows of one partition: the module's table of its apertures, with
    the "run" column where it is wanted. ``columns`` is the projection that
    Dask pushes down (None: ``base_columns``, the caller's choice, None for
    every column). With ``errors="skip"`` the module leaves out the
    apertures it cannot read soundly and lists them in the frame's
    ``attrs["skipped_apertures"]`` (and ``"skipped_reasons"`` where the
    module gives them)."""
    import numpy as np
    import pandas as pd
    from kvt_pulse_reader import PulseReader

    wanted = list(columns) if columns is not None else None if base_columns is None else list(base_columns)
    own = None if wanted is None else [name for name in wanted if name != RUN]
    read = own if own or wanted is None else [_ROW_COLUMN]
    try:
        with PulseReader(part.path) as reader:
            numbers = part.apertures()
            method = getattr(reader, METHODS[table])
            extra = {"errors": errors} if errors != "raise" and _takes_errors(method) else {}
            if table == "summary":
                frame = method(numbers, pulse_filter_kwargs=filter_kwargs, threads=threads, **extra)
                if read is not None:
                    _check_columns(frame, read)
                    frame = frame[read]
            elif table == "pulses":
                frame = method(numbers, pulse_filter_kwargs=filter_kwargs, columns=read, threads=threads, **extra)
            else:
                frame = method(numbers, columns=read, threads=threads, **extra)
    except RuntimeError as error:
        raise _named(error, part.path) from error
    kept = {key: frame.attrs[key] for key in ("skipped_apertures", "skipped_reasons") if extra and frame.attrs.get(key)}
    frame.attrs = {}
    if own == []:
        frame = frame[[]]
    if wanted is None or RUN in wanted:
        dtype = pd.CategoricalDtype(list(runs))
        # Codes of the width pandas keeps for this many categories: no second copy.
        width = np.int8 if len(runs) < 2**7 else np.int16 if len(runs) < 2**15 else np.int32
        run: Any = pd.Categorical.from_codes(np.full(len(frame), list(runs).index(part.run), dtype=width), dtype=dtype)
        frame.insert(0 if wanted is None else wanted.index(RUN), RUN, run)
    frame.attrs.update(kept)
    return frame


def _takes_errors(method: Any) -> bool:
    """Whether a module method takes ``errors`` (read_records gains it)."""
    return "errors" in (getattr(method, "__text_signature__", None) or "errors")


def write_part(
    part: Part,
    path: str,
    table: str,
    filter_kwargs: dict[str, Any] | None,
    runs: Sequence[str],
    threads: int,
    columns: Sequence[str] | None,
    errors: str = "raise",
) -> list[Skipped]:
    """Reads one partition and writes it as the Parquet file ``path``, where
    it is computed (a worker), so that no table passes through the client;
    returns the apertures that ``errors="skip"`` left out."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    frame = read_part(part, table, filter_kwargs, runs, threads, columns, errors=errors)
    numbers = frame.attrs.get("skipped_apertures") or []
    reasons = frame.attrs.get("skipped_reasons") or ["could not be read"] * len(numbers)
    frame.attrs = {}
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path)
    return [Skipped(part.path, int(number), str(reason)) for number, reason in zip(numbers, reasons)]


def _check_columns(frame: Any, names: Sequence[str]) -> None:
    unknown = [name for name in names if name not in frame.columns]
    if unknown:
        raise RuntimeError(f"Unknown column {unknown[0]!r}; the valid columns are " + ", ".join([RUN, *frame.columns]))


# ---------------------------------------------------------------------------
# The frames.


@dataclass
class Plan:
    """The partitions of a set of files, the names of their runs, and what
    ``on_bad_file="skip"`` left out while planning."""

    files: list[str]
    categories: tuple[str, ...]
    parts: list[Part]
    skipped: list[Skipped]


def plan(
    table: str,
    paths: Paths,
    apertures: Iterable[Any] | None = None,
    *,
    partition_records: int = 5_000_000,
    ignore_missing: bool = False,
    on_bad_file: str = "raise",
) -> Plan:
    """The partitions of ``table`` ("pulses", "records" or "summary") over
    ``paths``, without reading a record."""
    if isinstance(partition_records, bool) or not isinstance(partition_records, int):
        raise TypeError("partition_records must be an int")
    if partition_records < 1:
        raise ValueError("partition_records must be at least 1")
    if on_bad_file not in ("raise", "skip"):
        raise ValueError(f'on_bad_file must be "raise" or "skip", not {on_bad_file!r}')
    files = expand_paths(paths)
    runs = run_names(files)
    selection = _selection(apertures)
    skipped: list[Skipped] | None = [] if on_bad_file == "skip" else None
    parts = [
        part
        for path, run in zip(files, runs)
        for part in plan_file(path, run, table, selection, partition_records, ignore_missing, skipped)
    ]
    lost = {item.path for item in skipped or [] if item.aperture is None}
    good = [(path, run) for path, run in zip(files, runs) if path not in lost]
    if not good:
        raise RuntimeError(
            "no pulse file could be read: " + "; ".join(f"{item.path}: {item.reason}" for item in skipped or [])
        )
    if not parts:  # nothing selected: one empty partition gives the columns
        parts = [Part(good[0][0], good[0][1], spans_of([]))]
    return Plan(files, tuple(dict.fromkeys(runs)), parts, skipped or [])  # a file given twice is one run


def meta(
    plan: Plan, table: str, pulse_filter_kwargs: dict[str, Any] | None, threads: int, columns: Sequence[str] | None
) -> Any:
    """The empty frame of the plan's first readable file: the columns, and
    the module's checks of the column names and of the filter's keywords (it
    warns of unknown ones)."""
    first = plan.parts[0]
    return read_part(
        Part(first.path, first.run, spans_of([])), table, pulse_filter_kwargs, plan.categories, threads, columns
    )


def known_filter_kwargs(pulse_filter_kwargs: dict[str, Any] | None) -> dict[str, Any] | None:
    """The keywords handed to the partitions: the PulseFilter's alone."""
    return (
        None
        if pulse_filter_kwargs is None
        else {key: value for key, value in pulse_filter_kwargs.items() if key in FILTER_KEYWORDS}
    )


class SkippedWarning(UserWarning):
    """A file or an aperture that ``on_bad_file="skip"`` left out when the
    frame was planned; ``item`` is its :class:`Skipped`."""

    def __init__(self, item: Skipped) -> None:
        where = item.path if item.aperture is None else f"aperture {item.aperture} of {item.path}"
        super().__init__(f"skipped {where}: {item.reason}")
        self.item = item


def _frame(
    table: str,
    paths: Paths,
    apertures: Iterable[Any] | None,
    pulse_filter_kwargs: dict[str, Any] | None,
    columns: Sequence[str] | None,
    partition_records: int,
    threads: int,
    ignore_missing: bool,
    on_bad_file: str,
) -> Any:
    import warnings

    dask = require("dask", "Dask DataFrames", "dask")
    dd = require("dask.dataframe", "Dask DataFrames", "dask")

    planned = plan(
        table,
        paths,
        apertures,
        partition_records=partition_records,
        ignore_missing=ignore_missing,
        on_bad_file=on_bad_file,
    )
    for item in planned.skipped:
        warnings.warn(SkippedWarning(item), stacklevel=3)
    base_columns = None if columns is None else list(columns)
    empty = meta(planned, table, pulse_filter_kwargs, threads, base_columns)
    # The frames hold no Python strings; leave the module's types as they are.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(
            read_part,
            planned.parts,
            meta=empty,
            label=METHODS[table],
            enforce_metadata=False,
            table=table,
            filter_kwargs=known_filter_kwargs(pulse_filter_kwargs),
            runs=planned.categories,
            threads=threads,
            base_columns=base_columns,
            errors=on_bad_file,
        )


_BAD_FILES = """``on_bad_file="skip"`` leaves out a file that cannot be opened and the apertures whose blocks
    cannot be placed (each with a :class:`SkippedWarning` when the frame is built) and passes
    ``errors="skip"`` to the module, whose skipped apertures each partition lists in its
    ``attrs["skipped_apertures"]``."""


def read_pulses(
    paths: Paths,
    apertures: Iterable[Any] | None = None,
    pulse_filter_kwargs: dict[str, Any] | None = None,
    *,
    columns: Sequence[str] | None = None,
    partition_records: int = 5_000_000,
    threads: int = 1,
    ignore_missing: bool = False,
    on_bad_file: str = "raise",
) -> Any:
    """Every pulse of every file (or of the ``apertures`` selected in each)
    as one Dask DataFrame: "run", then the columns of
    ``PulseReader.read_pulses`` (``columns`` chooses and orders them, "run"
    included). ``threads`` is the module's threads per partition;
    ``ignore_missing`` skips selected apertures that a file does not hold.
    """
    return _frame(
        "pulses",
        paths,
        apertures,
        pulse_filter_kwargs,
        columns,
        partition_records,
        threads,
        ignore_missing,
        on_bad_file,
    )


def read_records(
    paths: Paths,
    apertures: Iterable[Any] | None = None,
    *,
    columns: Sequence[str] | None = None,
    partition_records: int = 5_000_000,
    threads: int = 1,
    ignore_missing: bool = False,
    on_bad_file: str = "raise",
) -> Any:
    """Every record of every file as one Dask DataFrame: "run", then the
    columns of ``PulseReader.read_records``."""
    return _frame("records", paths, apertures, None, columns, partition_records, threads, ignore_missing, on_bad_file)


def summarize(
    paths: Paths,
    apertures: Iterable[Any] | None = None,
    pulse_filter_kwargs: dict[str, Any] | None = None,
    *,
    columns: Sequence[str] | None = None,
    partition_records: int = 5_000_000,
    threads: int = 1,
    ignore_missing: bool = False,
    on_bad_file: str = "raise",
) -> Any:
    """One row per aperture of every file as one Dask DataFrame: "run", then
    the columns of ``PulseReader.summarize``. Summarizing reads every record,
    so the partitions are planned by records as for the other tables: each
    holds whole apertures of one file."""
    return _frame(
        "summary",
        paths,
        apertures,
        pulse_filter_kwargs,
        columns,
        partition_records,
        threads,
        ignore_missing,
        on_bad_file,
    )


for _reader in (read_pulses, read_records, summarize):
    _reader.__doc__ = (_reader.__doc__ or "").rstrip() + "\n\n    " + _BAD_FILES + "\n"

__all__ = [
    "RUN",
    "Skipped",
    "SkippedWarning",
    "expand_paths",
    "plan",
    "read_pulses",
    "read_records",
    "run_names",
    "summarize",
]
