"""errors="skip" over files with ten damaged blocks, against the reference model; Ctrl-C during long calls."""

import _thread
import os
import threading

import numpy as np
import pandas as pd
import pytest
from kvt_pulse_reader import PulseReader, merge_pulse_files
from pulse_file_builder import Aperture, build
from reference_model import Model, random_filter, random_records
from test_whole_run import assert_frames, per_aperture

PAST_END, OUT_OF_ORDER = "block runs past the end of the file", "pulses out of order"
TOUCHING = [(5, 3, 1, 1, 0, 0, 1, 1), (0, 3, 1, 1, 0, 0, 1, 1)]  # the second starts where the first ends


def damaged_file(rng):
    """Thirty apertures (one of 20,000 records, read in pieces), ten of them damaged: a record count past the
    end of the file, an index entry past it, or pulses that touch. The model, and each damaged one's damage."""
    damage = dict(
        zip(
            sorted(int(n) for n in rng.choice(30, 10, replace=False)),
            rng.choice(["count", "moved", "touching"], 10),
            strict=True,
        )
    )
    large, apertures = int(rng.integers(30)), []
    for n in range(30):
        records = random_records(rng, 20_000 if n == large else int(rng.integers(0, 60)), 0.0)
        count = int(rng.choice([10**6, 2**32 - 1])) if damage.get(n) == "count" else None
        apertures.append(
            Aperture(
                n,
                np.vstack([records, TOUCHING]) if damage.get(n) == "touching" else records,
                x=n % 5,
                y=n // 5,
                count=count,
            )
        )
    offsets = build(apertures).offsets
    index = [(n, at + (1 << 40) * (damage.get(n) == "moved")) for n, at in enumerate(offsets)]
    return Model(build(apertures, index=index).data), damage


@pytest.mark.parametrize(
    "method", ["read_pulses", "iter_pulses", "stream_pulses", "summarize", "read_records", "stream_records"]
)
def test_skip_returns_every_other_aperture_exactly_and_lists_the_ten(tmp_path, method):
    for seed in range(3):
        rng = np.random.default_rng(seed)
        model, damage = damaged_file(rng)
        records = method.endswith("records")
        bad = {
            n: OUT_OF_ORDER if d == "touching" else PAST_END
            for n, d in damage.items()
            if not (records and d == "touching")
        }
        kept = [n for n in range(30) if n not in bad]
        args = dict(
            threads=int(rng.integers(1, 4)),
            errors="skip",
            **({} if records else {"pulse_filter_kwargs": random_filter(rng, model, kept) if seed else {}}),
        )
        if method.startswith(("iter", "stream")):
            args["batch_records"] = int(rng.integers(0, 3000))
        with PulseReader(model.write(tmp_path / "pulses.bin")) as reader:
            got = getattr(reader, method)(**args)
            if method.startswith("stream"):
                frame = pytest.importorskip("pyarrow").table(got).to_pandas()
                listed = got.skipped_apertures, got.skipped_reasons
            elif method == "iter_pulses":
                frame = pd.concat(frames := list(got), ignore_index=True)
                listed = tuple(sum((f.attrs[k] for f in frames), []) for k in ("skipped_apertures", "skipped_reasons"))
            else:
                frame, listed = got, (got.attrs["skipped_apertures"], got.attrs["skipped_reasons"])
        assert listed == (list(bad), list(bad.values()))
        kw = args.get("pulse_filter_kwargs")
        if method == "summarize":
            assert frame[["aperture_index", "num_records", "num_pulses"]].values.tolist() == [
                [n, len(model.records(n)["ipd_f"]), len(model.pulses(n, kw)["index"])] for n in kept
            ]
        elif records:
            want = pd.concat(
                [
                    pd.DataFrame(
                        {
                            "aperture_index": np.full(len(r["ipd_f"]), n, np.uint64),
                            "index": np.arange(len(r["ipd_f"]), dtype=np.uint64),
                            **r,
                        }
                    )
                    for n in kept
                    for r in [model.records(n)]
                ],
                ignore_index=True,
            )
            assert list(frame.pop("record_type").astype(str)) == list(want.pop("record_type"))
            assert_frames(frame, want)
        else:
            assert_frames(frame, pd.concat(per_aperture(model, kept, kw)[0], ignore_index=True))


def arrow_table(stream):
    """A stream carries no exception class: Ctrl-C fails it with OSError, then KeyboardInterrupt follows at once."""
    try:
        pytest.importorskip("pyarrow").table(stream)
    except OSError:
        for _ in range(10**8):  # interrupted by the pending KeyboardInterrupt, if the except clause was not
            pass


CALLS = {
    "read_records": lambda r, path, out: r.read_records(),
    "read_pulses": lambda r, path, out: r.read_pulses(pulse_filter_kwargs={}),
    "summarize": lambda r, path, out: r.summarize(),
    "iter_pulses": lambda r, path, out: list(r.iter_pulses(batch_records=200_000)),
    "stream_records": lambda r, path, out: arrow_table(r.stream_records()),
    "copy": lambda r, path, out: r.copy_apertures_to_new_file(r.apertures, out),
    "merge": lambda r, path, out: merge_pulse_files([path, path], out),
}


@pytest.mark.parametrize("call", CALLS)
def test_ctrl_c_raises_keyboard_interrupt_and_the_reader_reads_on(tmp_path, call):
    from kvt_pulse_tools import synthesize

    path = tmp_path / "pulses.bin"
    synthesize(path, apertures=400, records=3000, seed=1)  # 1,200,000 records: a call takes long enough
    (tmp_path / "out").mkdir()
    with PulseReader(path) as reader:
        timer = threading.Timer(0.05, _thread.interrupt_main)  # one signal, wherever the loop is then
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            for i in range(200):
                CALLS[call](reader, path, tmp_path / "out" / f"{i}.bin")
        timer.join()
        assert len(reader.read_records(reader.apertures[:2])) == 6000
    for name in os.listdir(tmp_path / "out"):  # nothing half-written: every file there is whole
        with PulseReader(tmp_path / "out" / name) as written:
            assert len(written.apertures) == 400 * (1 + (call == "merge"))
