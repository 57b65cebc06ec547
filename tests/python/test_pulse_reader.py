"""PulseReader: construction, run attributes, properties, closing, arguments."""

import collections
import json
import os
import pathlib
import sys

import numpy as np
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, EncodingRecord, Header, IndexEntry, PulseFile

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
BOTH_FILTERS = ("Cannot provide both a PulseFilter object and keyword "
                "arguments for the filter!")
NO_DURATION = "Missing or invalid 'duration' field in metadata"
NO_FPS = "Missing or invalid 'fps' field in metadata"
NOT_IN_INDEX = "This file does not contain the provided aperture index: "


def open_fds_to(path):
    """The descriptors of this process that are open on ``path``."""
    target = os.path.realpath(path)
    fds = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == target:
                fds.append(fd)
        except OSError:
            pass
    return fds


def one_aperture_file(make_file, metadata=None, **kwargs):
    return make_file(PulseFile(
        metadata=pfb.default_metadata() if metadata is None else metadata,
        apertures=[Aperture(0, records=[pfb.pulse(1, 2, 3, 4, 5, 6, 7, 8)])],
        **kwargs))


# --------------------------------------------------------------------------
# Construction
# --------------------------------------------------------------------------


def test_construction_by_position_and_keyword(simple_file):
    path = str(simple_file.path)
    f = PulseFilter(min_snr=1)
    for r in (PulseReader(path), PulseReader(path, None, None),
              PulseReader(file_name=path, pulse_filter=f),
              PulseReader(path, pulse_filter_kwargs={"min_snr": 1}),
              PulseReader(path, None, collections.OrderedDict(min_snr=1))):
        assert type(r) is PulseReader
        assert r.apertures == [0, 1, 4]
        r.close()


def test_str_and_dict_subclasses_are_accepted(simple_file):
    class Name(str):
        pass

    class Kwargs(dict):
        pass

    r = PulseReader(Name(str(simple_file.path)),
                    pulse_filter_kwargs=Kwargs(min_dur_f=2))
    assert r.apertures == [0, 1, 4]
    assert r.get_pulses(0)["dur_f"].tolist() == [20, 10, 3]


@pytest.mark.parametrize("kwargs, argument, message", [
    ({"file_name": 12}, "file_name",
     "'int' object cannot be converted to 'PyString'"),
    ({"file_name": b"pulses.bin"}, "file_name",
     "'bytes' object cannot be converted to 'PyString'"),
    ({"file_name": pathlib.PurePosixPath("pulses.bin")}, "file_name",
     "'PurePosixPath' object cannot be converted to 'PyString'"),
    ({"file_name": "missing.bin", "pulse_filter": 5}, "pulse_filter",
     "'int' object cannot be converted to 'PulseFilter'"),
    ({"file_name": "missing.bin", "pulse_filter": {"min_snr": 1}},
     "pulse_filter", "'dict' object cannot be converted to 'PulseFilter'"),
    ({"file_name": "missing.bin", "pulse_filter_kwargs": [("min_snr", 1)]},
     "pulse_filter_kwargs", "'list' object cannot be converted to 'PyDict'"),
    ({"file_name": "missing.bin", "pulse_filter": PulseFilter(),
      "pulse_filter_kwargs": "min_snr"},
     "pulse_filter_kwargs", "'str' object cannot be converted to 'PyDict'"),
])
def test_wrong_argument_types(kwargs, argument, message):
    # Argument errors come before any attempt to open the file.
    with pytest.raises(TypeError) as info:
        PulseReader(**kwargs)
    assert str(info.value) == f"argument '{argument}': {message}"


@pytest.mark.parametrize("args, kwargs, fragment", [
    ((), {}, "'file_name'"),
    ((), {"pulse_filter": None}, "'file_name'"),
    (("a", None, None, None), {}, "PulseReader.__new__()"),
    (("a",), {"filename": "a"}, "'filename'"),
    (("a",), {"file_name": "a"}, "'file_name'"),
])
def test_binding_errors(args, kwargs, fragment):
    with pytest.raises(TypeError) as info:
        PulseReader(*args, **kwargs)
    assert "PulseReader.__new__()" in str(info.value)
    assert fragment in str(info.value)


def test_missing_file(tmp_path):
    path = tmp_path / "nowhere" / "pulses.bin"
    with pytest.raises(RuntimeError) as info:
        PulseReader(str(path))
    assert type(info.value) is RuntimeError
    assert "No such file or directory" in str(info.value)
    # The open failure is reported before the filter conflict.
    with pytest.raises(RuntimeError, match="No such file or directory"):
        PulseReader(str(path), PulseFilter(), {})


def test_nul_in_file_name(simple_file):
    with pytest.raises(RuntimeError) as info:
        PulseReader(str(simple_file.path) + "\0x")
    assert str(info.value) == "file name contained an unexpected NUL byte"


@pytest.mark.parametrize("pulse_file, message", [
    (PulseFile(header=Header(magic=b"KVTP", encoding_record_type=3)),
     "Pulse file header is invalid!"),
    (PulseFile(header=Header(encoding_record_type=2)),
     "Invalid encoding record type: 2"),
    (PulseFile(header=Header(encoding_record_size=8, num_encoding_records=7)),
     "Invalid encoding record size: 8"),
    (PulseFile(header=Header(record_size=32)), "Invalid record size: 32"),
    (PulseFile(header=Header(num_encoding_records=7)),
     "Invalid number of encoding records: 7"),
    (PulseFile(truncate=47), "failed to fill whole buffer"),
    (PulseFile(metadata={"duration": 60}), NO_FPS),
    (PulseFile(metadata={"fps": "100", "duration": 60}), NO_FPS),
    (PulseFile(metadata=[1, 2]), NO_FPS),
    (PulseFile(index_magic=b"$INDX$\r\r"), "Index magic number mismatch"),
])
def test_open_failures_carry_the_core_message(make_file, pulse_file, message):
    pulse_file.apertures = [Aperture(0)]
    path = make_file(pulse_file).path
    with pytest.raises(RuntimeError) as info:
        PulseReader(str(path))
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    assert open_fds_to(path) == []


@pytest.mark.parametrize("metadata, prefix", [
    (b"", "Failed to parse metadata JSON: "),
    (b'{"fps": 100,', "Failed to parse metadata JSON: "),
    (b'{"fps": 100, "duration": "\xff"}', "Failed to parse metadata as UTF-8: "),
])
def test_unreadable_metadata(make_file, metadata, prefix):
    path = one_aperture_file(make_file, metadata=metadata).path
    with pytest.raises(RuntimeError) as info:
        PulseReader(str(path))
    assert str(info.value).startswith(prefix)
    assert len(str(info.value)) > len(prefix)


@pytest.mark.parametrize("metadata", [
    {"fps": 100},
    {"fps": 100, "duration": "60"},
    {"fps": 100, "duration": None},
    {"fps": 100, "duration": True},
    {"fps": 100, "duration": [60]},
    {"fps": 100, "info": {"duration": 60}},
])
def test_duration_is_required(make_file, metadata):
    path = one_aperture_file(make_file, metadata=metadata).path
    with pytest.raises(RuntimeError) as info:
        PulseReader(str(path))
    assert str(info.value) == NO_DURATION
    assert open_fds_to(path) == []


def test_both_filter_forms_are_refused_after_opening(simple_file):
    path = str(simple_file.path)
    for kwargs in ({}, {"min_snr": 1}):
        with pytest.raises(RuntimeError) as info:
            PulseReader(path, PulseFilter(), kwargs)
        assert str(info.value) == BOTH_FILTERS
    assert open_fds_to(path) == []


def test_failure_order_after_opening(make_file, monkeypatch):
    """Filter conflict, then filter keywords, then pandas, then duration,
    then json: each is reported only when the ones before it pass."""
    no_duration = str(one_aperture_file(make_file, metadata={"fps": 100}).path)
    good = str(one_aperture_file(make_file).path)

    with pytest.raises(RuntimeError, match="^Cannot provide both"):
        PulseReader(no_duration, PulseFilter(), {"min_dur_f": 2.0})
    with pytest.raises(TypeError):
        PulseReader(no_duration, pulse_filter_kwargs={"min_dur_f": 2.0})

    with monkeypatch.context() as m:
        m.setitem(sys.modules, "pandas", None)
        with pytest.raises(ModuleNotFoundError):
            PulseReader(no_duration)
        with pytest.raises(TypeError):
            PulseReader(no_duration, pulse_filter_kwargs={"recalc_ipd": 1})

    with monkeypatch.context() as m:
        m.setitem(sys.modules, "json", None)
        with pytest.raises(RuntimeError, match=NO_DURATION):
            PulseReader(no_duration)
        with pytest.raises(ImportError):
            PulseReader(good)

    class Refused(Exception):
        pass

    def refuse(*args, **kwargs):
        raise Refused("no json today")

    with monkeypatch.context() as m:
        m.setattr(json, "loads", refuse)
        with pytest.raises(Refused, match="no json today"):
            PulseReader(good)
    for path in (good, no_duration):
        assert open_fds_to(path) == []


def test_reader_holds_one_descriptor_until_closed(simple_file):
    path = str(simple_file.path)
    r = PulseReader(path)
    assert len(open_fds_to(path)) == 1
    r.get_all_records(0)
    r.close()
    assert open_fds_to(path) == []
    r2 = PulseReader(path)
    del r2
    assert open_fds_to(path) == []


def test_metadata_property(make_file):
    meta = {"fps": 100, "duration": 60, "z": [1, {"b": None, "a": 2.5}],
            "name": "r\u00e9sum\u00e9"}
    built = one_aperture_file(make_file, metadata=meta)
    r = PulseReader(str(built.path))
    m = r.metadata
    assert type(m) is dict
    assert m == meta
    assert list(m) == list(meta)  # as json.loads gives it
    assert r.metadata is m
    m["added"] = 1
    assert r.metadata["added"] == 1
    r.close()
    assert r.metadata is m


@pytest.mark.parametrize("metadata, trimmed", [
    ({"fps": 100, "duration": 1}, False),
    ({"fps": 100, "duration": 1,
      "pulseCaller": {"options": ["x", "trim_boundary_frames"]}}, True),
    ({"fps": 100, "duration": 1,
      "pulseCaller": {"options": ["Trim_Boundary_Frames"]}}, False),
    ({"fps": 100, "duration": 1,
      "pulseCaller": {"options": "trim_boundary_frames"}}, False),
    ({"fps": 100, "duration": 1,
      "pulseCaller": {"options": [["trim_boundary_frames"], 3]}}, False),
    ({"fps": 100, "duration": 1, "trim_boundary_frames": True}, False),
])
def test_trimmed_property(make_file, metadata, trimmed):
    r = PulseReader(str(one_aperture_file(make_file, metadata=metadata).path))
    assert r.trimmed is trimmed


def test_apertures_property(make_file):
    pf = PulseFile(apertures=[Aperture(5, x=50), Aperture(7, x=70),
                              Aperture(9, x=90)])
    first_layout = pf.render()
    # 6 has a zero offset; 9 is listed twice, the later entry pointing at the
    # block of aperture 5.
    pf.index_entries = [IndexEntry(5), IndexEntry(6, 0), IndexEntry(7),
                        IndexEntry(9), IndexEntry(9, first_layout.offset_of(5))]
    built = make_file(pf)
    r = PulseReader(str(built.path))
    first = r.apertures
    assert first == [5, 6, 7, 9, 9]
    assert all(type(n) is int for n in first)
    second = r.apertures
    assert second == first and second is not first
    first.append(1)
    assert r.apertures == [5, 6, 7, 9, 9]
    with pytest.raises(RuntimeError) as info:
        r.get_all_records(6)
    assert str(info.value) == "Failed to get records: " + NOT_IN_INDEX + "6"
    # The later entry wins, and the block's own number is what attrs shows.
    attrs = r.get_all_records(9).attrs
    assert attrs["aperture_byteloc"] == built.offset_of(5)
    assert (attrs["aperture_index"], attrs["aperture_x"]) == (5, 50)
    attrs = r.get_all_records(7).attrs
    assert attrs["aperture_byteloc"] == built.offset_of(7)
    assert (attrs["aperture_index"], attrs["aperture_x"]) == (7, 70)


# --------------------------------------------------------------------------
# Run attributes
# --------------------------------------------------------------------------

RUN_KEYS = ["source", "analysis_id", "frame_dur_s", "run_dur_f", "run_dur_s"]


def run_attrs(reader):
    attrs = reader.get_all_records(reader.apertures[0]).attrs
    return {k: attrs[k] for k in RUN_KEYS}


def test_run_attrs_of_a_standard_run(make_file):
    r = PulseReader(str(one_aperture_file(make_file).path))
    attrs = run_attrs(r)
    assert attrs["source"] == "pulses.bin"
    assert attrs["frame_dur_s"] == 0.009999999776482582
    assert attrs["run_dur_f"] == 6000
    assert attrs["run_dur_s"] == 60.0
    assert [type(attrs[k]) for k in RUN_KEYS] == [str, str, float, int, float]


def ceil_to_u64(product):
    if np.isnan(product) or product <= 0:
        return 0
    if product >= 2.0 ** 64:
        return 2 ** 64 - 1
    return int(np.ceil(product))


@pytest.mark.parametrize("fps, duration", [
    (100, 60),
    (30, 0.1),          # 3.0000000447 in f32 arithmetic is 3.0 exactly
    (100, 0.015),
    (29.97, 3600.1),
    (10, 0),
    (100, -5),
    (-5, 60),
    (0, 60),
    (1e20, 1e20),
    (7, 1.0000001),
])
def test_run_duration_in_single_precision(make_file, fps, duration):
    meta = {"fps": fps, "duration": duration}
    r = PulseReader(str(one_aperture_file(make_file, metadata=meta).path))
    attrs = run_attrs(r)
    fps32, dur32 = np.float32(fps), np.float32(duration)
    with np.errstate(all="ignore"):
        frame = np.float32(1) / fps32
        product = np.float32(fps32 * dur32)
    assert attrs["frame_dur_s"] == float(frame)
    assert attrs["run_dur_s"] == float(dur32)
    assert attrs["run_dur_f"] == ceil_to_u64(product)


def test_run_duration_examples(make_file):
    def attrs_for(fps, duration):
        meta = {"fps": fps, "duration": duration}
        path = one_aperture_file(make_file, metadata=meta).path
        return run_attrs(PulseReader(str(path)))

    assert attrs_for(30, 0.1)["run_dur_f"] == 3
    assert attrs_for(100, 3600.1)["run_dur_s"] == 3600.10009765625
    assert attrs_for(100, 0.015)["run_dur_f"] == 2
    assert attrs_for(100, -1)["run_dur_f"] == 0
    assert attrs_for(1e20, 1e20)["run_dur_f"] == 18446744073709551615


@pytest.mark.parametrize("name, analysis_id", [
    ("pulses.bin", "pulses"),
    ("./pulses.bin", ""),
    ("path/to/pulses.bin", "path/to/pulses"),
    ("runs/a.b/pulses.bin", "runs/a"),
    ("run_7/pulses", "run_7/pulses"),
    ("archive.tar.gz", "archive"),
])
def test_analysis_id_and_source(tmp_path, monkeypatch, name, analysis_id):
    target = tmp_path / name
    target.parent.mkdir(parents=True, exist_ok=True)
    PulseFile(apertures=[Aperture(0)]).write(target)
    monkeypatch.chdir(tmp_path)
    attrs = run_attrs(PulseReader(name))
    assert attrs["analysis_id"] == analysis_id
    assert attrs["source"] == "pulses.bin"


# --------------------------------------------------------------------------
# Closing and the context manager
# --------------------------------------------------------------------------


def test_closed_reader(reader):
    meta = reader.metadata
    records = reader.get_all_records(0)
    assert reader.close() is None
    assert reader.close() is None
    assert reader.metadata is meta
    assert reader.__enter__() is reader
    assert reader.__exit__(None, None, None) is None
    for call in (lambda: reader.apertures, lambda: reader.trimmed,
                 lambda: reader.get_all_records(0),
                 lambda: reader.get_all_records(99),
                 lambda: reader.get_pulses(0),
                 lambda: reader.get_pulses(0, False, PulseFilter(), {})):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == CLOSED
    # Argument conversion is checked before the closed state.
    with pytest.raises(TypeError, match="^argument 'aperture_index': "):
        reader.get_all_records("0")
    with pytest.raises(OverflowError):
        reader.get_pulses(-1)
    # Frames read before closing stay valid.
    assert records["record_type"].tolist()[:2] == ["background", "pulse"]
    assert records["ipd_f"].tolist()[:2] == [10, 5]


def test_context_manager(simple_file):
    path = str(simple_file.path)
    reader = PulseReader(path)
    with reader as bound:
        assert bound is reader
        assert bound.apertures == [0, 1, 4]
    with pytest.raises(RuntimeError, match=CLOSED):
        reader.apertures
    assert open_fds_to(path) == []

    with pytest.raises(KeyError, match="inside"):
        with PulseReader(path) as r:
            raise KeyError("inside")
    with pytest.raises(RuntimeError, match=CLOSED):
        r.get_all_records(0)
    assert open_fds_to(path) == []


@pytest.mark.parametrize("call", [
    lambda r: r.__exit__(None, None, None),
    lambda r: r.__exit__(_exc_type=None, _exc_value=None, _traceback=None),
    lambda r: r.__exit__(ValueError, ValueError("x"), None),
])
def test_exit_closes(simple_file, call):
    r = PulseReader(str(simple_file.path))
    assert call(r) is None
    with pytest.raises(RuntimeError, match=CLOSED):
        r.trimmed


@pytest.mark.parametrize("call, fragment", [
    (lambda r: r.__exit__(), "'_exc_type'"),
    (lambda r: r.__exit__(None, None), "'_traceback'"),
    (lambda r: r.__exit__(None, None, None, None), "__exit__()"),
    (lambda r: r.__enter__(1), "__enter__()"),
    (lambda r: r.close(1), "close()"),
    (lambda r: r.close(force=True), "close()"),
    (lambda r: r.get_all_records(), "'aperture_index'"),
    (lambda r: r.get_all_records(0, 1), "get_all_records()"),
    (lambda r: r.get_all_records(index=0), "'index'"),
    (lambda r: r.get_all_records(0, aperture_index=0), "'aperture_index'"),
    (lambda r: r.get_pulses(), "'aperture_index'"),
    (lambda r: r.get_pulses(0, True, None, None, None), "get_pulses()"),
    (lambda r: r.get_pulses(0, filter=None), "'filter'"),
])
def test_method_binding_errors(reader, call, fragment):
    with pytest.raises(TypeError) as info:
        call(reader)
    assert fragment in str(info.value)
    assert "PulseReader." in str(info.value)
    # A failed call leaves the reader as it was.
    assert reader.apertures == [0, 1, 4]


# --------------------------------------------------------------------------
# Arguments of the read methods
# --------------------------------------------------------------------------


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
@pytest.mark.parametrize("value", ["0", 0.0, None, [0], b"0"])
def test_aperture_index_of_wrong_type(reader, method, value):
    with pytest.raises(TypeError) as info:
        getattr(reader, method)(value)
    assert str(info.value).startswith("argument 'aperture_index': ")
    assert reader.apertures == [0, 1, 4]


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
@pytest.mark.parametrize("value", [-1, -2 ** 70, 2 ** 64, 2 ** 100])
def test_aperture_index_out_of_range(reader, method, value):
    with pytest.raises(OverflowError) as info:
        getattr(reader, method)(value)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")
    assert reader.apertures == [0, 1, 4]


@pytest.mark.parametrize("method, prefix", [
    ("get_all_records", "Failed to get records: "),
    ("get_pulses", "Failed to get pulses: "),
])
@pytest.mark.parametrize("number", [2, 3, 5, 2 ** 64 - 1])
def test_aperture_not_in_file(reader, method, prefix, number):
    with pytest.raises(RuntimeError) as info:
        getattr(reader, method)(aperture_index=number)
    assert str(info.value) == f"{prefix}{NOT_IN_INDEX}{number}"
    assert len(getattr(reader, method)(0)) > 0


@pytest.mark.parametrize("method, prefix", [
    ("get_all_records", "Failed to get records: "),
    ("get_pulses", "Failed to get pulses: "),
])
def test_block_beyond_end_of_file(make_file, method, prefix):
    built = make_file(PulseFile(apertures=[
        Aperture(0, records=[pfb.pulse(1, 1)]),
        Aperture(1, records=[pfb.pulse(1, 1)] * 2, num_records=50),
        Aperture(2, records=[pfb.pulse(1, 1)] * 3),
    ]))
    r = PulseReader(str(built.path))
    with pytest.raises(RuntimeError) as info:
        getattr(r, method)(1)
    assert str(info.value) == prefix + "failed to fill whole buffer"
    assert len(getattr(r, method)(2)) == 3
    assert len(getattr(r, method)(0)) == 1


def test_index_offset_past_magic(make_file):
    built = make_file(PulseFile(apertures=[Aperture(0)]))
    data = bytearray(built.data)
    data[40:48] = (built.index_offset + 1).to_bytes(8, "little")
    built.path.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="^Index magic number mismatch$"):
        PulseReader(str(built.path))
    data[40:48] = (len(data) + 100).to_bytes(8, "little")
    built.path.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="^failed to fill whole buffer$"):
        PulseReader(str(built.path))


def test_separate_readers_are_independent(simple_file):
    a = PulseReader(str(simple_file.path))
    b = PulseReader(str(simple_file.path))
    a.close()
    assert b.apertures == [0, 1, 4]
    assert len(b.get_all_records(0)) == 9


def test_encodings_are_read_from_the_file(make_file):
    encodings = [EncodingRecord(0, 0, 0)] * 3 + [EncodingRecord(9, 4, 100)] * 5
    built = make_file(PulseFile(encodings=encodings, apertures=[
        Aperture(0, records=[pfb.pulse(0, 12, w3=0x40), pfb.pulse(0, 12, w3=-64),
                             pfb.pulse(0, 12, w3=0x7FFF)])]))
    df = PulseReader(str(built.path)).get_all_records(0)
    assert df["bin1_intensity"].tolist() == [104.0, 96.0, float("inf")]
