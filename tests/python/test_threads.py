"""A reader call that reads a large aperture lets other threads run, and
refuses a second use of the same reader from another thread at once.

The interpreter's switch interval is raised for these tests, so that a
thread gets the interpreter lock from another only when that one lets go of
it: anything another thread does while a read call is in progress then
happened because the call released the lock.
"""

import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, PulseFile

BIG = 1            # aperture with two million background records
SMALL = 0
BIG_RECORDS = 2_000_000
GIVE_UP_AFTER_S = 60.0


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    records = np.zeros((BIG_RECORDS, 8), dtype=np.uint16)
    records[:, 0] = 1
    records[:, 4:8] = 3
    path = tmp_path_factory.mktemp("big") / "pulses.bin"
    PulseFile(apertures=[
        Aperture(SMALL, records=[pfb.background(1), pfb.pulse(2, 3, 4, 5)]),
        Aperture(BIG, records=records),
    ]).write(path)
    return str(path)


@pytest.fixture
def lock_held_until_released():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(previous)


def pause():
    # A real sleep, so the other thread can take the lock.
    time.sleep(0.0002)


SECOND_USES = {
    "apertures": (lambda r: r.apertures, "Already mutably borrowed"),
    "trimmed": (lambda r: r.trimmed, "Already mutably borrowed"),
    "metadata": (lambda r: r.metadata, "Already mutably borrowed"),
    "__enter__": (lambda r: r.__enter__(), "Already mutably borrowed"),
    "get_all_records": (lambda r: r.get_all_records(SMALL), "Already borrowed"),
    "get_pulses": (lambda r: r.get_pulses(SMALL), "Already borrowed"),
    "get_pulses with filter": (
        lambda r: r.get_pulses(SMALL, pulse_filter=PulseFilter(min_snr=1)),
        "Already borrowed"),
}

LONG_CALLS = {
    "get_pulses": lambda r: r.get_pulses(BIG),
    "get_pulses with filter": lambda r: r.get_pulses(
        BIG, pulse_filter_kwargs={"min_dur_f": 1}),
    "get_all_records": lambda r: r.get_all_records(BIG),
}


@pytest.mark.parametrize("long_call, second_use", [
    ("get_pulses", name) for name in SECOND_USES
] + [
    ("get_pulses with filter", "apertures"),
    ("get_all_records", "apertures"),
    ("get_all_records", "get_pulses"),
])
def test_second_thread_is_refused_during_a_long_call(
        big_file, lock_held_until_released, long_call, second_use):
    reader = PulseReader(big_file)
    use, message = SECOND_USES[second_use]
    refusals = []
    other_errors = []
    stop = threading.Event()

    def second_thread():
        while not stop.is_set():
            try:
                use(reader)
            except RuntimeError as exc:
                refusals.append(str(exc))
                return
            except BaseException as exc:  # reported below
                other_errors.append(exc)
                return
            pause()

    worker = threading.Thread(target=second_thread)
    worker.start()
    calls = 0
    deadline = time.monotonic() + GIVE_UP_AFTER_S
    try:
        while worker.is_alive() and time.monotonic() < deadline:
            try:
                LONG_CALLS[long_call](reader)
                calls += 1
            except RuntimeError as exc:
                # The second thread's own call may hold the reader just then.
                assert str(exc) == "Already borrowed"
            pause()
    finally:
        stop.set()
        worker.join()
    assert not other_errors
    assert refusals == [message], f"no refusal seen in {calls} calls"
    # Nothing of the reader was disturbed.
    assert reader.apertures == [SMALL, BIG]
    assert reader.get_pulses(SMALL).index.tolist() == [1]
    assert len(reader.get_pulses(BIG)) == 0
    reader.close()


@pytest.mark.parametrize("long_call", list(LONG_CALLS))
def test_other_threads_run_during_the_core_work(
        big_file, lock_held_until_released, monkeypatch, long_call):
    """A counter thread advances between the start of a long call and the
    moment the call hands its columns to pandas."""
    reader = PulseReader(big_file)
    counter = [0]
    at_dataframe = []
    stop = threading.Event()
    original = pd.DataFrame

    def noting(columns):
        at_dataframe.append(counter[0])
        return original(columns)

    monkeypatch.setattr(pd, "DataFrame", noting)

    def count():
        while not stop.is_set():
            counter[0] += 1
            pause()

    worker = threading.Thread(target=count)
    worker.start()
    advanced = 0
    deadline = time.monotonic() + GIVE_UP_AFTER_S
    try:
        while not advanced and time.monotonic() < deadline:
            before = counter[0]
            del at_dataframe[:]
            LONG_CALLS[long_call](reader)
            advanced = at_dataframe[0] - before
    finally:
        stop.set()
        worker.join()
    assert advanced > 0
    reader.close()


def test_separate_readers_do_not_refuse_each_other(big_file,
                                                   lock_held_until_released):
    first, second = PulseReader(big_file), PulseReader(big_file)
    results = {}

    def read_second():
        results["second"] = len(second.get_all_records(SMALL))
        results["apertures"] = second.apertures

    worker = threading.Thread(target=read_second)
    worker.start()
    results["first"] = len(first.get_pulses(BIG))
    worker.join()
    assert results == {"first": 0, "second": 2, "apertures": [SMALL, BIG]}
