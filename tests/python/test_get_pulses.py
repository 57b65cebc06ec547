"""PulseReader.get_pulses: which filter applies, its arguments, its index."""

import numpy as np
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, PulseFile

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
BOTH_FILTERS = ("Cannot provide both a PulseFilter object and keyword "
                "arguments for the filter!")
UNSORTED = "Failed to get pulses: The provided pulses aren't sorted!"

# Pulses of aperture 0 (identity encodings, so snr = w3 / w7):
#   index 1: frames 15-17, snr 10      index 3: frames 23-28, snr 2
#   index 4: frames 32-36, snr 6       index 6: frames 41-42, snr 8
CHOICE_RECORDS = [
    pfb.background(10),
    pfb.pulse(5, 2, w2=1, w3=20, w7=2),
    pfb.raw(2, 0, 1, 1),
    pfb.pulse(4, 5, w2=1, w3=20, w7=10),
    pfb.pulse(4, 4, w2=1, w3=30, w7=5),
    pfb.step_up(3, 99),
    pfb.pulse(2, 1, w2=1, w3=40, w7=5),
]


@pytest.fixture
def choice_file(make_file):
    return str(make_file(PulseFile(apertures=[
        Aperture(0, x=1, y=1, records=CHOICE_RECORDS),
        # Touching pulses: fine without a filter, refused with one.
        Aperture(1, records=[pfb.pulse(3, 2), pfb.pulse(0, 2)]),
        Aperture(2, records=[pfb.background(1), pfb.padding()]),
    ])).path)


def kept(df):
    return df.index.tolist()


@pytest.mark.parametrize("default, call, expected", [
    # No filter anywhere: every pulse, no ordering check.
    ({}, {}, [1, 3, 4, 6]),
    # The reader's default applies to calls that bring none.
    ({"pulse_filter_kwargs": {"min_snr": 5}}, {}, [1, 4, 6]),
    ({"pulse_filter": PulseFilter(min_snr=5)}, {}, [1, 4, 6]),
    # The call's keywords replace the default whole, settings not merged.
    ({"pulse_filter_kwargs": {"min_snr": 5}},
     {"pulse_filter_kwargs": {"min_dur_f": 3}}, [3, 4]),
    ({"pulse_filter_kwargs": {"min_snr": 5}}, {"pulse_filter_kwargs": {}},
     [1, 3, 4, 6]),
    # The call's filter object replaces the default too.
    ({"pulse_filter": PulseFilter(min_snr=5)},
     {"pulse_filter": PulseFilter(min_dur_f=3)}, [3, 4]),
    ({"pulse_filter": PulseFilter(min_snr=5)},
     {"pulse_filter": PulseFilter()}, [1, 3, 4, 6]),
    ({}, {"pulse_filter": PulseFilter(min_dur_f=2, min_snr=7)}, [1]),
    ({}, {"pulse_filter_kwargs": {"min_dur_f": 2, "min_snr": 7}}, [1]),
    # Explicit Nones are the same as leaving the argument out.
    ({"pulse_filter_kwargs": {"min_snr": 5}},
     {"pulse_filter": None, "pulse_filter_kwargs": None}, [1, 4, 6]),
])
def test_filter_choice(choice_file, default, call, expected):
    r = PulseReader(choice_file, **default)
    assert kept(r.get_pulses(0, **call)) == expected
    # The default is untouched by a call that brought its own filter.
    assert kept(r.get_pulses(0)) == kept(
        PulseReader(choice_file, **default).get_pulses(0))


def test_empty_default_filter_still_checks_order(choice_file):
    for r in (PulseReader(choice_file, pulse_filter_kwargs={}),
              PulseReader(choice_file, PulseFilter())):
        with pytest.raises(RuntimeError) as info:
            r.get_pulses(1)
        assert str(info.value) == UNSORTED
        assert kept(r.get_pulses(0)) == [1, 3, 4, 6]
    r = PulseReader(choice_file)
    assert r.get_pulses(1)["start_f"].tolist() == [3, 5]
    for call in ({"pulse_filter": PulseFilter()},
                 {"pulse_filter_kwargs": {}},
                 {"pulse_filter_kwargs": {"min_dur_f": 100}}):
        with pytest.raises(RuntimeError, match="^Failed to get pulses: The"):
            r.get_pulses(1, **call)
    assert len(r.get_pulses(1)) == 2


@pytest.mark.parametrize("kwargs", [{}, {"min_snr": 5}])
def test_both_filter_forms_in_one_call(choice_file, kwargs):
    r = PulseReader(choice_file)
    with pytest.raises(RuntimeError) as info:
        r.get_pulses(0, pulse_filter=PulseFilter(), pulse_filter_kwargs=kwargs)
    assert str(info.value) == BOTH_FILTERS
    assert kept(r.get_pulses(0)) == [1, 3, 4, 6]


def test_closed_is_reported_before_the_conflict(choice_file):
    r = PulseReader(choice_file)
    r.close()
    with pytest.raises(RuntimeError) as info:
        r.get_pulses(0, True, PulseFilter(), {"min_snr": "bad"})
    assert str(info.value) == CLOSED


def test_conflict_is_reported_before_bad_keywords(choice_file):
    r = PulseReader(choice_file)
    with pytest.raises(RuntimeError, match="^Cannot provide both"):
        r.get_pulses(0, pulse_filter=PulseFilter(),
                     pulse_filter_kwargs={"min_snr": "bad"})
    with pytest.raises(TypeError):
        r.get_pulses(0, pulse_filter_kwargs={"min_snr": "bad"})


@pytest.mark.parametrize("args, kwargs, argument", [
    (("0",), {}, "aperture_index"),
    ((0, 1), {}, "include_aperture_index"),
    ((0,), {"include_aperture_index": None}, "include_aperture_index"),
    ((0,), {"include_aperture_index": "yes"}, "include_aperture_index"),
    (("0", 1, 2, 3), {}, "aperture_index"),
    ((0, True, 1, {}), {}, "pulse_filter"),
    ((0, True, {"min_snr": 1}), {}, "pulse_filter"),
    ((0,), {"pulse_filter": PulseFilter, "pulse_filter_kwargs": 3},
     "pulse_filter"),
    ((0,), {"pulse_filter_kwargs": [("min_snr", 1)]}, "pulse_filter_kwargs"),
    ((0, False, None, "min_snr"), {}, "pulse_filter_kwargs"),
])
def test_argument_conversion_errors(choice_file, args, kwargs, argument):
    r = PulseReader(choice_file)
    with pytest.raises(TypeError) as info:
        r.get_pulses(*args, **kwargs)
    assert str(info.value).startswith(f"argument '{argument}': ")
    assert kept(r.get_pulses(0)) == [1, 3, 4, 6]


@pytest.mark.parametrize("value, type_name, expected", [
    (1, "int", "PulseFilter"),
    ({"min_snr": 1}, "dict", "PulseFilter"),
])
def test_wrong_filter_class_message(choice_file, value, type_name, expected):
    r = PulseReader(choice_file)
    with pytest.raises(TypeError) as info:
        r.get_pulses(0, pulse_filter=value)
    assert str(info.value) == (f"argument 'pulse_filter': '{type_name}' object "
                               f"cannot be converted to '{expected}'")
    with pytest.raises(TypeError) as info:
        r.get_pulses(0, pulse_filter_kwargs=[1])
    assert str(info.value) == ("argument 'pulse_filter_kwargs': 'list' object "
                               "cannot be converted to 'PyDict'")


def test_all_arguments_by_keyword_and_position(choice_file):
    r = PulseReader(choice_file)
    a = r.get_pulses(aperture_index=0, include_aperture_index=False,
                     pulse_filter=None, pulse_filter_kwargs={"min_snr": 5})
    b = r.get_pulses(0, False, None, {"min_snr": 5})
    c = r.get_pulses(0, np.bool_(False), PulseFilter(min_snr=5))
    for df in (a, b, c):
        assert kept(df) == [1, 4, 6]
        assert "aperture_index" not in df.columns


def test_index_is_the_record_position(choice_file):
    r = PulseReader(choice_file)
    df = r.get_pulses(0)
    assert df.index.name == "index"
    assert df.index.tolist() == [1, 3, 4, 6]
    assert df.index.dtype == np.uint64
    assert "index" not in df.columns
    assert df["start_f"].tolist() == [15, 23, 32, 41]
    assert df["ipd_f"].tolist() == [0, 6, 4, 5]
    # The records frame keeps a plain range index.
    records = r.get_all_records(0)
    assert records.index.tolist() == list(range(7))
    assert records.index.name is None


def test_background_pulse_padding_pulse(make_file):
    built = make_file(PulseFile(apertures=[Aperture(0, records=[
        pfb.background(1), pfb.pulse(1, 1), pfb.padding(), pfb.pulse(1, 1)])]))
    assert PulseReader(str(built.path)).get_pulses(0).index.tolist() == [1, 3]


@pytest.mark.parametrize("include, default", [(True, False), (False, False),
                                              (None, True)])
def test_aperture_index_column(make_file, include, default):
    records = [pfb.pulse(1, 2), pfb.pulse(3, 4)]
    built = make_file(PulseFile(apertures=[
        Aperture(3, records=records),
        # The block names itself 77: the column holds the number asked for,
        # attrs the block's own.
        Aperture(12, records=records, block_aperture_index=77)]))
    r = PulseReader(str(built.path))
    for number in (3, 12):
        df = (r.get_pulses(number) if include is None
              else r.get_pulses(number, include_aperture_index=include))
        if include or default:
            assert list(df.columns)[0] == "aperture_index"
            assert df["aperture_index"].dtype == np.uint64
            assert df["aperture_index"].tolist() == [number, number]
        else:
            assert "aperture_index" not in df.columns
            assert list(df.columns)[0] == "start_f"
        assert df.attrs["aperture_index"] == (77 if number == 12 else 3)


def test_aperture_without_pulses(choice_file):
    r = PulseReader(choice_file)
    df = r.get_pulses(2, pulse_filter=PulseFilter(min_snr=1))
    assert len(df) == 0
    assert df.index.name == "index"
    assert df.attrs["aperture_index"] == 2
    assert len(df.columns) == 16


def test_filtered_values_are_the_unfiltered_ones(choice_file):
    r = PulseReader(choice_file)
    everything = r.get_pulses(0)
    some = r.get_pulses(0, pulse_filter_kwargs={"min_snr": 5})
    assert some.equals(everything.loc[[1, 4, 6]])
    recalc = r.get_pulses(0, pulse_filter_kwargs={"min_snr": 5,
                                                  "recalc_ipd": True})
    assert recalc["ipd_f"].tolist() == [0, 32 - 17, 41 - 36]
    assert recalc.drop(columns=["ipd_f", "ipd_s"]).equals(
        some.drop(columns=["ipd_f", "ipd_s"]))
