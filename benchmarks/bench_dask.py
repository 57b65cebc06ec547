"""Many runs on a Dask cluster against a plain loop over the files.

Synthesizes --files pulse files of --size MB (300 records per aperture) under
/tmp, reads them once so that both sides find them in the page cache, starts a
LocalCluster of two single-threaded worker processes on the loopback, then
times in alternating rounds (the machine is shared and noisy):

  dask     kvt_pulse_tools.dask.read_pulses(paths).groupby("run").size().compute()
           on the cluster, building the frame (planning) included;
  loop     for each file, PulseReader(path).read_pulses(threads=1), on one core;
  loop/ai  the same loop reading only "aperture_index", the one column that the
           projection leaves the Dask side: this ratio is the cluster's alone.

It reports the median of the rounds' ratios (aim: loop / dask >= 1.6), the
time of planning alone, the scheduler's overhead per partition (no-op tasks
through from_map, and the same read cut into many more partitions), and from
these figures a model of how the time grows with files and workers.

    python benchmarks/bench_dask.py [--files 8] [--size 250] [--rounds 5]

The files are removed at exit.
"""

from __future__ import annotations

import argparse
import logging
import os
import statistics
import tempfile
import time

RECORDS = 300


def timed(function, *args, **kwargs) -> tuple[float, object]:
    start = time.perf_counter()
    result = function(*args, **kwargs)
    return time.perf_counter() - start, result


def loop(paths: list[str], columns: list[str] | None) -> dict[str, int]:
    from kvt_pulse_reader import PulseReader

    sizes = {}
    for path in paths:
        with PulseReader(path) as reader:
            sizes[os.path.splitext(os.path.basename(path))[0]] = len(reader.read_pulses(columns=columns, threads=1))
    return sizes


def on_dask(paths: list[str], partition_records: int) -> dict[str, int]:
    from kvt_pulse_tools import dask as kvt_dask

    sizes = kvt_dask.read_pulses(paths, partition_records=partition_records).groupby("run", observed=True).size()
    return {str(run): int(size) for run, size in sizes.compute().items()}


def nothing(k: int) -> object:
    import pandas as pd

    return pd.DataFrame({"k": [k]})


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--size", type=int, default=250, help="MB per file")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    import dask.dataframe as dd
    import distributed

    from kvt_pulse_tools import dask as kvt_dask
    from kvt_pulse_tools import synthesize

    with tempfile.TemporaryDirectory(prefix="kvt-bench-dask-", dir="/tmp") as folder:
        apertures = args.size * 1_000_000 // (16 + 16 * RECORDS)
        paths = [os.path.join(folder, f"run{k:02d}.bin") for k in range(args.files)]
        for k, path in enumerate(paths):
            synthesize(path, apertures=apertures, records=RECORDS, seed=k)
            with open(path, "rb") as warm:
                while warm.read(16 << 20):
                    pass
        total_mb = sum(os.path.getsize(path) for path in paths) / 1e6
        print(f"{args.files} files of {args.size} MB ({apertures} apertures x {RECORDS} records), {total_mb:.0f} MB")

        started = time.perf_counter()
        with (
            distributed.LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=":0",
                silence_logs=logging.ERROR,
            ) as cluster,
            distributed.Client(cluster),
        ):
            print(f"cluster of 2 single-threaded workers started in {time.perf_counter() - started:.1f} s")
            partitions = kvt_dask.read_pulses(paths).npartitions
            on_dask(paths[:2], 5_000_000)  # the workers import the modules once, untimed
            rows = []
            for _ in range(args.rounds):
                dask_time, dask_sizes = timed(on_dask, paths, 5_000_000)
                loop_time, loop_sizes = timed(loop, paths, None)
                narrow_time, narrow_sizes = timed(loop, paths, ["aperture_index"])
                assert dask_sizes == loop_sizes == narrow_sizes
                rows.append((loop_time / dask_time, narrow_time / dask_time, dask_time, loop_time, narrow_time))
            middle = sorted(rows)[len(rows) // 2]
            print(
                f"dask: {middle[2]:.2f} s over {partitions} partitions ({total_mb / middle[2]:.0f} MB/s); "
                f"loop read_pulses(threads=1): {middle[3]:.2f} s; loop of aperture_index alone: {middle[4]:.2f} s"
            )
            speedup = statistics.median(row[0] for row in rows)
            print(
                f"median ratio loop / dask: {speedup:.2f} (aim: >= 1.6); "
                f"loop of aperture_index / dask: {statistics.median(row[1] for row in rows):.2f} "
                f"(the cluster's share; 2 workers at most 2)"
            )

            plan_time = statistics.median(timed(kvt_dask.read_pulses, paths)[0] for _ in range(3))
            print(
                f"planning {args.files} files (index and block headers, meta): {plan_time * 1e3:.0f} ms, "
                f"{plan_time / args.files * 1e3:.1f} ms per file"
            )

            tasks = 2000

            def noop_round(first: int) -> object:
                # Keys of their own each round: the scheduler may still be forgetting the last round's.
                frame = dd.from_map(nothing, range(first, first + tasks), meta={"k": "int64"})
                return frame.map_partitions(len).compute()

            noop = statistics.median(timed(noop_round, k * tasks)[0] for k in range(3))
            print(f"scheduler: {tasks} no-op partitions in {noop:.2f} s, {noop / tasks * 1e3:.2f} ms per partition")
            small = 1_000_000
            many = kvt_dask.read_pulses(paths, partition_records=small).npartitions
            many_time = statistics.median(timed(on_dask, paths, small)[0] for _ in range(min(args.rounds, 3)))
            per_partition = (many_time - middle[2]) / (many - partitions)
            print(
                f"the same read in {many} partitions of {small} records: {many_time:.2f} s, "
                f"{per_partition * 1e3:.1f} ms more per extra partition"
            )

        # A model for a real cluster: planning on the client, then the files'
        # work shared by the workers, plus the scheduler's cost per partition.
        per_file = middle[2] * 2 / args.files  # one worker's seconds for one file of this size
        per_task = max(noop / tasks, 0.0)
        print(
            f"model: T(F files of {args.size} MB, W workers) ~ {plan_time / args.files * 1e3:.1f} ms x F "
            f"+ {per_file:.2f} s x F / W + {per_task * 1e3:.2f} ms x partitions; "
            f"one partition per {5_000_000 * 16 / 1e6:.0f} MB of records"
        )
        for files, workers in ((8, 2), (100, 16), (1000, 64), (1000, 256)):
            parts = files * partitions // args.files
            estimate = plan_time / args.files * files + per_file * files / workers + per_task * parts
            print(
                f"  {files:5d} files on {workers:3d} workers: ~{estimate:6.1f} s "
                f"(if the file system feeds {files * args.size / estimate:.0f} MB/s)"
            )


if __name__ == "__main__":
    main()
