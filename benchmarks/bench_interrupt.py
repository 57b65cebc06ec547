"""How soon Ctrl-C stops a long call, for every whole-run method and the writers.

    python benchmarks/bench_interrupt.py [--rounds 3] [--apertures 200000] [--delay 0.3] [--only copy,merge]

Writes a synthetic file of 200,000 apertures x 300 records (about 1 GB) under
/tmp (removed at exit), reads it once page-cached with each method, then, in
each round, starts the method again and sends SIGINT to the main thread
`--delay` seconds after the call began, from a timer thread. It reports, for
each method, the uninterrupted call's time and the median and largest time
from the signal to the KeyboardInterrupt caught by the caller (and the share
of the call's time that it is); a method that is not interrupted, or raises
anything else, is reported as such. The copy writes beside the file, and the
merge merges the file with itself (2 GB; without an interruption it is written
once and removed). `--apertures 20000` is a quick check; `--only` keeps the
calls whose names contain one of the given words.
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import tempfile
import threading
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def calls(reader, path: Path, out: Path):
    import pyarrow as pa
    from kvt_pulse_reader import merge_pulse_files

    def fresh(name):
        target = out / name
        if target.exists():
            target.unlink()
        return target

    return {
        "read_records()": lambda: reader.read_records(),
        "read_pulses()": lambda: reader.read_pulses(),
        "summarize()": lambda: reader.summarize(),
        "iter_pulses()": lambda: sum(len(frame) for frame in reader.iter_pulses()),
        "stream_records() -> pyarrow": lambda: pa.table(reader.stream_records()),
        "copy_apertures_to_new_file": lambda: reader.copy_apertures_to_new_file(reader.apertures, fresh("copy.bin")),
        "merge_pulse_files (x2)": lambda: merge_pulse_files([path, path], fresh("merged.bin")),
    }


def interrupted(call, delay: float) -> str | float:
    """Seconds from the signal to the KeyboardInterrupt, or what happened instead."""
    main = threading.main_thread().ident
    sent: list[float] = []

    def send():
        sent.append(time.perf_counter())
        signal.pthread_kill(main, signal.SIGINT)

    timer = threading.Timer(delay, send)
    try:
        timer.start()
        try:
            try:
                call()
            except KeyboardInterrupt:
                raise
            except OSError:
                # A stream carries an error number, not an exception: pyarrow
                # raises OSError, and the interrupt, raised again, follows at
                # Python's next look for signals (in this loop at the latest;
                # a sleep would hold it until the sleep ends).
                deadline = time.perf_counter() + 1
                while time.perf_counter() < deadline:
                    pass
                return "OSError, and no KeyboardInterrupt after it"
            except Exception as error:  # reported, not raised
                timer.join()
                return f"raised {type(error).__name__}: {error}"
        except KeyboardInterrupt:
            return time.perf_counter() - sent[0]
        # Finished before the signal, or the signal arrived after the call returned.
        try:
            timer.join()
            time.sleep(1)
        except KeyboardInterrupt:
            return "not interrupted (finished first)"
        return "no KeyboardInterrupt"
    finally:
        timer.cancel()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--apertures", type=int, default=200_000)
    parser.add_argument("--delay", type=float, default=0.3)
    parser.add_argument("--only", default="", help="comma-separated words of the calls to run")
    args = parser.parse_args()

    from kvt_pulse_reader import PulseReader

    from kvt_pulse_tools import synthesize

    with tempfile.TemporaryDirectory(prefix="kvt_bench_interrupt_") as folder:
        out = Path(folder)
        path = out / "run.bin"
        synthesize(str(path), apertures=args.apertures, records=300, seed=3)
        print(
            f"{path.stat().st_size / 1e9:.2f} GB, {args.apertures} apertures x 300 records; SIGINT "
            f"{args.delay} s into each call, {args.rounds} rounds"
        )
        print(f"{'call':32s} {'whole call s':>12s} {'signal->KeyboardInterrupt s':>28s} {'max s':>7s} {'share':>7s}")
        with PulseReader(str(path)) as reader:
            for name, call in calls(reader, path, out).items():
                if args.only and not any(word in name for word in args.only.split(",")):
                    continue
                start = time.perf_counter()
                call()
                whole = time.perf_counter() - start
                results = [interrupted(call, args.delay) for _ in range(args.rounds)]
                latencies = [r for r in results if isinstance(r, float)]
                failures = [r for r in results if not isinstance(r, float)]
                if latencies:
                    median = statistics.median(latencies)
                    print(f"{name:32s} {whole:12.2f} {median:28.3f} {max(latencies):7.3f} {median / whole:7.1%}")
                for failure in failures:
                    print(f"{name:32s} {whole:12.2f} {failure}")
                for leftover in out.glob("*.bin"):
                    if leftover != path:
                        leftover.unlink()


if __name__ == "__main__":
    main()
