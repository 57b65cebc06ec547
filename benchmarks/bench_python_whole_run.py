"""Whole-run reads against their floors, side by side in one run.

    python benchmarks/bench_python_whole_run.py [--rounds 5] [--keep]

Writes a synthetic file of 200,000 apertures x 300 records (about 1 GB) and one
of 800,000 apertures (about 4 GB) under /tmp, reads them page-cached, and
reports the median over the rounds of each ratio (this machine is shared and
noisy, so both sides of a ratio are timed in the same round):

- read_pulses() against the loop pandas.concat([get_pulses(n).reset_index()
  for n in apertures]) timed on 20,000 apertures and scaled;
- read_pulses(), read_records() against their memory floors: one
  numpy.fromfile of the data region plus numpy.full of every output column;
- summarize() against one numpy.fromfile of the data region;
- the peak resident memory of iter_pulses() over the 4 GB file, above the
  process's before the call (in a child process);
- the memory the module keeps after reading the 1 GB file with every method,
  releasing every result and closing the reader (in a child process).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

# NumPy's OpenBLAS threads spin on the CPUs that the module's threads use; this
# must be set before NumPy is first imported.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

SMALL = Path("/tmp/kvt_bench_whole_run_1g.bin")
LARGE = Path("/tmp/kvt_bench_whole_run_4g.bin")


def make(path: Path, apertures: int) -> None:
    if path.exists():
        return
    from kvt_pulse_tools import synthesize

    synthesize(str(path), apertures=apertures, records=300, seed=7)


def data_region(path: Path) -> tuple[int, int]:
    header = np.fromfile(path, dtype="<u8", count=6)
    return int(header[4]), int(header[5])  # data_offset, index_offset


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def fromfile(path: Path, start: int, end: int):
    return np.fromfile(path, dtype=np.uint8, count=end - start, offset=start)


def floor(path: Path, frame) -> float:
    start, end = data_region(path)
    seconds, data = timed(lambda: fromfile(path, start, end))
    del data
    columns = []
    t = time.perf_counter()
    for name in frame.columns:
        dtype = frame[name].dtype
        dtype = np.int8 if str(dtype) == "category" else dtype
        columns.append(np.full(len(frame), 1, dtype=dtype))
    seconds += time.perf_counter() - t
    del columns
    return seconds


CHILD_ITER = """
import sys, kvt_pulse_reader as k
def rss(key):
    for line in open('/proc/self/status'):
        if line.startswith(key): return int(line.split()[1]) * 1024
r = k.PulseReader(sys.argv[1])
before = rss('VmRSS:')
n = 0
for batch in r.iter_pulses():
    n += len(batch)
    del batch
print(n, (rss('VmHWM:') - before) / 2**20)
"""

CHILD_KEPT = """
import sys, gc, numpy, pandas, kvt_pulse_reader as k
def rss():
    for line in open('/proc/self/status'):
        if line.startswith('VmRSS:'): return int(line.split()[1]) * 1024
k.PulseReader(sys.argv[1]).get_pulses(0)  # imports and first-use state, before the baseline
gc.collect()
before = rss()
r = k.PulseReader(sys.argv[1])
for method in ("read_pulses", "read_records", "summarize"):
    frame = getattr(r, method)()
    del frame
for batch in r.iter_pulses():
    del batch
for n in r.apertures[:20000]:
    r.get_pulses(n); r.get_all_records(n)
r.close(); del r
gc.collect()
print((rss() - before) / 2**20)
"""


def child(code: str, path: Path) -> str:
    return subprocess.run(
        [sys.executable, "-c", code, str(path)], check=True, capture_output=True, text=True
    ).stdout.split()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the files under /tmp")
    args = parser.parse_args()
    import pandas as pd
    from kvt_pulse_reader import PulseReader

    make(SMALL, 200_000)
    make(LARGE, 800_000)
    reader = PulseReader(str(SMALL))
    apertures = reader.apertures
    loop_apertures = apertures[:20_000]
    ratios: dict[str, list[float]] = {}
    seconds: dict[str, list[float]] = {}

    def note(name, value, took=None):
        ratios.setdefault(name, []).append(value)
        if took is not None:
            seconds.setdefault(name, []).append(took)

    for _ in range(args.rounds):
        took, frame = timed(lambda: reader.read_pulses())
        note("read_pulses / floor", took / floor(SMALL, frame), took)
        loop, _ = timed(lambda: pd.concat([reader.get_pulses(n).reset_index() for n in loop_apertures]))
        note("loop of get_pulses / read_pulses", loop * len(apertures) / len(loop_apertures) / took)
        del frame
        took, frame = timed(lambda: reader.read_records())
        note("read_records / floor", took / floor(SMALL, frame), took)
        del frame
        start, end = data_region(SMALL)
        took, frame = timed(lambda: reader.summarize())
        plain, data = timed(lambda: fromfile(SMALL, start, end))
        del data, frame
        note("summarize / fromfile", took / plain, took)
        took, frame = timed(lambda: reader.read_pulses(threads=1))
        note("read_pulses(threads=1) seconds", took)
        del frame
    reader.close()
    report = {name: round(statistics.median(values), 3) for name, values in ratios.items()}
    report.update({f"{name}: median seconds": round(statistics.median(v), 3) for name, v in seconds.items()})
    pulses, peak = child(CHILD_ITER, LARGE)
    report["iter_pulses over 4 GB: peak MiB above start"] = round(float(peak), 1)
    report["iter_pulses over 4 GB: pulses"] = int(pulses)
    report["memory kept after every method, MiB"] = round(float(child(CHILD_KEPT, SMALL)[0]), 1)
    print(json.dumps(report, indent=1))
    if not args.keep:
        SMALL.unlink()
        LARGE.unlink()


if __name__ == "__main__":
    main()
