"""Cost of one aperture's read against the size of the file.

get_pulses(n) and get_all_records(n) per call on a file of 1,000,000
apertures against the same calls on a file of 2,000 apertures, all apertures of
50 records. Each round calls the method on the same number of apertures spread
over each file, in batches of 50 calls on either file in turn (a first round
warms both up). Reports the median per-call time on each file and the median
of the rounds' ratios large / small.

    python benchmarks/bench_python_scaling.py [--rounds N] [--calls N] [--large N]

Aim: ratio at most 1.15 for both methods.
"""

import argparse
import os
import statistics
import struct
import sys
import tempfile
import time

import kvt_pulse_reader
import numpy as np

RECORDS = 50


def write_pulse_file(path, apertures, seed=1, chunk=20_000):
    """A pulse file of `apertures` apertures of RECORDS acquisition-like
    records (pulses of a few frames, one record in sixteen a background),
    blocks back to back in index order, written a chunk of apertures at a time."""
    rng = np.random.default_rng(seed)
    cols = 1024
    rows = (apertures + cols - 1) // cols
    metadata = (
        '{"fps":100,"duration":60,"rows":%d,"cols":%d,"validWells":1,"validWellsLeft":0,'
        '"validWellsRight":1,"roi_offset_col":0,"roi_cols":%d}' % (rows, cols, cols)
    ).encode()
    data_offset = (80 + len(metadata) + 15) // 16 * 16
    block = 16 + 16 * RECORDS
    index_offset = data_offset + apertures * block
    header = struct.pack(
        "<4sIQIBBHIIQQ", b"KVtP", 0, apertures, len(metadata), 1, 4, 8, 0, 16, data_offset, index_offset
    )
    encodings = b"".join(struct.pack("<BBH", 0, 0 if k < 2 else 4, 0) for k in range(8))
    blocks = np.dtype([("head", "<u4", 4), ("words", "<u2", (RECORDS, 8))])
    background = np.arange(RECORDS) % 16 == 15
    with open(path, "wb") as out:
        out.write((header + encodings + metadata).ljust(data_offset, b"\0"))
        for first in range(0, apertures, chunk):
            numbers = np.arange(first, min(apertures, first + chunk), dtype=np.uint32)
            data = np.empty(len(numbers), dtype=blocks)
            data["head"] = np.stack([numbers % cols, numbers // cols, numbers, np.full_like(numbers, RECORDS)], 1)
            words = data["words"]
            words[..., 0] = rng.integers(1, 200, (len(numbers), RECORDS))
            words[..., 1] = rng.integers(1, 30, (len(numbers), RECORDS))
            words[..., 2:4] = rng.integers(0, 4000, (len(numbers), RECORDS, 2))
            words[..., 4:8] = rng.integers(0, 2000, (len(numbers), RECORDS, 4))
            words[:, background, 1:4] = 0
            out.write(data.tobytes())
        out.write(b"$INDX$\r\n")
        entries = np.empty(apertures, dtype=[("n", "<u4"), ("offset", "<u8")])
        entries["n"] = np.arange(apertures)
        entries["offset"] = data_offset + np.arange(apertures, dtype=np.uint64) * block
        out.write(entries.tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--calls", type=int, default=2000, help="calls per round")
    parser.add_argument("--small", type=int, default=2000, help="apertures of the small file")
    parser.add_argument("--large", type=int, default=1_000_000, help="apertures of the large file")
    options = parser.parse_args()
    folder = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    failed = False
    with tempfile.TemporaryDirectory(dir=folder) as folder:
        paths = {}
        for name, apertures in (("small", options.small), ("large", options.large)):
            paths[name] = os.path.join(folder, f"{name}.bin")
            write_pulse_file(paths[name], apertures)
        with (
            kvt_pulse_reader.PulseReader(paths["small"]) as small,
            kvt_pulse_reader.PulseReader(paths["large"]) as large,
        ):
            readers = {"small": small, "large": large}
            # The same number of calls on each file, on apertures spread over it.
            chosen = {
                name: np.linspace(0, len(reader.apertures) - 1, options.calls).astype(np.int64).tolist()
                for name, reader in readers.items()
            }
            for method in ("get_pulses", "get_all_records"):
                calls = {name: getattr(reader, method) for name, reader in readers.items()}
                times = {"small": [], "large": []}
                for turn in range(options.rounds + 1):
                    # Batches of calls on either file in turn, so that both
                    # see the same state of a shared machine.
                    spent = {"small": 0.0, "large": 0.0}
                    for batch in range(0, options.calls, 50):
                        order = ("small", "large") if batch % 100 == 0 else ("large", "small")
                        for name in order:
                            call = calls[name]
                            start = time.perf_counter()
                            for n in chosen[name][batch : batch + 50]:
                                call(n)
                            spent[name] += time.perf_counter() - start
                    if turn > 0:  # the first round warms both up
                        for name in spent:
                            times[name].append(spent[name] / options.calls)
                ratio = statistics.median(l / s for l, s in zip(times["large"], times["small"]))
                print(
                    f"{method:16s} per call: {options.small:,} apertures {statistics.median(times['small']) * 1e6:7.1f} µs, "
                    f"{options.large:,} apertures {statistics.median(times['large']) * 1e6:7.1f} µs, ratio {ratio:5.2f}"
                )
                failed |= ratio > 1.15
    if failed:
        print("above the aim of 1.15")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
