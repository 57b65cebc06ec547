"""The command's Dask cluster: ``--workers N`` starts a local one of N
single-threaded worker processes, ``--scheduler ADDRESS`` uses a running
one; :func:`in_order` computes tasks a few at a time ahead of the writer and
hands their results back in order, so that neither the command nor the
cluster holds a whole table."""

from __future__ import annotations

import argparse
import contextlib
import logging
from collections import deque
from collections.abc import Callable, Iterator, Sequence
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
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="compute on the Dask cluster whose scheduler is at ADDRESS, such as tcp://host:8786 "
        "(every worker must see the files at the same paths)",
    )
    where.add_argument(
        "--workers",
        type=_count,
        metavar="N",
        help="start a Dask cluster of N single-threaded worker processes on this machine (N processes)",
    )


def on_cluster(args: argparse.Namespace) -> bool:
    return args.scheduler is not None or args.workers is not None


@contextlib.contextmanager
def client(args: argparse.Namespace) -> Iterator[Any]:
    """A Dask client of the cluster that the options name."""
    distributed = require("distributed", "--scheduler and --workers", "dask")
    with contextlib.ExitStack() as stack:
        if args.workers is not None:
            cluster = stack.enter_context(
                distributed.LocalCluster(
                    n_workers=args.workers,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address=":0",
                    silence_logs=logging.CRITICAL,
                )
            )
            yield stack.enter_context(distributed.Client(cluster))
        else:
            yield stack.enter_context(distributed.Client(args.scheduler))


def in_order(client: Any, function: Callable[..., Any], items: Sequence[Any], **kwargs: Any) -> Iterator[Any]:
    """``function(item, **kwargs)`` of each item computed on the cluster, in
    order, with twice as many in flight as the cluster has threads."""
    window = max(2, 2 * sum(client.nthreads().values()))
    pending: deque[Any] = deque()
    submitted = 0
    while submitted < len(items) or pending:
        while submitted < len(items) and len(pending) < window:
            pending.append(client.submit(function, items[submitted], **kwargs, pure=False))
            submitted += 1
        future = pending.popleft()
        yield future.result()
        future.release()
