"""``kvt-pulses summary`` and ``kvt-pulses pulses`` over several files, here or
on a Dask cluster.

With several files, each table gains a first column "run" (the file's name
without its extension, as :mod:`kvt_pulse_tools.dask` names it). Without a
cluster the files are read one after the other in this process, as one file
is. ``--workers N`` starts a cluster of N single-threaded worker processes on
this machine; ``--scheduler ADDRESS`` uses a running one. On a cluster the
partitions are computed a few at a time ahead of the writer and written in
order, so neither the command nor the cluster holds the whole table.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
from collections import deque
from collections.abc import Iterator
from typing import Any

from kvt_pulse_tools._errors import require


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"invalid worker count {text!r}: expected a positive integer")
    return number


def add_options(parser: argparse.ArgumentParser) -> None:
    """--scheduler ADDRESS and --workers N, one or the other."""
    group = parser.add_argument_group("Dask cluster (pip install 'kvt_pulse_reader[dask]')")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="compute on the Dask cluster whose scheduler is at ADDRESS, such as tcp://host:8786 "
                            "(every worker must see the files at the same paths)")
    where.add_argument("--workers", type=_count, metavar="N",
                       help="start a Dask cluster of N single-threaded worker processes on this machine")


def handles(args: argparse.Namespace) -> bool:
    """Whether this module runs the command: several files or a cluster."""
    return len(args.files) > 1 or args.scheduler is not None or args.workers is not None


def run(args: argparse.Namespace, table: str) -> int:
    """Writes the "summary" or "pulses" table of ``args.files``."""
    if args.scheduler is None and args.workers is None:
        return _run_here(args, table)
    return _run_on_cluster(args, table)


def _wanted(args: argparse.Namespace) -> list[str] | None:
    columns: list[str] | None = getattr(args, "columns", None)
    return columns


def _run_here(args: argparse.Namespace, table: str) -> int:
    import pandas as pd

    from kvt_pulse_reader import PulseReader
    from kvt_pulse_tools.cli import _out, filter_kwargs, held_apertures, progress_bar
    from kvt_pulse_tools.dask import RUN, run_names
    from kvt_pulse_tools.tables import table_output

    names = run_names(args.files)
    runs = pd.CategoricalDtype(list(dict.fromkeys(names)))
    wanted = _wanted(args)
    own = None if wanted is None else [name for name in wanted if name != RUN]

    def with_run(frame: Any, run: str) -> Any:
        frame.attrs = {}
        if wanted is None or RUN in wanted:
            frame.insert(0 if wanted is None else wanted.index(RUN), RUN,
                         pd.Categorical([run] * len(frame), dtype=runs))
        return frame

    empty = None
    with table_output(_out(args), table) as writer, progress_bar(args, len(args.files), table, unit="file") as bar:
        for path, run in zip(args.files, names):
            one = argparse.Namespace(**{**vars(args), "file": path})
            with PulseReader(path) as reader:
                selection = held_apertures(reader, one)
                if table == "summary":
                    writer.write(with_run(reader.summarize(selection, pulse_filter_kwargs=filter_kwargs(args),
                                                           threads=args.threads), run))
                else:
                    for batch in reader.iter_pulses(selection, pulse_filter_kwargs=filter_kwargs(args),
                                                    columns=own, threads=args.threads):
                        writer.write(with_run(batch, run))
                    empty = with_run(reader.read_pulses([], columns=own), run)
            bar.update(1)
        writer.close(empty)
    return 0


def _run_on_cluster(args: argparse.Namespace, table: str) -> int:
    distributed = require("distributed", "--scheduler and --workers", "dask")
    from kvt_pulse_tools import dask as kvt_dask
    from kvt_pulse_tools.cli import _out, filter_kwargs, progress_bar
    from kvt_pulse_tools.tables import table_output

    read = kvt_dask.summarize if table == "summary" else kvt_dask.read_pulses
    wanted = _wanted(args)
    frame = read(args.files, args.apertures, filter_kwargs(args), columns=wanted, threads=args.threads or 1,
                 ignore_missing=args.ignore_missing)
    if len(args.files) == 1 and wanted is None:
        frame = frame.drop(columns=kvt_dask.RUN)  # one file: the columns of the single-machine command
    with contextlib.ExitStack() as stack:
        if args.workers is not None:
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address=":0", silence_logs=logging.CRITICAL))
            client = stack.enter_context(distributed.Client(cluster))
        else:
            client = stack.enter_context(distributed.Client(args.scheduler))
        with table_output(_out(args), table) as writer, \
                progress_bar(args, frame.npartitions, table, unit="partition") as bar:
            try:
                for part in in_order(client, frame):
                    writer.write(part)
                    bar.update(1)
            except BaseException:
                with contextlib.suppress(Exception):
                    writer.close()  # before its file goes: no writer left to flush into it
                raise
            writer.close(frame._meta)
    return 0


def in_order(client: Any, frame: Any) -> Iterator[Any]:
    """The partitions of ``frame`` computed on the cluster, in order, with
    twice as many in flight as the cluster has threads."""
    parts = frame.to_delayed()
    window = max(2, 2 * sum(client.nthreads().values()))
    pending: deque[Any] = deque()
    submitted = 0
    while submitted < len(parts) or pending:
        while submitted < len(parts) and len(pending) < window:
            pending.append(client.compute(parts[submitted]))
            submitted += 1
        future = pending.popleft()
        yield future.result()
        future.release()
