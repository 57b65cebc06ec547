"""Speed of PulseReader.copy_apertures_to_new_file against copying the same bytes.

The file: 20,000 apertures of 100 records (blocks of 1,616 bytes, 32 MB),
page-cached. The baseline is `shutil.copyfile` of the file followed by an
fsync of its output, since the copy syncs its new file before giving it its
name: both sides pay for putting the bytes on stable storage. Each round
times the module's copy of every aperture and the baseline, in an order that
alternates from round to round, and removes both outputs untimed. The figure
is the median of the rounds' throughput ratios (baseline time / copy time:
1.0 means as fast as copying the bytes). `shutil.copyfile` alone, without the
fsync, is timed too, for reference: it shows what the sync costs.

    python benchmarks/bench_python_copy.py [--rounds N] [--apertures N] [--records N]

Aim: a median ratio of at least 0.7.
"""

import argparse
import os
import shutil
import statistics
import struct
import tempfile
import time

import kvt_pulse_reader
import numpy as np


def write_pulse_file(path, apertures, records):
    """Apertures 0 .. apertures-1 of `records` random records each, back to back."""
    cols = min(apertures, 1024)
    rows = (apertures + cols - 1) // cols
    metadata = ('{"fps":100,"duration":60,"rows":%d,"cols":%d}' % (rows, cols)).encode()
    data_offset = (80 + len(metadata) + 15) // 16 * 16
    block = 16 + 16 * records
    index_offset = data_offset + apertures * block
    header = struct.pack(
        "<4sIQIBBHIIQQ", b"KVtP", 0, apertures, len(metadata), 1, 4, 8, 0, 16, data_offset, index_offset
    )
    encodings = b"".join(struct.pack("<BBH", 0, 0, 0) for _ in range(8))
    blocks = np.random.default_rng(1).integers(0, 0x10000, (apertures, block // 2), dtype=np.uint16)
    numbers = np.arange(apertures, dtype=np.uint32)
    heads = blocks[:, :8].view(np.uint32)  # the four u32 fields of each block header
    heads[:, 0], heads[:, 1], heads[:, 2], heads[:, 3] = numbers % cols, numbers // cols, numbers, records
    index = np.zeros(apertures, dtype=[("n", "<u4"), ("at", "<u8")])
    index["n"], index["at"] = numbers, data_offset + numbers.astype(np.uint64) * block
    with open(path, "wb") as out:
        out.write((header + encodings + metadata).ljust(data_offset, b"\0"))
        out.write(blocks.astype("<u2").tobytes())
        out.write(b"$INDX$\r\n" + index.tobytes())


def copy_and_sync(source, target):
    shutil.copyfile(source, target)
    with open(target, "rb+") as out:
        os.fsync(out.fileno())


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--apertures", type=int, default=20_000)
    parser.add_argument("--records", type=int, default=100)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kvt-bench-copy-", dir="/tmp") as folder:
        source = os.path.join(folder, "source.bin")
        write_pulse_file(source, args.apertures, args.records)
        size = os.path.getsize(source)
        module_out, baseline_out = os.path.join(folder, "copy.bin"), os.path.join(folder, "copyfile.bin")
        with kvt_pulse_reader.PulseReader(source) as reader:
            apertures = reader.apertures

            def module():
                reader.copy_apertures_to_new_file(apertures, module_out)

            def baseline():
                copy_and_sync(source, baseline_out)

            def unsynced():
                shutil.copyfile(source, baseline_out)

            module()  # warm: the source page-cached, the module's code loaded
            assert os.path.getsize(module_out) == size
            os.unlink(module_out)
            times = {"module": [], "baseline": [], "unsynced": []}
            for round_ in range(args.rounds):
                order = [("module", module), ("baseline", baseline), ("unsynced", unsynced)]
                for name, call in order if round_ % 2 == 0 else order[::-1]:
                    times[name].append(timed(call))
                    os.unlink(module_out if name == "module" else baseline_out)
                os.sync()

    ratios = [b / m for m, b in zip(times["module"], times["baseline"])]
    mb = size / 1e6
    print(
        f"copy of every aperture: {args.apertures} apertures x {args.records} records, {mb:.1f} MB, "
        f"{args.rounds} rounds"
    )
    for name, label in (
        ("module", "copy_apertures_to_new_file"),
        ("baseline", "shutil.copyfile + fsync"),
        ("unsynced", "shutil.copyfile, no fsync"),
    ):
        median = statistics.median(times[name])
        print(f"  {label:28s} median {median * 1e3:8.2f} ms  {mb / 1e3 / median:6.2f} GB/s")
    print(
        f"  throughput ratio (baseline time / copy time): median {statistics.median(ratios):.2f} "
        f"(min {min(ratios):.2f}, max {max(ratios):.2f}); aim >= 0.7"
    )


if __name__ == "__main__":
    main()
