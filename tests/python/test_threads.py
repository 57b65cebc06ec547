"""Access to one reader is tested, never waited for; the core work of a read
runs without the interpreter lock, so other threads run meanwhile."""

import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, build

EXCLUSIVE, SHARED = "^Already borrowed(\\n|$)", "^Already mutably borrowed(\\n|$)"


@pytest.mark.parametrize(
    "use, message",
    [
        (lambda r: r.get_pulses(1), EXCLUSIVE),
        (lambda r: r.get_all_records(1), EXCLUSIVE),
        (lambda r: r.copy_apertures_to_new_file([99], "x"), EXCLUSIVE),
        (lambda r: r.close(), EXCLUSIVE),
        (lambda r: r.__exit__(None, None, None), EXCLUSIVE),
        (lambda r: r.apertures, SHARED),
        (lambda r: r.trimmed, SHARED),
        (lambda r: r.metadata, SHARED),
        (lambda r: r.__enter__(), SHARED),
    ],
)
@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
def test_a_reader_in_use_refuses_at_once(reader, monkeypatch, method, use, message):
    refusals = []
    original = pd.DataFrame

    def frame(columns):  # runs while the read holds the reader
        with pytest.raises(RuntimeError, match=message):
            use(reader)
        refusals.append(message)
        return original(columns)

    monkeypatch.setattr(pd, "DataFrame", frame)
    getattr(reader, method)(0)
    assert refusals == [message]
    monkeypatch.undo()
    assert reader.apertures == [0, 1, 4] and len(reader.get_pulses(0)) == 4


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    words = np.zeros((1_000_000, 8), np.uint16)
    words[:, 0], words[::2, 1] = 1, 1
    return str(
        build([Aperture(0, [(1, 0, 0, 0, 0, 0, 0, 0)]), Aperture(1, words)]).write(
            tmp_path_factory.mktemp("big") / "big.bin"
        )
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.get_all_records(1),
        lambda r: r.get_pulses(1),
        lambda r: r.get_pulses(1, pulse_filter=PulseFilter(min_dur_f=2)),
    ],
)
def test_other_threads_run_and_are_refused_during_the_core_work(big_file, monkeypatch, call):
    """With a huge switch interval, the second thread runs only when the read
    lets go of the lock; what it sees before the columns reach pandas is the
    read's exclusive hold."""
    reader = PulseReader(big_file)
    seen, at_frame, stop = [], [], threading.Event()
    original = pd.DataFrame
    monkeypatch.setattr(pd, "DataFrame", lambda columns: at_frame.append(len(seen)) or original(columns))

    def second():
        while not stop.is_set():
            try:
                seen.append(reader.apertures)
            except RuntimeError as exc:
                seen.append(str(exc))
            time.sleep(0.0005)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    worker = threading.Thread(target=second)
    refused = False
    try:
        worker.start()
        deadline = time.monotonic() + 60
        while not refused and time.monotonic() < deadline:
            before = len(seen)
            at_frame.clear()
            call(reader)
            refused = "Already mutably borrowed" in seen[before : at_frame[0]]
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        worker.join()
    assert refused
    assert reader.apertures == [0, 1]
    reader.close()
