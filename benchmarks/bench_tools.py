"""Speed of the tools: synth, and the pulses table written as Parquet and TSV.

Each case runs the tool and its yardstick side by side in alternating rounds
(the machine is shared and noisy) and reports the median of the rounds'
ratios, with the absolute figures of the median round.

  synth    kvt_pulse_tools.synthesize of --size MB, in MB/s, against writing the
           same number of bytes from a ready buffer and fsyncing them (the
           disk's own speed). Aim: at least 100 MB/s.
  parquet  `kvt-pulses pulses FILE -o out.parquet` against `read_pulses()`
           followed by `pyarrow.parquet.write_table` of its result, each in a
           child process, with the children's peak resident memory.
           Aims: time ratio at most 1.3, peak at most 500 MiB.
  tsv      `kvt-pulses pulses FILE -o out.tsv` against
           `read_pulses().to_csv(sep="\\t")`. Aim: at least 5 times faster.
  info     `kvt-pulses info FILE` in a child: its peak resident memory above
           the interpreter's start, and the bytes it reads (/proc/self/io's
           rchar around the call, the modules imported first).
           Aims: at most 64 MiB and 8 MiB.
  plot     peak resident memory of `kvt-pulses plot FILE --hist dur_s` and
           `--map mean_snr`, each in a child. Aim: at most 300 MiB.
  workers  `kvt-pulses pulses F1 F2 F3 F4 --workers 2 -o out/` against the
           same command without workers (the module's threads), each
           writing a Parquet dataset of the same partitions; the rows of the
           two datasets compared part by part. Aim: time ratio at most 1.3.

    python benchmarks/bench_tools.py [--size MB] [--rounds N] [--cases synth,parquet,tsv,info,plot,workers]

Files are written under /tmp and removed at exit.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from kvt_pulse_tools import synthesize

RECORDS = 300


def timed(function, *args) -> float:
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def write_and_sync(path: str, size: int) -> None:
    block = bytes(16 << 20)
    with open(path, "wb") as out:
        for offset in range(0, size, len(block)):
            out.write(block[: min(len(block), size - offset)])
        out.flush()
        os.fsync(out.fileno())


def child(code: str) -> float:
    """Seconds that `code` takes in a fresh interpreter."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], check=True)
    return time.perf_counter() - start


def case_synth(folder: str, size_mb: int, rounds: int) -> None:
    apertures = size_mb * 1_000_000 // (16 + 16 * RECORDS)
    path, yardstick = os.path.join(folder, "synth.bin"), os.path.join(folder, "yardstick.bin")
    rows = []
    for round_ in range(rounds):
        tool = timed(synthesize, path, apertures, RECORDS, round_)
        size = os.path.getsize(path)
        disk = timed(write_and_sync, yardstick, size)
        rows.append((tool / disk, size / tool / 1e6, size / disk / 1e6))
        os.unlink(yardstick)
    os.unlink(path)
    ratio, tool_speed, disk_speed = sorted(rows)[len(rows) // 2]
    print(
        f"synth: {tool_speed:.0f} MB/s, writing the same bytes {disk_speed:.0f} MB/s; "
        f"median time ratio synth / write {statistics.median(r[0] for r in rows):.2f} (aim: >= 100 MB/s)"
    )


def case_table(folder: str, path: str, rounds: int, extension: str) -> None:
    out = os.path.join(folder, "out." + extension)
    tool = f"from kvt_pulse_tools.cli import main; raise SystemExit(main(['pulses', {path!r}, '-q', '-o', {out!r}]))"
    if extension == "parquet":
        yardstick = (
            "import pyarrow, pyarrow.parquet as pq; from kvt_pulse_reader import PulseReader; "
            f"pq.write_table(pyarrow.Table.from_pandas(PulseReader({path!r}).read_pulses(), "
            f"preserve_index=False), {out!r})"
        )
    else:
        yardstick = (
            f"from kvt_pulse_reader import PulseReader; PulseReader({path!r}).read_pulses()"
            f".to_csv({out!r}, sep='\\t', index=False)"
        )
    rows = []
    for _ in range(rounds):
        tool_seconds = child(tool)
        yard_seconds = child(yardstick)
        rows.append((tool_seconds / yard_seconds, tool_seconds, yard_seconds))
    ratio, tool_seconds, yard_seconds = sorted(rows)[len(rows) // 2]
    peak = peak_of(tool)
    aim = "<= 1.3, peak <= 500 MiB" if extension == "parquet" else "<= 0.2"
    print(
        f"pulses -o .{extension}: {tool_seconds:.2f} s against {yard_seconds:.2f} s, median ratio "
        f"{statistics.median(r[0] for r in rows):.2f} (aim: {aim}); peak resident memory {peak:.0f} MiB"
    )


def peak_of(code: str) -> float:
    """Peak resident MiB of `code` alone, in a child that reports its own."""
    report = (
        "import resource, sys\n"
        "try:\n    exec(sys.argv[1])\nexcept SystemExit:\n    pass\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)"
    )
    result = subprocess.run([sys.executable, "-c", report, code], check=True, capture_output=True, text=True)
    return int(result.stdout.split()[-1]) / 1024


def case_info(path: str) -> None:
    code = (
        "import os, resource, sys\n"
        "def status(key):\n"
        "    return next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith(key)) / 1024\n"
        "def rchar():\n"
        "    return next(int(l.split()[1]) for l in open('/proc/self/io') if l.startswith('rchar'))\n"
        "start = status('VmRSS:')\n"
        "import numpy, kvt_pulse_reader, kvt_pulse_tools.cli as cli, kvt_pulse_tools.info\n"
        "before = rchar()\n"
        "sys.stdout = open(os.devnull, 'w')\n"
        f"cli.main(['info', {path!r}])\n"
        "read = rchar() - before\n"
        "sys.stdout = sys.__stdout__\n"
        "print(status('VmHWM:') - start, read / 2**20)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    peak, read = map(float, result.stdout.split())
    print(
        f"info of a {os.path.getsize(path) / 1e9:.2f} GB file: peak {peak:.1f} MiB above the interpreter's start "
        f"(aim: <= 64), {read:.2f} MiB read (aim: <= 8)"
    )


def case_plot(folder: str, path: str) -> None:
    for what in (["--hist", "dur_s"], ["--map", "mean_snr"]):
        out = os.path.join(folder, "plot.png")
        peak = peak_of(
            f"from kvt_pulse_tools.cli import main; raise SystemExit(main(['plot', {path!r}, "
            f"*{what!r}, '-q', '--force', '-o', {out!r}]))"
        )
        print(f"plot {' '.join(what)}: peak resident memory {peak:.0f} MiB (aim: <= 300)")


def case_workers(folder: str, size_mb: int, rounds: int) -> None:
    import pyarrow.parquet as pq

    paths = [os.path.join(folder, f"run{k}.bin") for k in range(4)]
    for k, path in enumerate(paths):
        synthesize(path, size_mb * 1_000_000 // 4 // (16 + 16 * RECORDS), RECORDS, 10 + k)
    outs = {"workers": os.path.join(folder, "with_workers") + "/", "here": os.path.join(folder, "here") + "/"}
    workers_option = ", '--workers', '2'"
    commands = {
        name: (
            f"from kvt_pulse_tools.cli import main; raise SystemExit(main(['pulses', *{paths!r}, '-q', "
            f"'--force', '-o', {out!r}{workers_option if name == 'workers' else ''}]))"
        )
        for name, out in outs.items()
    }
    rows = []
    for _ in range(rounds):
        workers = child(commands["workers"])
        here = child(commands["here"])
        rows.append((workers / here, workers, here))
    ratio, workers, here = sorted(rows)[len(rows) // 2]
    parts = [sorted(os.listdir(out)) for out in outs.values()]
    same = parts[0] == parts[1] and all(
        pq.read_table(os.path.join(outs["workers"], part)).equals(pq.read_table(os.path.join(outs["here"], part)))
        for part in parts[0]
    )
    total = sum(pq.ParquetFile(os.path.join(outs["here"], part)).metadata.num_rows for part in parts[1])
    print(
        f"pulses of 4 files ({size_mb} MB) -o out/: --workers 2 {workers:.2f} s, without workers {here:.2f} s, "
        f"median ratio {statistics.median(r[0] for r in rows):.2f} (aim: <= 1.3); {len(parts[1])} parts, "
        f"{total} rows, the same rows: {same}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1000, help="file size in MB (default 1000)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cases", default="synth,parquet,tsv,info,plot,workers")
    args = parser.parse_args()
    cases = args.cases.split(",")
    with tempfile.TemporaryDirectory(dir="/tmp") as folder:
        if "synth" in cases:
            case_synth(folder, args.size, args.rounds)
        if {"parquet", "tsv", "info", "plot"} & set(cases):
            path = os.path.join(folder, "pulses.bin")
            synthesize(path, args.size * 1_000_000 // (16 + 16 * RECORDS), RECORDS, 1)
            for extension in ("parquet", "tsv"):
                if extension in cases:
                    case_table(folder, path, args.rounds, extension)
            if "info" in cases:
                case_info(path)
            if "plot" in cases:
                case_plot(folder, path)
            os.unlink(path)
        if "workers" in cases:
            case_workers(folder, args.size, args.rounds)


if __name__ == "__main__":
    main()
