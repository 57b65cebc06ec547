"""Calls of every method, failing ones included, keep resident memory,
traced Python memory, reference counts and descriptors where they were; and
memory comes back once results are released."""

import gc
import json
import os
import subprocess
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest
from kvt_pulse_reader import PulseFilter, PulseReader, merge_pulse_files
from pulse_file_builder import Aperture, build

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Frame:
    """What the reader needs of a DataFrame, without pandas' own caches."""

    def __init__(self, columns):
        self.columns, self.attrs = columns, {}

    def pop(self, name):
        return self.columns.pop(name)

    def set_index(self, column):
        return self


def swallow(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (RuntimeError, TypeError, ValueError, OverflowError):
        pass


@pytest.fixture(scope="module")
def good(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    rows = [(2, 0, 0, 0, 1, 2, 3, 4), (3, 5, 10, 20, 1, 2, 3, 4)] * 1000
    build(
        [Aperture(0, rows), Aperture(1, [(1, 2) + (0,) * 6] * 2), Aperture(2, rows[:2], count=10**4)],
    ).write(folder / "good.bin")
    build([Aperture(0)], {"fps": 100}).write(folder / "no_duration.bin")
    build([Aperture(0, rows), Aperture(1, rows[:3])]).write(folder / "mergeable.bin")
    return str(folder / "good.bin")


def operations(good):
    reader, closed = PulseReader(good), PulseReader(good)
    closed.close()
    folder = os.path.dirname(good)
    filt, kwargs = PulseFilter(min_snr=1.0, mask_s=(0.5, 1.0)), {"min_dur_f": 3, "recalc_ipd": True}
    return {
        "records": lambda: reader.get_all_records(0),
        "pulses": lambda: reader.get_pulses(0, False, filt),
        "pulses by keywords": lambda: reader.get_pulses(0, pulse_filter_kwargs=kwargs),
        "properties": lambda: (reader.apertures, reader.metadata, reader.trimmed, reader.__enter__()),
        "filter": lambda: PulseFilter(**kwargs),
        "open and drop": lambda: PulseReader(good, filt),
        "open with keywords": lambda: PulseReader(good, pulse_filter_kwargs=kwargs).close(),
        "copy": lambda: reader.copy_apertures_to_new_file([1, 0], os.path.join(folder, "copy.bin")),
        "merge": lambda: (
            merge_pulse_files([os.path.join(folder, "mergeable.bin")] * 2, os.path.join(folder, "merged.bin")),
            os.unlink(os.path.join(folder, "merged.bin")),
        ),
        "failing reads": lambda: (
            swallow(reader.get_all_records, 2**40),
            swallow(reader.get_all_records, 2),
            swallow(reader.get_pulses, "0"),
            swallow(reader.get_pulses, 2**70),
            swallow(closed.get_pulses, 0, True, filt),
            swallow(reader.get_pulses, 1, True, filt),
            swallow(reader.get_pulses, 0, True, filt, kwargs),
        ),
        "failing filters": lambda: (
            swallow(PulseFilter, min_snr="x"),
            swallow(PulseFilter, mask_s=(1.0,)),
            swallow(reader.get_pulses, 0, pulse_filter_kwargs={"min_snr": "x"}),
        ),
        "failing opens": lambda: (
            swallow(PulseReader, good + ".none"),
            swallow(PulseReader, good, filt, {}),
            swallow(PulseReader, os.path.join(folder, "no_duration.bin")),
            swallow(PulseReader, good, pulse_filter_kwargs={"x": None, "min_snr": None}),
        ),
        "failing writers": lambda: (
            swallow(reader.copy_apertures_to_new_file, [7], "x.bin"),
            swallow(reader.copy_apertures_to_new_file, [2], os.path.join(folder, "c")),
            swallow(merge_pulse_files, [good, good + ".none"], "x.bin"),
            swallow(merge_pulse_files, [good], good),
        ),
    }, [reader, closed, filt, kwargs, good]


@pytest.mark.parametrize(
    "name",
    [
        "records",
        "pulses",
        "pulses by keywords",
        "properties",
        "filter",
        "open and drop",
        "open with keywords",
        "copy",
        "merge",
        "failing reads",
        "failing filters",
        "failing opens",
        "failing writers",
    ],
)
def test_no_leak(good, monkeypatch, name):
    monkeypatch.setattr(pd, "DataFrame", Frame)
    ops, watched = operations(good)
    op, calls = ops[name], (300 if name in ("copy", "merge", "failing writers") else 6000)
    tracemalloc.start()
    for _ in range(calls // 6):
        op()
    gc.collect()
    refcounts, descriptors = [sys.getrefcount(o) for o in watched], os.listdir("/proc/self/fd")
    memory, growth = rss(), []
    for _ in range(2):  # a leak grows in each half; a cache in one at most
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(calls // 2):
            op()
        gc.collect()
        growth.append(tracemalloc.get_traced_memory()[0] - traced)
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refcounts
    assert os.listdir("/proc/self/fd") == descriptors
    assert min(growth) < 32 * 1024, growth
    assert rss() - memory < 16 * 2**20


def test_memory_comes_back(tmp_path):
    words = np.zeros((1_000_000, 8), np.uint16)
    words[:, 0], words[::2, 1] = 1, 1
    path = str(build([Aperture(0, words)]).write(tmp_path / "big.bin"))
    del words
    pd.DataFrame({"warm": np.zeros(3)})
    gc.collect()
    before = rss()
    with PulseReader(path) as reader:
        for _ in range(3):
            reader.get_all_records(0), reader.get_pulses(0)
    gc.collect()
    if "pyarrow" in sys.modules:  # pandas' string columns live in Arrow's memory pool, which keeps freed memory
        sys.modules["pyarrow"].default_memory_pool().release_unused()
    assert rss() - before < 16 * 2**20


CHILD = r"""
import json, resource, sys
import numpy, pandas, kvt_pulse_reader as kvt
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
reader, outcomes = kvt.PulseReader(sys.argv[1]), []
for call in (lambda: reader.get_all_records(0), lambda: reader.get_pulses(0),
             lambda: reader.copy_apertures_to_new_file([0, 1], sys.argv[1] + ".copy")):
    try:
        call()
        outcomes.append("done")
    except RuntimeError as exc:
        outcomes.append(str(exc).splitlines()[0])
print(json.dumps(outcomes))
"""


def test_a_count_the_file_cannot_back_sizes_no_buffer(tmp_path):
    """A block claiming 2^32 - 1 records would need hundreds of gigabytes of
    columns: under a 3 GiB address-space limit it must fail as a short read."""
    path = build([Aperture(0, [(1, 1) + (0,) * 6], count=2**32 - 1), Aperture(1)]).write(tmp_path / "p.bin")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True, env=env, timeout=120
    )
    assert result.returncode == 0, result.stderr
    short = "failed to fill whole buffer"
    assert json.loads(result.stdout) == [f"Failed to get records: {short}", f"Failed to get pulses: {short}", short]
