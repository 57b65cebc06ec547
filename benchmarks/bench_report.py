"""Speed, memory and page size of `kvt-pulses report`.

  run    The report of a run of --size MB (200,000 apertures x 300 records for
         1 GB, made with kvt_pulse_tools.synthesize) against `summarize()` +
         `read_pulses()` of the same file, each in a child process, in
         alternating rounds (the machine is shared and noisy); the median of
         the rounds' ratios, and each side's peak resident memory above its
         start. Aims: ratio at most 5, the report's peak at most 1 GB above
         its start.
  large  The report of a synthetic run of --apertures apertures (2,000,000)
         of 5 to 25 records each: its time and the page's size.
         Aims: at most 2 minutes, at most 10 MB.

    python benchmarks/bench_report.py [--size MB] [--apertures N] [--rounds N] [--cases run,large] [--quick]

Files are written under /tmp and removed at exit.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

from kvt_pulse_tools import synthesize

RECORDS = 300

# A child measures its own time and its peak resident memory above what it
# held once its imports were done.
MEASURED = """
import json, resource, time
import numpy, pandas, plotly, kvt_pulse_reader, kvt_pulse_tools
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()
start_memory = resident()
start = time.perf_counter()
{work}
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({{"seconds": seconds, "peak_above_start": peak - start_memory}}))
"""

REPORT = "kvt_pulse_tools.report({path!r}, {out!r}, force=True)"
YARDSTICK = """
with kvt_pulse_reader.PulseReader({path!r}) as reader:
    summary = reader.summarize()
    pulses = reader.read_pulses()
    del summary, pulses
"""


def child(work: str) -> dict[str, float]:
    code = MEASURED.format(work=work)
    result = subprocess.run(
        [sys.executable, "-c", code],
        check=True,
        capture_output=True,
        text=True,
        env=dict(os.environ, OPENBLAS_NUM_THREADS="1"),
    )
    return json.loads(result.stdout.strip().splitlines()[-1])


def case_run(folder: str, size_mb: int, rounds: int) -> None:
    apertures = size_mb * 1_000_000 // (16 + 16 * RECORDS)
    path, out = os.path.join(folder, "run.bin"), os.path.join(folder, "run.html")
    synthesize(path, apertures=apertures, records=RECORDS, seed=1)
    size = os.path.getsize(path)
    child(YARDSTICK.format(path=path))  # the file into the page cache
    rows = []
    for _ in range(rounds):
        tool = child(REPORT.format(path=path, out=out))
        yardstick = child(YARDSTICK.format(path=path))
        rows.append((tool["seconds"] / yardstick["seconds"], tool, yardstick))
    _, tool, yardstick = sorted(rows, key=lambda row: row[0])[len(rows) // 2]
    mib = 1 << 20
    print(
        f"run: {apertures:,} apertures x {RECORDS} records, {size / 1e6:,.0f} MB: report {tool['seconds']:.2f} s, "
        f"summarize() + read_pulses() {yardstick['seconds']:.2f} s; median ratio "
        f"{statistics.median(r[0] for r in rows):.2f} (aim: <= 5); peak above start: report "
        f"{tool['peak_above_start'] / mib:,.0f} MiB (aim: <= 1024), yardstick "
        f"{yardstick['peak_above_start'] / mib:,.0f} MiB; page {os.path.getsize(out) / 1e6:.1f} MB"
    )
    os.unlink(path)
    os.unlink(out)


def case_large(folder: str, apertures: int) -> None:
    path, out = os.path.join(folder, "large.bin"), os.path.join(folder, "large.html")
    written = synthesize(path, apertures=apertures, records=(5, 25), seed=2)
    child(YARDSTICK.format(path=path))  # the file into the page cache
    tool = child(REPORT.format(path=path, out=out))
    print(
        f"large: {apertures:,} apertures ({written.records:,} records, {written.file_size / 1e6:,.0f} MB, "
        f"a {written.rows:,} x {written.cols:,} sensor): report {tool['seconds']:.1f} s (aim: <= 120 s), page "
        f"{os.path.getsize(out) / 1e6:.2f} MB (aim: <= 10 MB), peak above start "
        f"{tool['peak_above_start'] / (1 << 20):,.0f} MiB"
    )
    os.unlink(path)
    os.unlink(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1000, help="the run's size in MB (default 1000)")
    parser.add_argument(
        "--apertures", type=int, default=2_000_000, help="apertures of the large run (default 2,000,000)"
    )
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds of the run case (default 3)")
    parser.add_argument("--cases", default="run,large", help="run, large or both (default)")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a check that the script works")
    args = parser.parse_args()
    if args.quick:
        args.size, args.apertures, args.rounds = 50, 100_000, 1
    with tempfile.TemporaryDirectory(dir="/tmp") as folder:
        for case in args.cases.split(","):
            if case == "run":
                case_run(folder, args.size, args.rounds)
            elif case == "large":
                case_large(folder, args.apertures)
            else:
                parser.error(f"unknown case {case!r}")


if __name__ == "__main__":
    main()
