"""Ten thousand calls of every method, failing ones included, leave the
process's memory where it was and every argument's reference count alone.

Three measures, each catching another kind of leak:
* resident memory (/proc/self/statm): column buffers and other native memory;
* tracemalloc: Python objects that are made and never released (a few
  bytes per call add up to more than the limit in each half of the calls);
* reference counts of the arguments: references that are never given back.

The DataFrame calls go to a minimal stand-in for pandas.DataFrame, so the
loops are quick and measure this module rather than pandas' own caches; one
loop for each read method runs with the real pandas.
"""

import gc
import os
import sys
import tracemalloc

import pandas as pd
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, Header, PulseFile

CALLS = 10_000
WARM_UP = 1_000
RSS_LIMIT = 24 * 2 ** 20
TRACED_LIMIT = 64 * 2 ** 10   # per window of half the calls
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Frame:
    """What the reader needs of a DataFrame: construction from a dict,
    attrs, pop and set_index."""

    def __init__(self, columns):
        self.columns = columns
        self.attrs = {}

    def pop(self, name):
        return self.columns.pop(name)

    def set_index(self, column):
        self.index = column
        return self


class Refused(Exception):
    pass


def refusing_frame(columns):
    raise Refused(len(columns))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    records = []
    for i in range(1000):
        records.append(pfb.background(2, 1, 2, 3, 4))
        records.append(pfb.pulse(3, 1 + i % 20, 10, 20 + i % 50, 1, 2, 3, 4))
    paths = {}

    def write(name, pulse_file):
        path = folder / name
        pulse_file.write(path)
        paths[name] = str(path)

    write("good.bin", PulseFile(apertures=[
        Aperture(0, records=records),
        Aperture(1, records=[pfb.pulse(1, 2), pfb.pulse(0, 2)]),
        Aperture(2, records=records[:10], num_records=10_000)]))
    write("bad_header.bin", PulseFile(header=Header(record_size=8),
                                      apertures=[Aperture(0)]))
    write("no_duration.bin", PulseFile(metadata={"fps": 100},
                                       apertures=[Aperture(0)]))
    paths["missing.bin"] = str(folder / "missing.bin")
    return paths


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


def operations(files):
    """name -> (operation, the objects whose reference counts must stay)."""
    good = files["good.bin"]
    reader = PulseReader(good)
    closed = PulseReader(good)
    closed.close()
    filt = PulseFilter(min_snr=1.0, mask_s=(0.5, 1.0))
    kwargs = {"min_dur_f": 3, "max_dur_s": 0.15, "recalc_ipd": True}
    bad_kwargs = {"min_snr": "high"}
    bad_mask = {"mask_s": (1.0,)}
    absent = 2 ** 40 + 1
    too_big = 2 ** 70
    text = "zero"

    ops = {
        "get_all_records": (lambda: reader.get_all_records(0), [reader]),
        "get_pulses": (lambda: reader.get_pulses(0), [reader]),
        "get_pulses filter object": (
            lambda: reader.get_pulses(0, False, filt), [reader, filt]),
        "get_pulses filter keywords": (
            lambda: reader.get_pulses(0, pulse_filter_kwargs=kwargs),
            [reader, kwargs]),
        "apertures": (lambda: reader.apertures, [reader]),
        "metadata": (lambda: reader.metadata, [reader, reader.metadata]),
        "trimmed": (lambda: reader.trimmed, [reader]),
        "with": (lambda: reader.__enter__(), [reader]),
        "PulseFilter": (lambda: PulseFilter(**kwargs), [kwargs]),
        "PulseFilter empty": (lambda: PulseFilter(), []),
        "PulseReader": (lambda: PulseReader(good).close(), [good]),
        "PulseReader dropped open": (lambda: PulseReader(good), [good]),
        "PulseReader with filter": (
            lambda: PulseReader(good, filt), [good, filt]),
        "PulseReader with keywords": (
            lambda: PulseReader(good, pulse_filter_kwargs=kwargs),
            [good, kwargs]),
        # Failing calls.
        "get_all_records absent": (
            lambda: expect(RuntimeError, reader.get_all_records, absent),
            [reader, absent]),
        "get_all_records short block": (
            lambda: expect(RuntimeError, reader.get_all_records, 2), [reader]),
        "get_all_records wrong type": (
            lambda: expect(TypeError, reader.get_all_records, text),
            [reader, text]),
        "get_all_records overflow": (
            lambda: expect(OverflowError, reader.get_all_records, too_big),
            [reader, too_big]),
        "get_all_records missing argument": (
            lambda: expect(TypeError, reader.get_all_records), [reader]),
        "get_all_records closed": (
            lambda: expect(RuntimeError, closed.get_all_records, 0), [closed]),
        "get_pulses unsorted": (
            lambda: expect(RuntimeError, reader.get_pulses, 1, True, filt),
            [reader, filt]),
        "get_pulses both filters": (
            lambda: expect(RuntimeError, reader.get_pulses, 0, True, filt,
                           kwargs), [reader, filt, kwargs]),
        "get_pulses bad keywords": (
            lambda: expect(TypeError, reader.get_pulses, 0,
                           pulse_filter_kwargs=bad_kwargs),
            [reader, bad_kwargs]),
        "get_pulses closed": (
            lambda: expect(RuntimeError, closed.get_pulses, 0, True, filt),
            [closed, filt]),
        "apertures closed": (
            lambda: expect(RuntimeError, getattr, closed, "apertures"),
            [closed]),
        "PulseFilter bad value": (
            lambda: expect(TypeError, PulseFilter, **bad_kwargs), [bad_kwargs]),
        "PulseFilter bad mask": (
            lambda: expect(ValueError, PulseFilter, **bad_mask), [bad_mask]),
        "PulseReader missing file": (
            lambda: expect(RuntimeError, PulseReader, files["missing.bin"]),
            [files["missing.bin"]]),
        "PulseReader bad header": (
            lambda: expect(RuntimeError, PulseReader, files["bad_header.bin"]),
            [files["bad_header.bin"]]),
        "PulseReader no duration": (
            lambda: expect(RuntimeError, PulseReader, files["no_duration.bin"]),
            [files["no_duration.bin"]]),
        "PulseReader both filters": (
            lambda: expect(RuntimeError, PulseReader, good, filt, kwargs),
            [good, filt, kwargs]),
        "PulseReader bad keywords": (
            lambda: expect(TypeError, PulseReader, good,
                           pulse_filter_kwargs=bad_kwargs), [good, bad_kwargs]),
        "PulseReader wrong type": (
            lambda: expect(TypeError, PulseReader, good, pulse_filter=kwargs),
            [good, kwargs]),
    }
    return ops


def operation_names():
    return [
        "get_all_records", "get_pulses", "get_pulses filter object",
        "get_pulses filter keywords", "apertures", "metadata", "trimmed",
        "with", "PulseFilter", "PulseFilter empty", "PulseReader",
        "PulseReader dropped open", "PulseReader with filter",
        "PulseReader with keywords", "get_all_records absent",
        "get_all_records short block", "get_all_records wrong type",
        "get_all_records overflow", "get_all_records missing argument",
        "get_all_records closed", "get_pulses unsorted",
        "get_pulses both filters", "get_pulses bad keywords",
        "get_pulses closed", "apertures closed", "PulseFilter bad value",
        "PulseFilter bad mask", "PulseReader missing file",
        "PulseReader bad header", "PulseReader no duration",
        "PulseReader both filters", "PulseReader bad keywords",
        "PulseReader wrong type",
    ]


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def run_and_measure(op, watched, calls=CALLS):
    """Run ``op`` ``calls`` times after a warm-up, in two equal windows.

    Returns the growth of resident memory over all the calls, the smaller
    growth of traced Python memory of the two windows (a leak grows in each
    window; a one-off allocation or a cache shows in one at most), and the
    reference counts of ``watched`` after and before."""
    # Tracing starts before the warm-up: a block made before tracing and
    # resized after it would otherwise be counted whole as new.
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            op()
        gc.collect()
        refcounts = [sys.getrefcount(obj) for obj in watched]
        descriptors = open_descriptors()
        rss_before = rss()
        window_growth = []
        for _ in range(2):
            traced_before = tracemalloc.get_traced_memory()[0]
            for _ in range(calls // 2):
                op()
            gc.collect()
            window_growth.append(
                tracemalloc.get_traced_memory()[0] - traced_before)
        rss_growth = rss() - rss_before
    finally:
        tracemalloc.stop()
    gc.collect()
    assert open_descriptors() == descriptors, "file descriptors left open"
    return (rss_growth, min(window_growth),
            [sys.getrefcount(obj) for obj in watched], refcounts)


def test_every_operation_is_measured(files):
    assert sorted(operations(files)) == sorted(operation_names())


@pytest.mark.parametrize("name", operation_names())
def test_no_leak(files, monkeypatch, name):
    monkeypatch.setattr(pd, "DataFrame", Frame)
    op, watched = operations(files)[name]
    rss_growth, traced_growth, after, before = run_and_measure(op, watched)
    assert after == before, "references kept"
    assert traced_growth < TRACED_LIMIT, f"{traced_growth} bytes of objects"
    assert rss_growth < RSS_LIMIT, f"resident memory grew by {rss_growth}"


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
def test_no_leak_with_pandas(files, method):
    reader = PulseReader(files["good.bin"])
    rss_growth, _, after, before = run_and_measure(
        lambda: getattr(reader, method)(0), [reader], calls=CALLS // 5)
    assert after == before
    assert rss_growth < RSS_LIMIT


def test_no_leak_when_dataframe_raises(files, monkeypatch):
    reader = PulseReader(files["good.bin"])
    monkeypatch.setattr(pd, "DataFrame", refusing_frame)

    def both():
        expect(Refused, reader.get_all_records, 0)
        expect(Refused, reader.get_pulses, 0)

    rss_growth, traced_growth, after, before = run_and_measure(
        both, [reader], calls=CALLS // 2)
    assert after == before
    assert traced_growth < TRACED_LIMIT
    assert rss_growth < RSS_LIMIT
    monkeypatch.undo()
    assert len(reader.get_all_records(0)) == 2000
