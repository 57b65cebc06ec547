"""Every public method against the reference model, on random files and
filters, bit for bit. The seed is the test's parameter; KVT_SEEDS=N runs N."""

import os

import kvt_pulse_reader as kvt
import numpy as np
import pytest
from reference_model import (
    PULSE_TYPES,
    RECORD_TYPES,
    Model,
    Unsorted,
    copy_bytes,
    merge_bytes,
    random_file,
    random_filter,
)

SEEDS = range(int(os.environ.get("KVT_SEEDS", 40)))


def assert_columns(frame, expected, types, seed):
    assert list(frame.columns) == list(types), seed
    for name, dtype in types.items():
        got = frame[name].to_numpy() if dtype is not list else list(frame[name])
        if dtype is list:
            assert got == expected[name], (seed, name)
            continue
        assert got.dtype == dtype, (seed, name)
        want = np.asarray(expected[name]).astype(dtype)
        bits = f"u{want.itemsize}"
        assert np.array_equal(got.view(bits), want.view(bits)), (seed, name)


@pytest.mark.parametrize("seed", SEEDS)
def test_reads(tmp_path, seed):
    rng = np.random.default_rng(seed)
    model = random_file(rng)
    path = str(model.write(tmp_path / "pulses.bin"))
    with kvt.PulseReader(path) as reader:
        assert reader.apertures == model.apertures
        for n in model.readable:
            header = model.block(n)[0]
            frame = reader.get_all_records(n)
            assert_columns(frame, model.records(n), RECORD_TYPES, seed)
            assert list(frame.attrs.items())[:4] == list(header.items())
            kw = random_filter(rng, model, [n]) if rng.random() < 0.7 else None
            try:
                expected = model.pulses(n, kw)
            except Unsorted:
                with pytest.raises(RuntimeError, match="^Failed to get pulses: The provided pulses aren't sorted!"):
                    reader.get_pulses(n, pulse_filter_kwargs=kw)
                continue
            frame = reader.get_pulses(n, include_aperture_index=False, pulse_filter_kwargs=kw)
            assert np.array_equal(frame.index.to_numpy(), expected.pop("index")), seed
            assert frame.index.name == "index"
            assert_columns(frame, expected, dict(list(PULSE_TYPES.items())[1:]), seed)
            assert frame.attrs["aperture_byteloc"] == header["aperture_byteloc"]
        absent = next(k for k in range(1000) if k not in model.readable)
        for method, prefix in (("get_all_records", "records"), ("get_pulses", "pulses")):
            with pytest.raises(
                RuntimeError,
                match=f"^Failed to get {prefix}: This file does not contain the provided aperture index: {absent}",
            ):
                getattr(reader, method)(absent)


@pytest.mark.parametrize("seed", SEEDS[::3])
def test_writers(tmp_path, seed):
    rng = np.random.default_rng(10_000 + seed)
    source = random_file(rng)
    path = str(source.write(tmp_path / "source.bin"))
    request = list(rng.choice(source.readable, int(rng.integers(1, 9))))
    with kvt.PulseReader(path) as reader:
        reader.copy_apertures_to_new_file(request, str(tmp_path / "copy.bin"))
    copied = (tmp_path / "copy.bin").read_bytes()
    assert copied == copy_bytes(source.data, request), seed
    assert Model(copied).readable == sorted(set(request))

    inputs = [random_file(rng, mergeable=True) for _ in range(int(rng.integers(1, 4)))]
    names = [str(m.write(tmp_path / f"in{i}.bin")) for i, m in enumerate(inputs)]
    kvt.merge_pulse_files(names + names[:1], str(tmp_path / "merged.bin"))
    expected = merge_bytes([m.data for m in inputs + inputs[:1]])
    assert (tmp_path / "merged.bin").read_bytes() == expected, seed
