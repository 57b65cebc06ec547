"""PulseFilter: its keywords, how their values are converted, and that each
keyword reaches the criterion of its name."""

import collections
import fractions

import numpy as np
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, PulseFile
from pulse_file_builder import record_words
from reference_model import expected_pulses

F32 = np.float32
FPS = 10

KEYWORDS = ["min_dur_f", "min_dur_s", "max_dur_s", "min_snr", "min_intensity",
            "min_binratio", "max_binratio", "start_m", "end_m", "mask_s",
            "recalc_ipd"]


def filter_records(seed=3, n=60):
    """Pulses in strict time order, with background records between some,
    and a few whose snr or bin ratio is infinite or NaN."""
    rng = np.random.default_rng(seed)
    records = []
    for i in range(n):
        if rng.random() < 0.3:
            records.append(pfb.background(int(rng.integers(0, 50))))
        bin1 = int(rng.integers(-50, 500))
        std = int(rng.integers(0, 40))
        if i % 17 == 5:
            bin1, std = 0, 0
        records.append(pfb.pulse(int(rng.integers(1, 700)),
                                 int(rng.integers(1, 60)),
                                 w2=int(rng.integers(-100, 400)), w3=bin1,
                                 w4=int(rng.integers(0, 9)),
                                 w5=int(rng.integers(0, 9)),
                                 w6=int(rng.integers(0, 9)), w7=std))
    return records


RECORDS = filter_records()
ENCODINGS = pfb.default_encodings()
PULSES = expected_pulses(record_words(RECORDS), ENCODINGS, FPS)


def keeps(pulse, settings):
    """Whether a pulse passes the criteria, computed in single precision."""
    fps = F32(FPS)
    per_minute = F32(fps * F32(60))
    start, end = F32(pulse["start_f"]), F32(pulse["end_f"])
    with np.errstate(all="ignore"):
        tests = {
            "min_dur_f": lambda v: pulse["dur_f"] >= v,
            "min_dur_s": lambda v: pulse["dur_s"] >= F32(v),
            "max_dur_s": lambda v: pulse["dur_s"] <= F32(v),
            "min_snr": lambda v: pulse["snr"] >= F32(v),
            "min_intensity": lambda v: pulse["intensity"] >= F32(v),
            "min_binratio": lambda v: pulse["binratio"] >= F32(v),
            "max_binratio": lambda v: pulse["binratio"] <= F32(v),
            "start_m": lambda v: F32(start / per_minute) >= F32(v),
            "end_m": lambda v: F32(end / per_minute) <= F32(v),
            "mask_s": lambda v: (F32(start / fps) > F32(v[1])
                                 or F32(end / fps) < F32(v[0])),
        }
        return all(bool(tests[k](v)) for k, v in settings.items()
                   if k in tests)


def expected_kept(settings):
    kept = [dict(p) for p in PULSES if keeps(p, settings)]
    if settings.get("recalc_ipd"):
        prev = None
        for p in kept:
            p["ipd_f"] = 0 if prev is None else p["start_f"] - prev["end_f"]
            prev = p
    return kept


@pytest.fixture(scope="module")
def filter_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("filter") / "pulses.bin"
    PulseFile(metadata={"fps": FPS, "duration": 3600},
              apertures=[Aperture(0, records=RECORDS)]).write(path)
    return str(path)


@pytest.fixture(scope="module")
def filter_reader(filter_file):
    with PulseReader(filter_file) as r:
        yield r


CRITERIA = [
    {"min_dur_f": 30},
    {"min_dur_s": 2.5},
    {"max_dur_s": 2.5},
    {"min_snr": 3.0},
    {"min_intensity": 100.0},
    {"min_binratio": 0.5},
    {"max_binratio": 1.5},
    {"start_m": 10.0},
    {"end_m": 15.0},
    {"mask_s": (300.0, 600.0)},
    {"min_snr": 3.0, "recalc_ipd": True},
    {"min_intensity": 100.0, "max_dur_s": 3.0, "mask_s": (60.0, 500.5),
     "recalc_ipd": True},
]


@pytest.mark.parametrize("settings", CRITERIA, ids=lambda s: "+".join(s))
def test_each_keyword_sets_its_criterion(filter_reader, settings):
    expected = expected_kept(settings)
    assert 0 < len(expected) < len(PULSES)
    for df in (filter_reader.get_pulses(0, pulse_filter=PulseFilter(**settings)),
               filter_reader.get_pulses(0, pulse_filter_kwargs=settings)):
        assert df.index.tolist() == [p["index"] for p in expected]
        assert df["ipd_f"].tolist() == [p["ipd_f"] for p in expected]
        np.testing.assert_array_equal(
            df["ipd_s"].to_numpy(),
            np.array([F32(p["ipd_f"]) / F32(FPS) for p in expected], F32))


def test_reader_default_filter(filter_file):
    settings = {"min_snr": 3.0, "recalc_ipd": True}
    expected = [p["ipd_f"] for p in expected_kept(settings)]
    for reader in (PulseReader(filter_file, PulseFilter(**settings)),
                   PulseReader(filter_file, pulse_filter_kwargs=settings)):
        assert reader.get_pulses(0)["ipd_f"].tolist() == expected


def test_filter_object_is_reusable_and_independent(filter_file):
    f = PulseFilter(min_dur_f=30)
    expected = [p["index"] for p in expected_kept({"min_dur_f": 30})]
    a = PulseReader(filter_file, f)
    b = PulseReader(filter_file)
    del f
    assert a.get_pulses(0).index.tolist() == expected
    assert a.get_pulses(0).index.tolist() == expected
    assert len(b.get_pulses(0)) == len(PULSES)


def test_recalc_ipd_example(make_file):
    # A: frames 10-20, B: 30-40, C: 50-60; snr 10, 1 and 10; bin ratio 2, 1
    # and 0.1.
    built = make_file(PulseFile(metadata={"fps": 10, "duration": 10},
                                apertures=[Aperture(0, records=[
                                    pfb.pulse(10, 10, w2=20, w3=10, w7=1),
                                    pfb.pulse(10, 10, w2=1, w3=1, w7=1),
                                    pfb.pulse(10, 10, w2=1, w3=10, w7=1)])]))
    r = PulseReader(str(built.path))

    def ipd(**settings):
        df = r.get_pulses(0, pulse_filter_kwargs=settings)
        return list(zip(df.index.tolist(), df["ipd_f"].tolist(),
                        df["ipd_s"].tolist()))

    # B dropped: C's gap is 30 frames to A, 10 frames to B.
    assert ipd(min_snr=5, recalc_ipd=True) == [(0, 0, 0.0), (2, 30, 3.0)]
    assert ipd(min_snr=5) == [(0, 0, 0.0), (2, 10, 1.0)]
    assert ipd(min_snr=5, recalc_ipd=False) == [(0, 0, 0.0), (2, 10, 1.0)]
    # A dropped: B is the first kept pulse.
    assert ipd(max_binratio=1.5, recalc_ipd=True) == [(1, 0, 0.0), (2, 10, 1.0)]
    assert ipd(max_binratio=1.5) == [(1, 10, 1.0), (2, 10, 1.0)]


@pytest.mark.parametrize("start, end, mask, kept", [
    (50, 99, (10.0, 20.0), True),
    (90, 100, (10.0, 20.0), False),
    (200, 210, (10.0, 20.0), False),
    (201, 210, (10.0, 20.0), True),
    (600, 601, None, None),
])
def test_time_boundaries(make_file, start, end, mask, kept):
    built = make_file(PulseFile(metadata={"fps": 10, "duration": 100},
                                apertures=[Aperture(0, records=[
                                    pfb.pulse(start, end - start)])]))
    r = PulseReader(str(built.path))
    if mask is not None:
        df = r.get_pulses(0, pulse_filter=PulseFilter(mask_s=mask))
        assert len(df) == int(kept)
    else:
        # 600 frames at 10 fps is exactly one minute.
        assert len(r.get_pulses(0, pulse_filter=PulseFilter(start_m=1.0))) == 1
        assert len(r.get_pulses(0, pulse_filter=PulseFilter(start_m=1.01))) == 0


# --------------------------------------------------------------------------
# Conversion of keyword values
# --------------------------------------------------------------------------


class AsFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class AsIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


Span = collections.namedtuple("Span", "first second")


class Pair(tuple):
    pass


@pytest.mark.parametrize("settings, same_as", [
    ({"min_snr": 3}, {"min_snr": 3.0}),
    ({"min_snr": np.float32(3)}, {"min_snr": 3.0}),
    ({"min_snr": np.float64(3)}, {"min_snr": 3.0}),
    ({"min_snr": np.int64(3)}, {"min_snr": 3.0}),
    ({"min_snr": AsFloat(3.0)}, {"min_snr": 3.0}),
    ({"min_snr": fractions.Fraction(3, 1)}, {"min_snr": 3.0}),
    ({"min_intensity": True}, {"min_intensity": 1.0}),
    ({"max_dur_s": False}, {"max_dur_s": 0.0}),
    ({"min_dur_f": np.uint32(30)}, {"min_dur_f": 30}),
    ({"min_dur_f": np.int64(30)}, {"min_dur_f": 30}),
    ({"min_dur_f": AsIndex(30)}, {"min_dur_f": 30}),
    ({"min_dur_f": True}, {"min_dur_f": 1}),
    ({"mask_s": Span(300, 600)}, {"mask_s": (300.0, 600.0)}),
    ({"mask_s": Pair((np.float32(300), AsFloat(600.0)))},
     {"mask_s": (300.0, 600.0)}),
    ({"min_snr": 3.0, "recalc_ipd": np.bool_(True)},
     {"min_snr": 3.0, "recalc_ipd": True}),
    ({"min_snr": 3.0, "recalc_ipd": np.bool_(False)}, {"min_snr": 3.0}),
    ({"minsnr": 3.0, "min_SNR": 3.0, "snr": 1, "": None, "x": object()}, {}),
])
def test_accepted_values(filter_reader, settings, same_as):
    expected = [(p["index"], p["ipd_f"]) for p in expected_kept(same_as)]
    df = filter_reader.get_pulses(0, pulse_filter=PulseFilter(**settings))
    assert list(zip(df.index.tolist(), df["ipd_f"].tolist())) == expected
    df = filter_reader.get_pulses(0, pulse_filter_kwargs=settings)
    assert list(zip(df.index.tolist(), df["ipd_f"].tolist())) == expected


@pytest.mark.parametrize("value, kept", [(4294967295, 0), (0, 1), (59, 1)])
def test_min_dur_f_range(make_file, value, kept):
    built = make_file(PulseFile(apertures=[Aperture(0, records=[
        pfb.pulse(1, 59)])]))
    r = PulseReader(str(built.path))
    assert len(r.get_pulses(0, pulse_filter_kwargs={"min_dur_f": value})) == kept


def test_real_bounds_are_rounded_to_single_precision(make_file):
    # dur_s of 7 frames at 100 fps is float32(0.07); a bound a little off in
    # double precision rounds to that same value, so the pulse is kept.
    built = make_file(PulseFile(apertures=[Aperture(0, records=[
        pfb.pulse(1, 7)])]))
    r = PulseReader(str(built.path))
    dur_s = float(F32(7) / F32(100))
    assert len(r.get_pulses(0, pulse_filter_kwargs={
        "min_dur_s": dur_s + 1e-12})) == 1
    assert len(r.get_pulses(0, pulse_filter_kwargs={
        "max_dur_s": dur_s - 1e-12})) == 1
    assert len(r.get_pulses(0, pulse_filter_kwargs={
        "min_dur_s": dur_s + 1e-6})) == 0


REFUSED = [
    ("min_dur_f", 2.0, TypeError),
    ("min_dur_f", "2", TypeError),
    ("min_dur_f", np.float64(2), TypeError),
    ("min_dur_f", -1, OverflowError),
    ("min_dur_f", 2 ** 32, OverflowError),
    ("min_snr", "3", TypeError),
    ("min_snr", [3.0], TypeError),
    ("min_snr", 3j, TypeError),
    ("mask_s", [1.0, 2.0], TypeError),
    ("mask_s", 1.0, TypeError),
    ("mask_s", ("a", 2.0), TypeError),
    ("mask_s", (1.0, None), TypeError),
    ("recalc_ipd", 1, TypeError),
    ("recalc_ipd", 0, TypeError),
    ("recalc_ipd", "yes", TypeError),
    ("recalc_ipd", np.int64(1), TypeError),
] + [(keyword, None, TypeError) for keyword in KEYWORDS]


def entry_points(filter_file, filter_reader):
    return [
        lambda kw: PulseFilter(**kw),
        lambda kw: PulseReader(filter_file, pulse_filter_kwargs=kw),
        lambda kw: filter_reader.get_pulses(0, pulse_filter_kwargs=kw),
    ]


@pytest.mark.parametrize("keyword, value, error", REFUSED,
                         ids=lambda v: repr(v)[:20])
def test_refused_values(filter_file, filter_reader, keyword, value, error):
    for make in entry_points(filter_file, filter_reader):
        with pytest.raises(error) as info:
            make({keyword: value, "min_snr_typo": 1})
        assert type(info.value) is error
        assert not str(info.value).startswith("argument '")
    assert len(filter_reader.get_pulses(0)) == len(PULSES)


@pytest.mark.parametrize("value, length", [((), 0), ((1.0,), 1),
                                           ((1.0, 2.0, 3.0), 3)])
def test_mask_of_wrong_length(filter_file, filter_reader, value, length):
    for make in entry_points(filter_file, filter_reader):
        with pytest.raises(ValueError) as info:
            make({"mask_s": value})
        assert str(info.value) == (
            f"expected tuple of length 2, but got tuple of length {length}")


@pytest.mark.parametrize("kwargs", [{1: 2}, {"min_snr": 1, b"min_dur_f": 2},
                                    {None: 1}])
def test_keys_must_be_strings(filter_file, filter_reader, kwargs):
    with pytest.raises(TypeError):
        PulseReader(filter_file, pulse_filter_kwargs=kwargs)
    with pytest.raises(TypeError):
        filter_reader.get_pulses(0, pulse_filter_kwargs=kwargs)


@pytest.mark.parametrize("args", [(1,), ({},), ({"min_snr": 1},), (None,)])
def test_no_positional_arguments(args):
    with pytest.raises(TypeError):
        PulseFilter(*args)


def test_empty_filter_keeps_ordered_pulses_but_checks_order(make_file):
    built = make_file(PulseFile(apertures=[
        Aperture(0, records=RECORDS),
        # The second pulse starts where the first ends.
        Aperture(1, records=[pfb.pulse(5, 3), pfb.pulse(0, 4)]),
        # One pulse at frame 0.
        Aperture(2, records=[pfb.pulse(0, 3)]),
    ]))
    r = PulseReader(str(built.path))
    all_pulses = r.get_pulses(0)
    for df in (r.get_pulses(0, pulse_filter=PulseFilter()),
               r.get_pulses(0, pulse_filter_kwargs={})):
        assert df.equals(all_pulses)
    assert r.get_pulses(1)["start_f"].tolist() == [5, 8]
    assert len(r.get_pulses(2, pulse_filter=PulseFilter())) == 1
    for kwargs in ({}, {"min_dur_f": 4}, {"min_dur_f": 100}):
        with pytest.raises(RuntimeError) as info:
            r.get_pulses(1, pulse_filter_kwargs=kwargs)
        assert str(info.value) == (
            "Failed to get pulses: The provided pulses aren't sorted!")
    assert len(r.get_pulses(1)) == 2
