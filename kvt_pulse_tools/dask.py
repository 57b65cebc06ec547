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
built, from each file's index and the 16-byte headers of its blocks: no
record is read then. Each partition opens its file where it is computed (a
worker needs only a path it can see and this package), so a task carries only
a path, its aperture numbers as runs of consecutive numbers, and the filter's
keywords. Dask's optimizer pushes column selections down into the read.

A missing file, or one whose header, metadata or index the module refuses,
fails when the frame is built; a damaged block fails the partition that reads
it. Both raise the module's RuntimeError, its message prefixed with the file's
path. No partition is ever left out.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Union

import kvt_pulse_reader

from kvt_pulse_tools._errors import require
from kvt_pulse_tools._format import (
    APERTURE_HEADER_SIZE,
    HEADER_SIZE,
    INDEX_ENTRY_SIZE,
    INDEX_MAGIC,
    FileHeader,
    index_entry_dtype,
)

PathArg = Union[str, "os.PathLike[str]"]
Paths = Union[PathArg, Iterable[PathArg]]

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
    """The module's error with the file's path before its message (its notes
    kept), so that a failure among many files says which one failed."""
    named = RuntimeError(f"{path}: {error}")
    notes = getattr(error, "__notes__", None)
    if notes:
        named.__notes__ = list(notes)
    return named


# ---------------------------------------------------------------------------
# Planning: partitions from the index and the block headers.


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


@dataclass(frozen=True, eq=False)
class FileIndex:
    """What planning needs of a file, read with NumPy: its header, the
    apertures that the index can look up (each once, ascending, the later of
    two entries of one number winning, entries of offset 0 left out) with
    their block offsets, and the file mapped for the block headers."""

    header: FileHeader
    size: int
    numbers: Any
    offsets: Any
    data: Any

    @classmethod
    def read(cls, path: str) -> FileIndex:
        import numpy as np

        size = os.stat(path).st_size
        data = np.memmap(path, dtype=np.uint8, mode="r")
        header = FileHeader.unpack(bytes(data[:HEADER_SIZE]))
        at = header.index_offset + len(INDEX_MAGIC)
        entries = np.frombuffer(data[at:at + INDEX_ENTRY_SIZE * header.num_apertures], dtype=index_entry_dtype())
        order = np.argsort(entries["aperture"], kind="stable")
        numbers = entries["aperture"][order].astype(np.int64)
        offsets = entries["offset"][order].astype(np.int64)
        last = np.append(numbers[1:] != numbers[:-1], True)
        held = last & (offsets != 0)
        return cls(header, size, numbers[held], offsets[held], data)

    def record_counts(self, numbers: Any) -> Any:
        """The record count in the block header of each aperture of
        ``numbers`` (all held), without touching a record. A block whose
        header lies outside the data region counts 0 here: the partition that
        reads it fails with the module's error."""
        import numpy as np

        from kvt_pulse_tools.check import read_block_headers

        offsets = self.offsets[np.searchsorted(self.numbers, numbers)]
        end = min(self.header.index_offset, self.size) - APERTURE_HEADER_SIZE
        inside = (offsets >= self.header.data_offset) & (offsets <= end)
        counts = np.zeros(len(offsets), dtype=np.int64)
        counts[inside] = read_block_headers(self.data, offsets[inside])["num_records"]
        return counts


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


def plan_file(path: str, run: str, table: str, apertures: Any, partition_records: int,
              ignore_missing: bool = False) -> list[Part]:
    """The partitions of one file. Opening it with the module checks its
    header, metadata and index; a selection's missing aperture fails here
    with the module's own message, unless ``ignore_missing`` drops it."""
    import numpy as np

    from kvt_pulse_reader import PulseReader

    try:
        with PulseReader(path) as reader:
            index = FileIndex.read(path)
            if apertures is None:
                numbers = index.numbers
            else:
                numbers = np.asarray(apertures, dtype=np.int64).reshape(-1)
                missing = ~np.isin(numbers, index.numbers)
                if ignore_missing:
                    numbers = numbers[~missing]
                elif missing.any():
                    # The module's own message for the first missing number.
                    getattr(reader, METHODS[table])([int(numbers[np.argmax(missing)])])
    except RuntimeError as error:
        raise _named(error, path) from error
    counts = index.record_counts(numbers)
    # Workers see the same folders as the client, not its working folder.
    where = os.path.abspath(path)
    return [Part(where, run, spans_of(numbers[piece])) for piece in cut(counts, partition_records)]


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


def read_part(part: Part, table: str, filter_kwargs: dict[str, Any] | None, runs: Sequence[str], threads: int,
              base_columns: Sequence[str] | None, columns: Sequence[str] | None = None) -> Any:
    """The rows of one partition: the module's table of its apertures, with
    the "run" column where it is wanted. ``columns`` is the projection that
    Dask pushes down (None: ``base_columns``, the caller's choice, None for
    every column)."""
    import numpy as np
    import pandas as pd

    from kvt_pulse_reader import PulseReader

    wanted = list(columns) if columns is not None else None if base_columns is None else list(base_columns)
    own = None if wanted is None else [name for name in wanted if name != RUN]
    read = own if own or wanted is None else [_ROW_COLUMN]
    try:
        with PulseReader(part.path) as reader:
            numbers = part.apertures()
            if table == "summary":
                frame = reader.summarize(numbers, pulse_filter_kwargs=filter_kwargs, threads=threads)
                if read is not None:
                    _check_columns(frame, read)
                    frame = frame[read]
            elif table == "pulses":
                frame = reader.read_pulses(numbers, pulse_filter_kwargs=filter_kwargs, columns=read,
                                           threads=threads)
            else:
                frame = reader.read_records(numbers, columns=read, threads=threads)
    except RuntimeError as error:
        raise _named(error, part.path) from error
    frame.attrs = {}
    if own == []:
        frame = frame[[]]
    if wanted is None or RUN in wanted:
        dtype = pd.CategoricalDtype(list(runs))
        # Codes of the width pandas keeps for this many categories: no second copy.
        width = np.int8 if len(runs) < 2**7 else np.int16 if len(runs) < 2**15 else np.int32
        run: Any = pd.Categorical.from_codes(np.full(len(frame), list(runs).index(part.run), dtype=width),
                                             dtype=dtype)
        frame.insert(0 if wanted is None else wanted.index(RUN), RUN, run)
    return frame


def _check_columns(frame: Any, names: Sequence[str]) -> None:
    unknown = [name for name in names if name not in frame.columns]
    if unknown:
        raise RuntimeError(f"Unknown column {unknown[0]!r}; the valid columns are "
                           + ", ".join([RUN, *frame.columns]))


# ---------------------------------------------------------------------------
# The frames.


def _frame(table: str, paths: Paths, apertures: Iterable[Any] | None, pulse_filter_kwargs: dict[str, Any] | None,
           columns: Sequence[str] | None, partition_records: int, threads: int, ignore_missing: bool) -> Any:
    dask = require("dask", "Dask DataFrames", "dask")
    dd = require("dask.dataframe", "Dask DataFrames", "dask")

    if isinstance(partition_records, bool) or not isinstance(partition_records, int):
        raise TypeError("partition_records must be an int")
    if partition_records < 1:
        raise ValueError("partition_records must be at least 1")
    files = expand_paths(paths)
    runs = run_names(files)
    categories = tuple(dict.fromkeys(runs))  # a file given twice is one run
    selection = _selection(apertures)
    parts = [part for path, run in zip(files, runs)
             for part in plan_file(path, run, table, selection, partition_records, ignore_missing)]
    if not parts:  # nothing selected: one empty partition gives the columns
        parts = [Part(files[0], runs[0], spans_of([]))]
    base_columns = None if columns is None else list(columns)
    # The empty frame of the first file: the meta, and the module's checks of
    # the column names and of the filter's keywords (it warns of unknown ones).
    empty = Part(files[0], runs[0], spans_of([]))
    meta = read_part(empty, table, pulse_filter_kwargs, categories, threads, base_columns)
    kwargs = None if pulse_filter_kwargs is None else {
        key: value for key, value in pulse_filter_kwargs.items() if key in FILTER_KEYWORDS}
    # The frames hold no Python strings; leave the module's types as they are.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(read_part, parts, meta=meta, label=METHODS[table], enforce_metadata=False,
                           table=table, filter_kwargs=kwargs, runs=categories, threads=threads,
                           base_columns=base_columns)


def read_pulses(paths: Paths, apertures: Iterable[Any] | None = None,
                pulse_filter_kwargs: dict[str, Any] | None = None, *, columns: Sequence[str] | None = None,
                partition_records: int = 5_000_000, threads: int = 1, ignore_missing: bool = False) -> Any:
    """Every pulse of every file (or of the ``apertures`` selected in each)
    as one Dask DataFrame: "run", then the columns of
    ``PulseReader.read_pulses`` (``columns`` chooses and orders them, "run"
    included). ``threads`` is the module's threads per partition;
    ``ignore_missing`` skips selected apertures that a file does not hold."""
    return _frame("pulses", paths, apertures, pulse_filter_kwargs, columns, partition_records, threads,
                  ignore_missing)


def read_records(paths: Paths, apertures: Iterable[Any] | None = None, *, columns: Sequence[str] | None = None,
                 partition_records: int = 5_000_000, threads: int = 1, ignore_missing: bool = False) -> Any:
    """Every record of every file as one Dask DataFrame: "run", then the
    columns of ``PulseReader.read_records``."""
    return _frame("records", paths, apertures, None, columns, partition_records, threads, ignore_missing)


def summarize(paths: Paths, apertures: Iterable[Any] | None = None,
              pulse_filter_kwargs: dict[str, Any] | None = None, *, columns: Sequence[str] | None = None,
              partition_records: int = 5_000_000, threads: int = 1, ignore_missing: bool = False) -> Any:
    """One row per aperture of every file as one Dask DataFrame: "run", then
    the columns of ``PulseReader.summarize``. Summarizing reads every record,
    so the partitions are planned by records as for the other tables: each
    holds whole apertures of one file."""
    return _frame("summary", paths, apertures, pulse_filter_kwargs, columns, partition_records, threads,
                  ignore_missing)


__all__ = ["RUN", "expand_paths", "read_pulses", "read_records", "run_names", "summarize"]
