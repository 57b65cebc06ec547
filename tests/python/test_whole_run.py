"""The whole-run methods against the per-aperture methods, on random files."""

import kvt_pulse_reader as kvt
import numpy as np
import pandas as pd
import pytest
from kvt_pulse_reader import PulseReader
from pulse_file_builder import Aperture, build, default_metadata
from reference_model import Model, Unsorted, random_file, random_records

KINDS = ("pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown")


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype.kind == "f":
        return a.dtype == b.dtype and np.array_equal(a.view(f"u{a.itemsize}"), b.view(f"u{b.itemsize}"))
    return a.dtype == b.dtype and np.array_equal(a, b)


def assert_frames(got, want):
    assert list(got.columns) == list(want.columns)
    for c in want.columns:
        assert same(got[c].to_numpy(), want[c].to_numpy()), c


def with_large_aperture(rng, path):
    """A random file, or one with an aperture of 70,000 records, shared out between threads."""
    if rng.random() < 0.5:
        return random_file(rng).write(path)
    apertures = [Aperture(n, random_records(rng, int(rng.integers(0, 50)), 0.0), x=n % 3, y=n // 3) for n in range(5)]
    apertures.insert(2, Aperture(7, random_records(rng, 70_000, 0.02 if rng.random() < 0.5 else 0.0), x=1, y=2))
    return build(apertures, dict(default_metadata(), fps=99.5)).write(path)


def per_aperture(model, selection, kw):
    """The model's pulses of each selected aperture, as read_pulses gives them, and those it skips."""
    pulses, skipped = [], []
    for n in selection:
        try:
            p = model.pulses(n, kw)
        except Unsorted:
            skipped.append(n)
            continue
        pulses.append(pd.DataFrame({"aperture_index": np.full(len(p["index"]), n, np.uint64), **p}))
    return pulses, skipped


@pytest.mark.parametrize("seed", range(40))
def test_whole_run_methods_equal_the_per_aperture_methods(tmp_path, seed):
    rng = np.random.default_rng(seed)
    path = with_large_aperture(rng, tmp_path / "pulses.bin")
    model = Model(path.read_bytes())
    with PulseReader(str(path)) as reader:
        readable = model.readable
        selection = None if rng.random() < 0.4 else list(rng.choice(readable, int(rng.integers(0, 9))))
        chosen = readable if selection is None else [int(n) for n in selection]
        kw = None if rng.random() < 0.3 else {"min_snr": float(rng.normal() * 3), "recalc_ipd": bool(seed % 2)}
        expected, skipped = per_aperture(model, chosen, kw)
        for threads in (1, 3):
            got = reader.read_pulses(selection, pulse_filter_kwargs=kw, threads=threads, errors="skip")
            assert got.attrs["skipped_apertures"] == skipped
            assert isinstance(got.index, pd.RangeIndex)
            want = pd.concat(expected, ignore_index=True) if expected else None
            if want is not None:
                assert_frames(got, want)
            else:
                assert len(got) == 0
            batches = list(
                reader.iter_pulses(
                    selection,
                    pulse_filter_kwargs=kw,
                    threads=threads,
                    errors="skip",
                    batch_records=int(rng.integers(0, 200)),
                )
            )
            if batches:
                assert_frames(pd.concat(batches, ignore_index=True), got)

            records, at = reader.read_records(selection, threads=threads), 0
            for n in chosen:
                one = pd.DataFrame(model.records(n))
                part, at = records.iloc[at : at + len(one)], at + len(one)
                assert (part["aperture_index"] == n).all()
                assert same(part["index"], np.arange(len(one), dtype=np.uint64))
                assert list(part["record_type"].astype(str)) == list(one["record_type"])
                assert_frames(
                    part.drop(columns=["aperture_index", "index", "record_type"]), one.drop(columns=["record_type"])
                )
            assert at == len(records)
            assert list(records["record_type"].cat.categories) == list(KINDS)

            summary = reader.summarize(selection, pulse_filter_kwargs=kw, threads=threads, errors="skip")
            kept = [n for n in chosen if n not in skipped]
            assert list(summary["aperture_index"]) == kept
            for row, pulses in zip(summary.itertuples(), expected):
                one = pd.DataFrame(model.records(row.aperture_index))
                kinds = one["record_type"].value_counts()
                assert row.num_records == len(one)
                assert row.num_pulses == len(pulses)
                for kind in KINDS[1:]:
                    assert getattr(row, f"num_{kind}") == kinds.get(kind, 0)
                finite = {
                    c: pulses[c][np.isfinite(pulses[c])].astype(np.float64) for c in ("intensity", "snr", "bg_std")
                }
                for column, values in [
                    ("mean_dur_s", pulses["dur_s"].astype(np.float64)),
                    ("mean_ipd_s", pulses["ipd_s"][1:].astype(np.float64)),
                    ("mean_intensity", finite["intensity"]),
                    ("mean_snr", finite["snr"]),
                    ("mean_bg_std", finite["bg_std"]),
                ]:
                    want = values.mean() if len(values) else np.nan
                    assert np.isclose(getattr(row, column), want, rtol=1e-9, equal_nan=True), column


def unsorted_file(path):
    """Apertures 0, 2 and 5 fine, aperture 1's second pulse touching its first."""
    pulse = [5, 3, 10, 10, 0, 0, 1, 1]
    touching = [0, 3, 10, 10, 0, 0, 1, 1]
    return build(
        [Aperture(0, [pulse] * 2), Aperture(1, [pulse, touching]), Aperture(2, [pulse]), Aperture(5, [pulse])]
    ).write(path)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda r: r.read_pulses([0, 99]),
            kvt.MissingApertureError,
            "Failed to get pulses: This file does not contain the provided aperture index: 99",
        ),
        (
            lambda r: r.read_records([99, 0]),
            kvt.MissingApertureError,
            "Failed to get records: This file does not contain the provided aperture index: 99",
        ),
        (
            lambda r: r.summarize([0, 1, 4, 5]),
            kvt.MissingApertureError,
            "Failed to summarize: This file does not contain the provided aperture index: 4",
        ),
        (
            lambda r: r.read_pulses(pulse_filter_kwargs={}),
            kvt.UnsortedPulsesError,
            "Failed to get pulses: aperture 1: The provided pulses aren't sorted!",
        ),
        (
            lambda r: r.summarize(pulse_filter_kwargs={}),
            kvt.UnsortedPulsesError,
            "aperture 1: The provided pulses aren't sorted!",
        ),
        (
            lambda r: r.read_pulses(columns=["snr", "nope"]),
            kvt.InvalidArgumentError,
            "Unknown column 'nope'; the valid columns are: aperture_index, index, start_f",
        ),
        (
            lambda r: r.read_pulses(pulse_filter=__import__("kvt_pulse_reader").PulseFilter(), pulse_filter_kwargs={}),
            kvt.InvalidArgumentError,
            "Cannot provide both a PulseFilter object and keyword arguments for the filter!",
        ),
        (lambda r: r.read_pulses("01"), TypeError, "argument 'apertures': "),
        (lambda r: r.read_pulses([1, -1]), OverflowError, ""),
        (lambda r: r.read_pulses(np.array([0, -2])), OverflowError, ""),
        (lambda r: r.read_records(threads="2"), TypeError, "argument 'threads': "),
        (lambda r: r.read_pulses(errors=1), TypeError, "argument 'errors': "),
        (lambda r: r.read_pulses(errors="ignore"), kvt.InvalidArgumentError, "argument 'errors': "),
        (lambda r: r.read_pulses(None, None, None, None), TypeError, "positional"),
        (lambda r: r.iter_pulses(batch_records=-1), OverflowError, ""),
    ],
)
def test_bad_input_gets_a_clear_error_and_the_reader_stays_usable(tmp_path, call, error, message):
    with PulseReader(str(unsorted_file(tmp_path / "p.bin"))) as reader:
        with pytest.raises(error) as raised:
            call(reader)
        assert message in str(raised.value)
        assert len(reader.read_pulses([0, 2])) == 3


def test_skipped_apertures_and_empty_selections_keep_the_columns(tmp_path):
    with PulseReader(str(unsorted_file(tmp_path / "p.bin"))) as reader:
        full = reader.read_pulses(columns=["aperture_y", "snr", "aperture_index"])
        assert list(full.columns) == ["aperture_y", "snr", "aperture_index"]
        skipped = reader.read_pulses(pulse_filter_kwargs={}, errors="skip")
        assert skipped.attrs["skipped_apertures"] == [1] and set(skipped["aperture_index"]) == {0, 2, 5}
        assert list(reader.summarize(pulse_filter_kwargs={}, errors="skip")["aperture_index"]) == [0, 2, 5]
        for method in ("read_pulses", "read_records", "summarize"):
            empty, whole = getattr(reader, method)([]), getattr(reader, method)()
            assert len(empty) == 0 and list(empty.dtypes) == list(whole.dtypes)
        assert reader.read_pulses().attrs == {
            k: v
            for k, v in reader.get_pulses(0).attrs.items()
            if k in ("source", "analysis_id", "frame_dur_s", "run_dur_f", "run_dur_s")
        }


def test_a_cut_file_fails_cleanly_and_batches_do_not_hold_the_reader(tmp_path):
    path = unsorted_file(tmp_path / "p.bin")
    cut = build([Aperture(0, [[5, 3, 1, 1, 0, 0, 1, 1]]), Aperture(1, [[5, 3, 1, 1, 0, 0, 1, 1]] * 4, count=99)])
    with PulseReader(str(cut.write(tmp_path / "cut.bin"))) as reader:
        for method, prefix in [
            ("read_pulses", "Failed to get pulses: "),
            ("read_records", "Failed to get records: "),
            ("summarize", "Failed to summarize: "),
        ]:
            with pytest.raises(kvt.TruncatedFileError, match=prefix):
                getattr(reader, method)()
        assert len(reader.read_pulses([0])) == 1
    reader = PulseReader(str(path))
    batches = reader.iter_pulses(batch_records=1)
    first = next(batches)
    assert len(reader.read_pulses([2])) == 1  # the reader is free between batches
    reader.close()
    with pytest.raises(RuntimeError, match="PulseReader cannot be used after the pulse file has been closed!"):
        next(batches)
    for method in ("read_pulses", "read_records", "summarize", "iter_pulses"):
        with pytest.raises(RuntimeError, match="cannot be used after the pulse file has been closed"):
            getattr(reader, method)()
    assert list(first["aperture_index"]) == [0, 0]
