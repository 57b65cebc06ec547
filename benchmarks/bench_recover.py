"""Speed, memory and Ctrl-C of recover_pulse_file on a file cut short.

The file: a synthetic run (kvt_pulse_tools.synthesize; by default 200,000
apertures of 300 records, about 1 GB) cut at 99.9 % of its length, as a
transfer that stopped leaves it: the index is gone and the last block is cut,
so the recovery walks every block header and rebuilds the index. The
baseline is `shutil.copyfile` of the same cut file followed by an fsync of
its output, since the recovery syncs its new file before giving it its name.
Each round times both, in an order that alternates from round to round, and
removes both outputs untimed; the figure is the median of the rounds' ratios
(recovery time / baseline time: 1.0 means as fast as copying the bytes).

Peak memory is measured in a fresh process: its peak resident size after
one recovery, less its resident size just before it. Ctrl-C: SIGINT is sent
to the process 0.3 s into a recovery; the figure is the time from the signal
to the KeyboardInterrupt, and no output may be left behind.

    python benchmarks/bench_recover.py [--rounds N] [--apertures N] [--records N] [--quick]

Aims: a median ratio of at most 1.5, peak memory at most 64 MiB above the
start, KeyboardInterrupt within 0.2 s.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import kvt_pulse_reader

from kvt_pulse_tools import synthesize

# The peak comes from /proc (VmHWM): getrusage's ru_maxrss would carry over
# the peak of the process that forked this one.
_MEMORY_PROBE = """
import sys, kvt_pulse_reader
def mib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field)) / 1024
start = mib("VmRSS")
kvt_pulse_reader.recover_pulse_file(sys.argv[1], sys.argv[2])
print(mib("VmHWM") - start)
"""


def copy_and_sync(source, target):
    shutil.copyfile(source, target)
    with open(target, "rb+") as out:
        os.fsync(out.fileno())


def timed(call):
    os.sync()  # untimed: neither side pays for the other's write-back
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def interrupt_latency(source, target, delay):
    """Seconds from a SIGINT sent `delay` s into a recovery to its KeyboardInterrupt."""
    sent = []

    def send():
        sent.append(time.perf_counter())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    # A shell starts background jobs with SIGINT ignored, and Python then
    # leaves it so: the benchmark wants Ctrl-C's usual KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(delay, send)
    start = time.perf_counter()
    timer.start()
    try:
        kvt_pulse_reader.recover_pulse_file(source, target)
        returned = time.perf_counter()
    except KeyboardInterrupt:
        latency = time.perf_counter() - sent[0]
        if os.path.exists(target):  # handled only after the call had returned
            os.remove(target)
            return "the recovery had returned when the signal was handled"
    else:
        timer.cancel()
        timer.join()
        if sent:  # the signal came after the call had returned
            time.sleep(0.1)
        os.remove(target)
        if not sent:
            return f"the recovery returned after {returned - start:.2f} s, before the signal"
        return f"the call returned {returned - start:.2f} s in despite the signal sent {sent[0] - start:.2f} s in"
    return latency


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--apertures", type=int, default=200_000)
    parser.add_argument("--records", type=int, default=300)
    parser.add_argument("--quick", action="store_true", help="20,000 apertures of 100 records, one round")
    args = parser.parse_args()
    if args.quick:
        args.apertures, args.records, args.rounds = 20_000, 100, 1

    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as folder:
        source = os.path.join(folder, "cut.bin")
        recovered = os.path.join(folder, "recovered.bin")
        copied = os.path.join(folder, "copied.bin")
        summary = synthesize(source, apertures=args.apertures, records=args.records, seed=1)
        os.truncate(source, summary.file_size * 999 // 1000)
        size = os.path.getsize(source)
        print(
            f"file: {args.apertures} apertures x {args.records} records, {summary.file_size / 1e9:.3f} GB, "
            f"cut to {size} bytes (99.9 %)"
        )
        copy_and_sync(source, copied)  # warm the page cache
        os.remove(copied)

        ratios, recover_times = [], []
        for round_number in range(args.rounds):
            recover = lambda: kvt_pulse_reader.recover_pulse_file(source, recovered)  # noqa: E731
            copy = lambda: copy_and_sync(source, copied)  # noqa: E731
            if round_number % 2 == 0:
                recover_time, copy_time = timed(recover), timed(copy)
            else:
                copy_time, recover_time = timed(copy), timed(recover)
            os.remove(recovered)
            os.remove(copied)
            ratios.append(recover_time / copy_time)
            recover_times.append(recover_time)
            print(
                f"round {round_number + 1}: recover {recover_time:.3f} s, copyfile + fsync {copy_time:.3f} s, "
                f"ratio {recover_time / copy_time:.2f}"
            )
        print(f"median ratio recover / (copyfile + fsync): {statistics.median(ratios):.2f} (aim: at most 1.5)")

        probe = subprocess.run(
            [sys.executable, "-c", _MEMORY_PROBE, source, recovered], capture_output=True, text=True, check=True
        )
        os.remove(recovered)
        print(f"peak memory above the start: {float(probe.stdout):.1f} MiB (aim: at most 64)")

        # 0.3 s in, or half way through a recovery shorter than 0.6 s.
        delay = min(0.3, statistics.median(recover_times) / 2)
        try:
            latency = interrupt_latency(source, recovered, delay)
        except KeyboardInterrupt:
            latency = "the signal was handled after the call had returned"
        if isinstance(latency, str):
            print(f"Ctrl-C {delay:.2f} s in: {latency}")
        else:
            print(
                f"Ctrl-C {delay:.2f} s in: KeyboardInterrupt {latency * 1000:.0f} ms after the signal "
                "(aim: at most 200), nothing left behind"
            )


if __name__ == "__main__":
    main()
