"""``kvt-pulses summary``, ``pulses`` and ``records``: one writer path for one
file or many, here or on a Dask cluster.

The rows come from one of two sources and go to one writer
(:func:`kvt_pulse_tools.tables.table_output`):

- here, file after file, as the module's Arrow streams (or pandas batches
  without pyarrow), read on the module's own threads;
- on a cluster (``--workers``, ``--scheduler``), as the partitions that
  :func:`kvt_pulse_tools.dask.plan` makes, computed a few at a time ahead of
  the writer and written in order.

With several files, every table gains a first column "run" (the file's name
without its extension, as :mod:`kvt_pulse_tools.dask` names it). With
``-o FOLDER/`` the table is a Parquet dataset, one part per partition, and
each part is written where its partition is read: by the workers on a
cluster, so that no table passes through the client. ``--on-bad-file skip``
leaves out files that cannot be opened and apertures that cannot be read,
lists them on standard error (and in ``--skipped FILE.json``) and exits 3.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterator
from typing import Any

from kvt_pulse_tools._atomic import atomic_folder
from kvt_pulse_tools._command import SkipReport, checked_output, held_apertures, progress_bar
from kvt_pulse_tools._outputs import is_folder_output, refuse_unsafe_output
from kvt_pulse_tools.dask_cli import client, in_order, on_cluster


def run(args: argparse.Namespace, table: str, filters: dict[str, Any] | None) -> int:
    """Writes the "summary", "pulses" or "records" table of ``args.files``;
    returns the exit status (3 when something was skipped)."""
    report = SkipReport(args)
    if args.output is not None:
        checked_output(args, args.files)
    if args.skipped is not None:
        refuse_unsafe_output(args.skipped, args.files, force=args.force)
    if args.output is not None and is_folder_output(args.output):
        _write_dataset(args, table, filters, report)
    else:
        from kvt_pulse_tools.tables import table_output

        with table_output(args.output, table) as writer:
            if on_cluster(args):
                _from_cluster(args, table, filters, report, writer)
            else:
                _from_here(args, table, filters, report, writer)
    return report.finish()


def _wanted(args: argparse.Namespace) -> list[str] | None:
    columns: list[str] | None = getattr(args, "columns", None)
    return columns


def _plan(args: argparse.Namespace, table: str, report: SkipReport) -> Any:
    from kvt_pulse_tools import dask as kvt_dask

    planned = kvt_dask.plan(
        table, args.files, args.apertures, ignore_missing=args.ignore_missing, on_bad_file=args.on_bad_file
    )
    for item in planned.skipped:
        report.add(item.path, item.aperture, item.reason)
    return planned


def _part_options(
    args: argparse.Namespace, table: str, filters: dict[str, Any] | None, threads: int, planned: Any
) -> dict[str, Any]:
    from kvt_pulse_tools import dask as kvt_dask

    wanted = _wanted(args)
    if len(args.files) == 1 and wanted is None:  # one file: the columns of the single-file table
        wanted = [
            name for name in kvt_dask.meta(planned, table, filters, threads, None).columns if name != kvt_dask.RUN
        ]
    return dict(
        table=table,
        filter_kwargs=kvt_dask.known_filter_kwargs(filters),
        runs=planned.categories,
        threads=threads,
        base_columns=wanted,
        errors=args.on_bad_file,
    )


def _from_cluster(
    args: argparse.Namespace, table: str, filters: dict[str, Any] | None, report: SkipReport, writer: Any
) -> None:
    from kvt_pulse_tools import dask as kvt_dask

    planned = _plan(args, table, report)
    options = _part_options(args, table, filters, args.threads or 1, planned)
    empty = kvt_dask.meta(planned, table, filters, args.threads or 1, options["base_columns"])
    with client(args) as cluster, progress_bar(args, len(planned.parts), table, unit="partition") as bar:
        for part, frame in zip(
            planned.parts, in_order(cluster, kvt_dask.read_part, planned.parts, **options), strict=True
        ):
            report.add_from(part.path, frame)
            frame.attrs = {}
            writer.write(frame)
            bar.update(1)
    writer.close(empty)


def _write_dataset(args: argparse.Namespace, table: str, filters: dict[str, Any] | None, report: SkipReport) -> None:
    """One Parquet part per partition, written where the partition is read."""
    planned = _plan(args, table, report)
    threads = args.threads or (1 if on_cluster(args) else os.cpu_count() or 1)
    options = _part_options(args, table, filters, threads, planned)
    with atomic_folder(args.output) as folder:
        paths = [os.path.abspath(os.path.join(folder, f"part.{k:05d}.parquet")) for k in range(len(planned.parts))]
        jobs = list(zip(planned.parts, paths, strict=True))
        with progress_bar(args, len(jobs), table, unit="part") as bar:
            if on_cluster(args):
                with client(args) as cluster:
                    for skipped in in_order(cluster, _write_job, jobs, **options):
                        _add_skipped(report, skipped)
                        bar.update(1)
            else:
                for job in jobs:
                    _add_skipped(report, _write_job(job, **options))
                    bar.update(1)


def _write_job(job: tuple[Any, str], **options: Any) -> Any:
    from kvt_pulse_tools import dask as kvt_dask

    part, path = job
    return kvt_dask.write_part(
        part,
        path,
        options["table"],
        options["filter_kwargs"],
        options["runs"],
        options["threads"],
        options["base_columns"],
        options["errors"],
    )


def _add_skipped(report: SkipReport, skipped: Any) -> None:
    for item in skipped:
        report.add(item.path, item.aperture, item.reason)


# ---------------------------------------------------------------------------
# Here: the module's streams, file after file.


def _from_here(
    args: argparse.Namespace, table: str, filters: dict[str, Any] | None, report: SkipReport, writer: Any
) -> None:
    from kvt_pulse_reader import PulseReader

    from kvt_pulse_tools import dask as kvt_dask

    several = len(args.files) > 1
    names = kvt_dask.run_names(args.files)
    categories = list(dict.fromkeys(names))
    wanted = _wanted(args)
    own = None if wanted is None else [name for name in wanted if name != kvt_dask.RUN]
    at = (
        None
        if not several or (wanted is not None and kvt_dask.RUN not in wanted)
        else 0
        if wanted is None
        else wanted.index(kvt_dask.RUN)
    )
    empty = None
    with progress_bar(args, None, table, unit="row", unit_scale=True) as bar:
        for path, run in zip(args.files, names, strict=True):
            try:
                reader = PulseReader(path)
            except (RuntimeError, OSError) as error:
                if not report.skip:
                    raise
                report.add(path, None, str(error))
                continue
            with reader:
                selection = held_apertures(reader, argparse.Namespace(**{**vars(args), "file": path}))
                if report.skip:  # apertures whose blocks cannot be placed are left out before reading
                    missed: list[Any] = []
                    selection = kvt_dask.placed_apertures(reader, selection, path, missed)[0].tolist()
                    _add_skipped(report, missed)
                code = categories.index(run)
                for piece in _pieces(reader, table, selection, filters, args, own, writer.takes_streams, report, path):
                    piece = _with_run(piece, at, code, categories)
                    if hasattr(piece, "num_rows"):
                        writer.write_arrow(piece)
                    else:
                        writer.write(piece)
                    bar.update(piece.num_rows if hasattr(piece, "num_rows") else len(piece))
                if empty is None:
                    empty = _with_run(_empty(reader, table, own), at, code, categories)
    writer.close(empty)


def _errors(report: SkipReport, method: Any) -> dict[str, str]:
    from kvt_pulse_tools.dask import _takes_errors

    return {"errors": "skip"} if report.skip and _takes_errors(method) else {}


def _pieces(
    reader: Any,
    table: str,
    selection: list[int],
    filters: dict[str, Any] | None,
    args: argparse.Namespace,
    own: list[str] | None,
    streams: bool,
    report: SkipReport,
    path: str,
) -> Iterator[Any]:
    """The table of one file: pandas frames, or pyarrow batches straight
    from the module's column buffers when pyarrow is installed."""
    threads = args.threads
    if table == "summary":
        frame = reader.summarize(
            selection, pulse_filter_kwargs=filters, threads=threads, **_errors(report, reader.summarize)
        )
        report.add_from(path, frame)
        frame.attrs = {}
        yield frame
        return
    if streams:
        import pyarrow as pa

        if table == "pulses":
            stream = reader.stream_pulses(
                selection,
                pulse_filter_kwargs=filters,
                columns=own,
                threads=threads,
                **_errors(report, reader.stream_pulses),
            )
        else:
            stream = reader.stream_records(
                selection, columns=own, threads=threads, **_errors(report, reader.stream_records)
            )
        yield from pa.RecordBatchReader.from_stream(stream)
        report.add_from(path, stream)
        return
    if table == "pulses":
        for frame in reader.iter_pulses(
            selection, pulse_filter_kwargs=filters, columns=own, threads=threads, **_errors(report, reader.iter_pulses)
        ):
            report.add_from(path, frame)
            frame.attrs = {}
            yield frame
        return
    for batch in _record_batches(reader, selection):
        frame = reader.read_records(batch, columns=own, threads=threads, **_errors(report, reader.read_records))
        report.add_from(path, frame)
        frame.attrs = {}
        yield frame


def _empty(reader: Any, table: str, own: list[str] | None) -> Any:
    if table == "summary":
        frame = reader.summarize([])
    elif table == "pulses":
        frame = reader.read_pulses([], columns=own)
    else:
        frame = reader.read_records([], columns=own)
    frame.attrs = {}
    return frame


def _with_run(piece: Any, at: int | None, code: int, categories: list[str]) -> Any:
    """The piece with the "run" column at ``at`` (None: none)."""
    if at is None:
        return piece
    import numpy as np

    from kvt_pulse_tools.dask import RUN

    rows = piece.num_rows if hasattr(piece, "num_rows") else len(piece)
    codes = np.full(rows, code, dtype=np.int8 if len(categories) < 2**7 else np.int32)
    if hasattr(piece, "num_rows"):
        import pyarrow as pa

        column = pa.DictionaryArray.from_arrays(pa.array(codes), pa.array(categories))
        table = piece if isinstance(piece, pa.Table) else pa.Table.from_batches([piece])
        return table.add_column(at, RUN, column)
    import pandas as pd

    piece.insert(at, RUN, pd.Categorical.from_codes(codes, dtype=pd.CategoricalDtype(categories)))
    return piece


def _record_batches(reader: Any, selection: list[int], records: int = 1_000_000) -> list[list[int]]:
    """The selection cut into runs of whole apertures of about ``records``
    records each, from the module's block plan."""
    counts = reader.block_table(selection)["num_records"].tolist() if selection else []
    batches: list[list[int]] = [[]]
    held = 0
    for number, count in zip(selection, counts, strict=True):
        if held >= records:
            batches.append([])
            held = 0
        batches[-1].append(number)
        held += count
    return [batch for batch in batches if batch]
