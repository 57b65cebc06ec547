"""The columns of get_all_records and get_pulses: names, order, types, values,
and that NumPy uses the module's buffers in place."""

import numpy as np
import pandas as pd
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseReader
from pulse_file_builder import Aperture, EncodingRecord, PulseFile
from pulse_file_builder import record_words
from reference_model import (PULSE_COLUMNS, RECORD_COLUMNS, expected_pulses,
                             expected_record_columns, pulse_columns)

RECORD_NAMES = [name for name, _ in RECORD_COLUMNS]
PULSE_NAMES = [name for name, _ in PULSE_COLUMNS]

# Scaling on every measured word; the high bits of some exponents are set
# and must be ignored.
ENCODINGS = [
    EncodingRecord(0, 5, 7), EncodingRecord(1, 6, 9),
    EncodingRecord(2, 0x13, 10), EncodingRecord(3, 4, 100),
    EncodingRecord(4, 0xF2, 0), EncodingRecord(5, 15, 65535),
    EncodingRecord(6, 1, 3), EncodingRecord(7, 0x80, 1),
]

RESERVED = [0x7FFF, 0x8000, 0x8001]


def varied_records(seed=7, n=300):
    """Records of every kind, with words chosen to reach the edge values."""
    rng = np.random.default_rng(seed)
    interesting = [0, 1, -1, 0x7FFE, 0x7FFF, 0x8000, 0x8001, 0x8002, 0xFFFF,
                   0x40, 0xFFC0, 12345, -12345]

    def word():
        if rng.random() < 0.4:
            return int(rng.choice(interesting))
        return int(rng.integers(0, 0x10000))

    records = [
        pfb.raw(),                                           # all zero
        pfb.pulse(0xFFFF, 5, *RESERVED, 1, 2, 3),            # pulse wins
        pfb.raw(0xFFFF, 0, 1, 2, 3, 4, 0xFFFD, 6),           # padding wins
        pfb.raw(4, 0, 0, 0, 1, 2, 0xFFFC, 3),                # background
        pfb.raw(4, 0, 0, 1, 1, 2, 0xFFFF, 3),                # unknown
        pfb.pulse(1, 7, 10, 0x8000, 30, 40, 50, 60),         # NaN intensity
        pfb.step_down(2, 131073, w2=3, w3=4, w7=5),
        pfb.step_up(2, 0xFFFFFFFF, w2=0x7FFF, w3=0x8001),
        pfb.long_pulse_dropped(3, 5 + 0x80000000, w7=-7),
        pfb.long_pulse_update(3, 70000),
        pfb.long_pulse_update(0, 0),
        pfb.padding(0x7FFF, 0x8000, 0x8001, -1, 2, 3),
        pfb.raw(5, 0, 0x7FFF, 0x8000, 0x8001, 0, 0xFFFA, 1),  # step down
        pfb.background(9, *RESERVED, 0x7FFE),
    ]
    marks = [0xFFFD, 0xFFFE, 0xFFFB, 0xFFFA]
    for _ in range(n):
        w = [word() for _ in range(8)]
        w[0] = int(rng.integers(0, 200)) if rng.random() < 0.9 else 0xFFFF
        kind = rng.random()
        if kind < 0.4:
            w[1] = int(rng.integers(1, 50))
        else:
            w[1] = 0
            if kind < 0.6:
                w[6] = int(rng.choice(marks))
            elif kind < 0.75:
                w[2] = w[3] = 0
        records.append(pfb.Record(tuple(w)))
    return records


@pytest.fixture
def capture_frames(monkeypatch):
    """Record every dict of columns that the module hands to pandas."""
    seen = []
    original = pd.DataFrame

    def capturing(columns, *args, **kwargs):
        seen.append(columns)
        return original(columns, *args, **kwargs)

    monkeypatch.setattr(pd, "DataFrame", capturing)
    return seen


@pytest.fixture
def varied_file(make_file):
    return make_file(PulseFile(
        encodings=ENCODINGS,
        metadata={"fps": 29.97, "duration": 60},
        apertures=[Aperture(3, x=4, y=5, records=varied_records()),
                   Aperture(8, records=[]),
                   Aperture(9, records=[pfb.background(5), pfb.padding()])]))


def assert_lent_to_numpy(array, length, dtype):
    assert type(array) is np.ndarray
    assert array.dtype == np.dtype(dtype)
    assert array.shape == (length,)
    assert array.strides == (array.itemsize,)
    assert array.flags.c_contiguous
    assert array.flags.writeable
    assert not array.flags.owndata
    assert type(array.base).__name__ == "PySliceContainer"


def assert_same_values(actual, expected, bitwise=False):
    """Equal values, NaN where NaN is expected; with ``bitwise`` also equal
    bits (the sign of zeros, the NaN pattern)."""
    np.testing.assert_array_equal(actual, expected)
    if bitwise:
        assert actual.tobytes() == expected.tobytes()
    elif actual.dtype.kind == "f":
        numbers = ~np.isnan(expected)
        assert actual[numbers].tobytes() == expected[numbers].tobytes()


def test_record_columns_as_handed_to_pandas(varied_file, capture_frames):
    r = PulseReader(str(varied_file.path))
    r.get_all_records(3)
    (columns,) = capture_frames
    assert type(columns) is dict
    assert list(columns) == RECORD_NAMES
    n = varied_file.apertures[0].count()
    for name, dtype in RECORD_COLUMNS:
        if dtype is None:
            assert type(columns[name]) is list
            assert len(columns[name]) == n
            assert all(type(word) is str for word in columns[name])
        else:
            assert_lent_to_numpy(columns[name], n, dtype)
    # Every column has a buffer of its own.
    bases = {id(columns[name].base) for name, dtype in RECORD_COLUMNS if dtype}
    assert len(bases) == len(RECORD_COLUMNS) - 1


@pytest.mark.parametrize("include", [True, False])
def test_pulse_columns_as_handed_to_pandas(varied_file, capture_frames,
                                           include):
    r = PulseReader(str(varied_file.path))
    r.get_pulses(3, include_aperture_index=include)
    (columns,) = capture_frames
    names = list(PULSE_NAMES)
    if include:
        names.insert(1, "aperture_index")
    assert list(columns) == names
    n = len(expected_pulses(record_words(varied_file.apertures[0].records),
                            ENCODINGS, 29.97))
    assert n > 50
    for name, dtype in PULSE_COLUMNS:
        assert_lent_to_numpy(columns[name], n, dtype)
    if include:
        assert_lent_to_numpy(columns["aperture_index"], n, np.uint64)
        assert columns["aperture_index"].tolist() == [3] * n


def test_record_frame_columns_and_types(varied_file):
    df = PulseReader(str(varied_file.path)).get_all_records(3)
    assert list(df.columns) == RECORD_NAMES
    for name, dtype in RECORD_COLUMNS:
        if dtype is not None:
            assert df[name].dtype == np.dtype(dtype), name
    assert isinstance(df.index, pd.RangeIndex)
    assert list(df.index) == list(range(len(df)))


def test_record_values(varied_file):
    df = PulseReader(str(varied_file.path)).get_all_records(3)
    words = record_words(varied_file.apertures[0].records)
    expected = expected_record_columns(words, ENCODINGS)
    assert len(df) == len(words)
    for name, dtype in RECORD_COLUMNS:
        if dtype is None:
            assert df[name].tolist() == expected[name]
        else:
            assert_same_values(df[name].to_numpy(), expected[name],
                               bitwise=dtype is not np.float64)
    # Absent optional values are NaN, bit for bit the default quiet NaN.
    lpd = df["long_pulse_duration_f"].to_numpy()
    absent = np.isnan(expected["long_pulse_duration_f"])
    assert set(lpd[absent].view(np.uint64).tolist()) == {0x7FF8000000000000}
    assert set(expected["record_type"]) == {
        "pulse", "padding", "long_pulse_update", "long_pulse_dropped",
        "step_up", "step_down", "background", "unknown"}


def test_decoding_examples(make_file):
    encodings = [EncodingRecord()] * 8
    encodings[3] = EncodingRecord(0, 4, 100)
    encodings[4] = EncodingRecord(0, 0, 11)
    encodings[5] = EncodingRecord(0, 0, 22)
    encodings[6] = EncodingRecord(0, 0, 33)
    encodings[7] = EncodingRecord(0, 0, 44)
    built = make_file(PulseFile(encodings=encodings, apertures=[Aperture(0, records=[
        pfb.raw(),
        pfb.pulse(1, 12, w3=0x40),
        pfb.pulse(1, 12, w3=0xFFC0),
        pfb.pulse(1, 12, w3=0x8000, w4=4),
        pfb.pulse(0xFFFF, 5),
        pfb.raw(0xFFFF, 0, 0x7FFF, 0, 0, 0, 0xFFFD, 0),
        pfb.step_down(0, 131073, w7=0x7FFF),
        pfb.long_pulse_dropped(0, 7 + 0x80000000),
        pfb.raw(0, 0, 0, 0, 0, 0, 0xFFFC, 0),
        pfb.raw(0, 0, 0x7FFF, 1, 0, 0, 0xFFFF, 0),
    ])]))
    df = PulseReader(str(built.path)).get_all_records(0)
    assert df["record_type"].tolist() == [
        "background", "pulse", "pulse", "pulse", "pulse", "padding",
        "step_down", "long_pulse_dropped", "background", "unknown"]
    assert df.iloc[0][["ipd_f", "dur_f", "bin0_intensity", "bin1_intensity",
                       "bin0_bg_mean", "bin1_bg_mean", "bin0_bg_std",
                       "bin1_bg_std"]].tolist() == [0, 0, 0, 0, 11, 22, 33, 44]
    assert df["bin1_intensity"].tolist()[1:3] == [104.0, 96.0]
    assert np.isnan(df["bin1_intensity"][3]) and df["bin0_bg_mean"][3] == 15.0
    assert df["ipd_f"][4] == 65535 and df["dur_f"][4] == 5
    assert df["bin0_intensity"][5] == 32767.0
    step = df.iloc[6]
    assert (step["event_f"], step["bin0_bg_mean"], step["bin1_bg_mean"],
            step["bin0_bg_std"], step["bin1_bg_std"]) == (131073, 1, 2, -6, 32767)
    assert np.isnan(step["long_pulse_duration_f"])
    dropped = df.iloc[7]
    assert dropped["long_pulse_duration_f"] == 7 + 2147483648
    assert dropped["bin1_bg_mean"] == -32768.0 and dropped["bin0_bg_std"] == -2.0
    assert np.isnan(dropped["event_f"])
    assert df["bin0_intensity"][9] == 32767.0
    assert np.isnan(df.iloc[1][["long_pulse_duration_f", "event_f"]]
                    .to_numpy(dtype=float)).all()


def test_start_f_sums_ipd_and_wraps(make_file):
    wraps = [pfb.padding()] * 65537 + [pfb.background(5)]
    built = make_file(PulseFile(apertures=[
        Aperture(0, records=[pfb.background(5), pfb.pulse(0, 9),
                             pfb.background(7)]),
        Aperture(1, records=wraps),
    ]))
    r = PulseReader(str(built.path))
    assert r.get_all_records(0)["start_f"].tolist() == [5, 5, 12]
    start = r.get_all_records(1)["start_f"].to_numpy()
    assert start[65535] == 65535 * 65536
    assert start[65536] == (65535 * 65537) % 2 ** 32
    assert start[-1] == (65535 * 65537 + 5) % 2 ** 32


def test_empty_aperture_has_every_column(varied_file):
    r = PulseReader(str(varied_file.path))
    records = r.get_all_records(8)
    assert len(records) == 0
    assert list(records.columns) == RECORD_NAMES
    for name, dtype in RECORD_COLUMNS:
        if dtype is not None:
            assert records[name].dtype == np.dtype(dtype)
    assert records.attrs["aperture_index"] == 8
    for aperture in (8, 9):
        pulses = r.get_pulses(aperture)
        assert len(pulses) == 0
        assert list(pulses.columns) == ["aperture_index"] + PULSE_NAMES[1:]
        assert pulses.index.name == "index"
        for name, dtype in PULSE_COLUMNS[1:]:
            assert pulses[name].dtype == np.dtype(dtype)


def test_pulse_values(varied_file):
    r = PulseReader(str(varied_file.path))
    df = r.get_pulses(3, include_aperture_index=False)
    words = record_words(varied_file.apertures[0].records)
    expected = pulse_columns(expected_pulses(words, ENCODINGS, 29.97))
    assert list(df.columns) == PULSE_NAMES[1:]
    assert df.index.name == "index"
    assert_same_values(df.index.to_numpy(), expected["index"])
    for name, dtype in PULSE_COLUMNS[1:]:
        assert df[name].dtype == np.dtype(dtype), name
        assert_same_values(df[name].to_numpy(), expected[name])


def test_normalization_example(make_file):
    built = make_file(PulseFile(metadata={"fps": 100, "duration": 1},
                                apertures=[Aperture(0, records=[
                                    pfb.background(10), pfb.pulse(5, 20),
                                    pfb.step_down(3, 0), pfb.pulse(4, 10)])]))
    df = PulseReader(str(built.path)).get_pulses(0)
    assert df.index.tolist() == [1, 3]
    assert df["start_f"].tolist() == [15, 42]
    assert df["end_f"].tolist() == [35, 52]
    assert df["dur_f"].tolist() == [20, 10]
    assert df["ipd_f"].tolist() == [0, 7]
    f32 = np.float32
    assert df["dur_s"].tolist() == [f32(20) / f32(100), f32(10) / f32(100)]
    assert df["ipd_s"].tolist() == [0.0, f32(7) / f32(100)]


def test_columns_outlive_the_reader(varied_file, capture_frames):
    r = PulseReader(str(varied_file.path))
    r.get_all_records(9)
    column = capture_frames[0]["ipd_f"]
    r.close()
    del capture_frames[:]
    assert column.tolist() == [5, 65535]
    column[0] = 7  # writeable, and the memory is the array's to keep
    assert column.tolist() == [7, 65535]


def test_slice_container_cannot_be_made_from_python(varied_file,
                                                    capture_frames):
    PulseReader(str(varied_file.path)).get_all_records(9)
    container_type = type(capture_frames[0]["ipd_f"].base)
    with pytest.raises(TypeError):
        container_type()


def ordered_stream(n, seed=11):
    """Pulses that never touch (ipd >= 1), with backgrounds and steps between."""
    rng = np.random.default_rng(seed)
    records = []
    for i in range(n):
        ipd = int(rng.integers(1, 300))
        if i % 9 == 4:
            records.append(pfb.background(ipd, *rng.integers(0, 0x8000, 4).tolist()))
        elif i % 23 == 7:
            records.append(pfb.step_up(ipd, int(rng.integers(0, 2 ** 32))))
        else:
            w = rng.integers(1, 0x7FFF, 6).tolist()
            records.append(pfb.pulse(ipd, int(rng.integers(1, 40)), *w))
    return records


@pytest.mark.parametrize("n", [4000, 70_000])
def test_long_aperture_is_decoded_piece_by_piece_alike(make_file, n):
    # Thousands of records: decoded, normalized and filtered in pieces of a
    # few hundred, and from 65536 records on by two threads that each take
    # one half; the columns must still match the whole-list model.
    records = ordered_stream(n)
    built = make_file(PulseFile(encodings=ENCODINGS, metadata={"fps": 29.97, "duration": 600},
                                apertures=[Aperture(6, records=records)]))
    r = PulseReader(str(built.path))
    words = record_words(records)

    frame = r.get_all_records(6)
    expected = expected_record_columns(words, ENCODINGS)
    for name, dtype in RECORD_COLUMNS:
        if dtype is None:
            assert frame[name].tolist() == expected[name]
        else:
            assert_same_values(frame[name].to_numpy(), expected[name], bitwise=dtype is not np.float64)

    pulses = r.get_pulses(6)
    model = pulse_columns(expected_pulses(words, ENCODINGS, 29.97))
    assert_same_values(pulses.index.to_numpy(), model["index"])
    for name, _ in PULSE_COLUMNS[1:]:
        assert_same_values(pulses[name].to_numpy(), model[name], bitwise=True)

    # Filtered in pieces: the kept rows of the unfiltered frame, with the
    # gaps recomputed across piece boundaries over the kept pulses only.
    kept = r.get_pulses(6, pulse_filter_kwargs={"min_dur_f": 20, "recalc_ipd": True})
    chosen = pulses[pulses["dur_f"] >= 20]
    assert 1000 < len(kept) < len(pulses)
    assert kept.index.tolist() == chosen.index.tolist()
    gaps = chosen["start_f"].to_numpy()[1:] - chosen["end_f"].to_numpy()[:-1]
    assert kept["ipd_f"].tolist() == [0] + gaps.tolist()
    assert kept.drop(columns=["ipd_f", "ipd_s"]).equals(chosen.drop(columns=["ipd_f", "ipd_s"]))
