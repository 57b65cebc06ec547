"""Argument conversion: binding errors name the function, conversion errors
name the argument ("argument 'x': ...") and come before every other check;
out-of-range numbers are the host's OverflowError without that prefix."""

import collections
import fractions

import numpy as np
import pytest
from kvt_pulse_reader import PulseFilter, PulseReader, merge_pulse_files


class AsFloat:
    def __float__(self):
        return 3.0


class AsIndex:
    def __index__(self):
        return 3


Span = collections.namedtuple("Span", "first second")
STR = "'{}' object cannot be converted to 'PyString'"
VEC = "Can't extract `str` to `Vec`"

REFUSED = [
    # (call, exception, message: exact when it ends with "$", else a prefix)
    (
        lambda r, d: PulseReader(),
        TypeError,
        "PulseReader.__new__() missing 1 required positional argument: 'file_name'",
    ),
    (lambda r, d: PulseReader("a", None, None, None), TypeError, "PulseReader.__new__() takes"),
    (lambda r, d: PulseReader("a", filename="a"), TypeError, "PulseReader.__new__() got an unexpected keyword"),
    (lambda r, d: PulseReader(b"p.bin"), TypeError, "argument 'file_name': " + STR.format("bytes") + "$"),
    (
        lambda r, d: PulseReader("none", pulse_filter={}),
        TypeError,
        "argument 'pulse_filter': 'dict' object cannot be converted to 'PulseFilter'$",
    ),
    (
        lambda r, d: PulseReader("none", PulseFilter(), [("min_snr", 1)]),
        TypeError,
        "argument 'pulse_filter_kwargs': 'list' object cannot be converted to 'PyDict'$",
    ),
    (lambda r, d: r.get_all_records(), TypeError, "PulseReader.get_all_records() missing 1 required positional"),
    (lambda r, d: r.get_all_records(0, 1), TypeError, "PulseReader.get_all_records() takes"),
    (lambda r, d: r.get_pulses(0, filter=None), TypeError, "PulseReader.get_pulses() got an unexpected keyword"),
    (lambda r, d: r.__exit__(None, None), TypeError, "PulseReader.__exit__() missing 1 required positional"),
    (lambda r, d: r.close(1), TypeError, "PulseReader.close() takes"),
    (lambda r, d: r.get_all_records("0"), TypeError, "argument 'aperture_index': "),
    (lambda r, d: r.get_pulses(0.0), TypeError, "argument 'aperture_index': "),
    (lambda r, d: r.get_pulses(0, 1), TypeError, "argument 'include_aperture_index': "),
    (
        lambda r, d: r.get_pulses(0, True, {}),
        TypeError,
        "argument 'pulse_filter': 'dict' object cannot be converted to 'PulseFilter'$",
    ),
    (lambda r, d: r.get_pulses(0, True, None, "x"), TypeError, "argument 'pulse_filter_kwargs': "),
    (lambda r, d: r.get_pulses(-1), OverflowError, ""),
    (lambda r, d: r.get_all_records(2**64), OverflowError, ""),
    (lambda r, d: r.copy_apertures_to_new_file(), TypeError, "PulseReader.copy_apertures_to_new_file() missing"),
    (lambda r, d: r.copy_apertures_to_new_file("01", 5, 1), TypeError, f"argument 'apertures': {VEC}$"),
    (lambda r, d: r.copy_apertures_to_new_file({0}, "x"), TypeError, "argument 'apertures': "),
    (lambda r, d: r.copy_apertures_to_new_file(iter([0]), "x"), TypeError, "argument 'apertures': "),
    (lambda r, d: r.copy_apertures_to_new_file([0, 1.0], "x"), TypeError, "argument 'apertures': "),
    (lambda r, d: r.copy_apertures_to_new_file(np.array([0.0]), "x"), TypeError, "argument 'apertures': "),
    (lambda r, d: r.copy_apertures_to_new_file([99], b"x", 1), TypeError, "argument 'file_name': "),
    (lambda r, d: r.copy_apertures_to_new_file([99], "x", 1), TypeError, "argument 'ignore_missing_apertures': "),
    (
        lambda r, d: r.copy_apertures_to_new_file([99], "x", np.int64(0)),
        TypeError,
        "argument 'ignore_missing_apertures': ",
    ),
    (lambda r, d: r.copy_apertures_to_new_file([0, -1], "x"), OverflowError, ""),
    (lambda r, d: r.copy_apertures_to_new_file(np.array([5, -1]), "x"), OverflowError, ""),
    (lambda r, d: merge_pulse_files(["a"]), TypeError, "merge_pulse_files() missing 1 required positional"),
    (lambda r, d: merge_pulse_files("a", None), TypeError, f"argument 'file_names': {VEC}$"),
    (lambda r, d: merge_pulse_files([b"a"], "m"), TypeError, "argument 'file_names': "),
    (lambda r, d: merge_pulse_files(iter(["a"]), "m"), TypeError, "argument 'file_names': "),
    (lambda r, d: PulseFilter(1), TypeError, ""),
    (lambda r, d: PulseFilter(min_dur_f=2.0), TypeError, ""),
    (lambda r, d: PulseFilter(min_dur_f=np.float64(2)), TypeError, ""),
    (lambda r, d: PulseFilter(min_dur_f=-1), OverflowError, ""),
    (lambda r, d: PulseFilter(min_dur_f=2**32), OverflowError, ""),
    (lambda r, d: PulseFilter(min_snr="3"), TypeError, ""),
    (lambda r, d: PulseFilter(min_snr=3j), TypeError, ""),
    (lambda r, d: PulseFilter(mask_s=[1.0, 2.0]), TypeError, ""),
    (lambda r, d: PulseFilter(mask_s=(1.0, None)), TypeError, ""),
    (
        lambda r, d: PulseFilter(mask_s=(1.0, 2.0, 3.0)),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3$",
    ),
    (lambda r, d: PulseFilter(recalc_ipd=1), TypeError, ""),
    (lambda r, d: PulseFilter(recalc_ipd=np.int64(1)), TypeError, ""),
    (lambda r, d: r.get_pulses(0, pulse_filter_kwargs={1: 2}), TypeError, ""),
] + [
    (lambda r, d, k=k: PulseFilter(**{k: None}), TypeError, "")
    for k in (
        "min_dur_f",
        "min_dur_s",
        "max_dur_s",
        "min_snr",
        "min_intensity",
        "min_binratio",
        "max_binratio",
        "start_m",
        "end_m",
        "mask_s",
        "recalc_ipd",
    )
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refused(reader, tmp_path, monkeypatch, call, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as caught:
        call(reader, tmp_path)
    text = str(caught.value)
    assert type(caught.value) is error
    assert text == message[:-1] if message.endswith("$") else text.startswith(message), text
    if error is OverflowError or not message.startswith("argument"):
        assert not text.startswith("argument")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pulses.bin"]
    assert reader.apertures == [0, 1, 4]


# Each filter must keep exactly what its plain form keeps.
SAME_FILTERS = [
    ({"min_snr": 3}, {"min_snr": 3.0}),
    ({"min_snr": np.float32(3)}, {"min_snr": 3.0}),
    ({"min_snr": np.int64(3)}, {"min_snr": 3.0}),
    ({"min_snr": AsFloat()}, {"min_snr": 3.0}),
    ({"min_snr": fractions.Fraction(3)}, {"min_snr": 3.0}),
    ({"min_dur_f": True}, {"min_dur_f": 1}),
    ({"min_intensity": True}, {"min_intensity": 1.0}),
    ({"min_dur_f": np.uint32(3)}, {"min_dur_f": 3}),
    ({"min_dur_f": AsIndex()}, {"min_dur_f": 3}),
    ({"mask_s": Span(0.05, 0.3)}, {"mask_s": (0.05, 0.3)}),
    ({"min_dur_f": 3, "recalc_ipd": np.bool_(True)}, {"min_dur_f": 3, "recalc_ipd": True}),
    ({"min_dur_f": 3, "recalc_ipd": np.bool_(False)}, {"min_dur_f": 3}),
    ({"minsnr": 3.0, "min_SNR": 3.0, "": None, "x": object()}, {}),
    ({"min_dur_s": 0.03 + 1e-12}, {"min_dur_s": 0.03}),  # bounds are rounded to f32 first
]


@pytest.mark.parametrize("given, plain", SAME_FILTERS)
def test_accepted_filter_values(reader, given, plain):
    want = reader.get_pulses(0, pulse_filter_kwargs=plain)
    for got in (
        reader.get_pulses(0, pulse_filter=PulseFilter(**given)),
        reader.get_pulses(0, pulse_filter_kwargs=given),
    ):
        assert got.equals(want) and list(got.index) == list(want.index)


@pytest.mark.parametrize(
    "call",
    [
        lambda r, out: r.copy_apertures_to_new_file((4, 0), out, False),
        lambda r, out: r.copy_apertures_to_new_file(apertures=[0, 4, 4], file_name=out, ignore_missing_apertures=False),
        lambda r, out: r.copy_apertures_to_new_file(range(0, 5, 4), out),
        lambda r, out: r.copy_apertures_to_new_file(np.array([4, 0], dtype=np.uint64), out),
        lambda r, out: r.copy_apertures_to_new_file([np.uint8(0), np.int64(4)], out),
        lambda r, out: r.copy_apertures_to_new_file([0, 4, 9], out, np.bool_(True)),
    ],
)
def test_accepted_copy_arguments(reader, tmp_path, call):
    assert call(reader, str(tmp_path / "a.bin")) is None
    reader.copy_apertures_to_new_file([0, 4], str(tmp_path / "b.bin"))
    assert (tmp_path / "a.bin").read_bytes() == (tmp_path / "b.bin").read_bytes()


def test_accepted_reader_and_merge_arguments(small_file, tmp_path):
    class Name(str):
        pass

    class Kwargs(dict):
        pass

    with PulseReader(file_name=Name(small_file), pulse_filter_kwargs=Kwargs(min_dur_f=1)) as reader:
        assert reader.get_pulses(
            aperture_index=0, include_aperture_index=np.bool_(False), pulse_filter=None, pulse_filter_kwargs=None
        ).shape == (4, 15)
    merge_pulse_files(file_names=np.array([str(small_file)], dtype=object), new_file_name=str(tmp_path / "m"))
    merge_pulse_files((str(small_file),), str(tmp_path / "n"))
    assert (tmp_path / "m").read_bytes() == (tmp_path / "n").read_bytes()
