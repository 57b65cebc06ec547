"""The Arrow streams against the whole-run methods they share their batches with.

  table  `pyarrow.table(reader.stream_pulses())` against `reader.read_pulses()`
         (and the same for records), in alternating rounds in one process; the
         median of the rounds' ratios. The stream lends the module's columns to
         Arrow, so the ratio should stay near 1.
  peak   reading the stream batch by batch (pyarrow.RecordBatchReader, each
         batch dropped before the next) against read_pulses(), each in a child
         process: peak resident memory above the child's own after its imports.
         The stream's should stay about one batch (batch_records=1,000,000).

    python benchmarks/bench_arrow_stream.py [--size MB] [--rounds N] [--cases table,peak]

The file is synthesized under /tmp (kvt_pulse_tools.synthesize, 300 records an
aperture, page-cached by a first read) and removed at exit.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import pyarrow as pa
from kvt_pulse_reader import PulseReader

from kvt_pulse_tools import synthesize

RECORDS = 300


def timed(function) -> float:
    start = time.perf_counter()
    result = function()
    seconds = time.perf_counter() - start
    del result
    return seconds


def case_table(path: str, rounds: int) -> None:
    with PulseReader(path) as reader:
        pairs = {
            "pulses": (lambda: pa.table(reader.stream_pulses()), reader.read_pulses),
            "records": (lambda: pa.table(reader.stream_records()), reader.read_records),
        }
        for name, (stream, method) in pairs.items():
            timed(stream), timed(method)  # warm the cache and the allocators
            rows = []
            for _ in range(rounds):
                stream_seconds, method_seconds = timed(stream), timed(method)
                rows.append((stream_seconds / method_seconds, stream_seconds, method_seconds))
            _, stream_seconds, method_seconds = sorted(rows)[len(rows) // 2]
            print(
                f"pyarrow.table(stream_{name}()): {stream_seconds:.3f} s against read_{name}() "
                f"{method_seconds:.3f} s; median ratio {statistics.median(r[0] for r in rows):.2f} (aim: about 1)"
            )


def peak_above_start(code: str) -> float:
    """Peak resident MiB of `code` above the child's resident memory before it
    (VmHWM: the high-water mark of this process image alone)."""
    report = (
        "import sys, pyarrow, pandas, kvt_pulse_reader\n"
        "def status(key):\n"
        "    with open('/proc/self/status') as lines:\n"
        "        return next(int(line.split()[1]) for line in lines if line.startswith(key))\n"
        "start = status('VmRSS:')\n"
        "exec(sys.argv[1])\n"
        "print(status('VmHWM:') - start)"
    )
    result = subprocess.run([sys.executable, "-c", report, code], check=True, capture_output=True, text=True)
    return int(result.stdout.split()[-1]) / 1024


def case_peak(path: str) -> None:
    for name in ("pulses", "records"):
        stream = (
            f"for batch in pyarrow.RecordBatchReader.from_stream("
            f"kvt_pulse_reader.PulseReader({path!r}).stream_{name}()):\n    del batch"
        )
        method = f"kvt_pulse_reader.PulseReader({path!r}).read_{name}()"
        print(
            f"peak above start, stream_{name}() batch by batch: {peak_above_start(stream):.0f} MiB; "
            f"read_{name}(): {peak_above_start(method):.0f} MiB"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=250, help="file size in MB (default 250)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cases", default="table,peak")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir="/tmp") as folder:
        path = os.path.join(folder, "pulses.bin")
        synthesize(path, args.size * 1_000_000 // (16 + 16 * RECORDS), RECORDS, 1)
        print(f"{os.path.getsize(path) / 1e6:.0f} MB, {RECORDS} records an aperture")
        if "table" in args.cases:
            case_table(path, args.rounds)
        if "peak" in args.cases:
            case_peak(path)


if __name__ == "__main__":
    main()
