"""How the module, its classes and its results present themselves."""

import importlib
import subprocess
import sys
import weakref

import kvt_pulse_reader as kvt
import numpy as np
import pandas as pd
import pytest
from kvt_pulse_reader import PulseFilter, PulseReader
from pulse_file_builder import Aperture, build, default_metadata
from reference_model import PULSE_TYPES, RECORD_TYPES


def run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result


def test_module():
    assert kvt.__all__[:4] == ["merge_pulse_files", "PulseReader", "PulseFilter", "recover_pulse_file"]
    assert all(issubclass(getattr(kvt, name), kvt.PulseFileError) for name in kvt.__all__[4:])
    assert kvt.__doc__ == "" and not hasattr(kvt, "PySliceContainer")
    assert kvt.merge_pulse_files.__text_signature__ == "(file_names, new_file_name)"
    assert "# Raises" in kvt.merge_pulse_files.__doc__
    sys.modules.pop("kvt_pulse_reader")
    again = importlib.import_module("kvt_pulse_reader")
    assert again is kvt and again.PulseReader is PulseReader
    run = run_python("import sys, kvt_pulse_reader; print(sorted(set(sys.modules) & {'numpy', 'pandas'}))")
    assert run.stdout == "[]\n"


def test_sub_interpreters_are_refused():
    pytest.importorskip("_testcapi")
    run = run_python("import _testcapi, kvt_pulse_reader\nprint(_testcapi.run_in_subinterp('import kvt_pulse_reader'))")
    assert run.stdout == "-1\n" and "ImportError" in run.stderr


@pytest.mark.parametrize(
    "cls, doc, signature",
    [
        (PulseReader, "Pulses.bin reader", "(file_name, pulse_filter=None, pulse_filter_kwargs=None)"),
        (PulseFilter, "", "(**kwargs)"),
    ],
)
def test_classes(reader, cls, doc, signature):
    assert (cls.__text_signature__, cls.__module__) == (signature, "builtins") and cls.__doc__.startswith(doc)
    assert cls.__mro__ == (cls, object) and f"builtins.{cls.__name__}" in repr(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    instance = reader if cls is PulseReader else PulseFilter()
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "get_all_records",
            "($self, aperture_index)",
            [
                "# Arguments",
                "# Returns",
                "# Examples",
                "```python",
                "from kvt_pulse_reader import PulseReader",
                "path/to/pulses.bin",
                "get_all_records(0)",
            ],
        ),
        (
            "get_pulses",
            "($self, aperture_index, include_aperture_index=True, pulse_filter=None, pulse_filter_kwargs=None)",
            [
                "include_aperture_index",
                "pulse_filter_kwargs",
                "min_dur_f",
                "min_dur_s",
                "max_dur_s",
                "min_snr",
                "min_intensity",
                "PulseFilter",
                "get_pulses(0)",
            ],
        ),
        (
            "copy_apertures_to_new_file",
            "($self, apertures, file_name, ignore_missing_apertures=False)",
            ["# Arguments", "# Returns", "# Examples", "new_pulses.bin", "[0, 1]", "ignore_missing_apertures=True"],
        ),
        ("close", "($self)", ["Close the pulses.bin file"]),
        ("__enter__", "($self)", []),
        ("__exit__", "($self, _exc_type, _exc_value, _traceback)", []),
    ],
)
def test_methods(name, signature, doc):
    method = getattr(PulseReader, name)
    assert method.__text_signature__ == signature
    assert all(part in method.__doc__ for part in doc)


def test_properties(tmp_path, reader):
    for name in ("apertures", "metadata", "trimmed"):
        with pytest.raises(AttributeError):
            setattr(reader, name, 1)
    assert reader.metadata is reader.metadata and reader.metadata == default_metadata()
    assert reader.apertures == reader.apertures and reader.apertures is not reader.apertures
    for options, trimmed in (
        (["x", "trim_boundary_frames"], True),
        ("trim_boundary_frames", False),
        (["Trim_boundary_frames"], False),
    ):
        path = build([Aperture(0)], dict(default_metadata(), pulseCaller={"options": options}))
        with PulseReader(str(path.write(tmp_path / "t.bin"))) as other:
            assert other.trimmed is trimmed


@pytest.mark.parametrize(
    "fps, duration, name, attrs",
    [
        (100, 60, "./pulses.bin", ("", 0.009999999776482582, 6000, 60.0)),
        (
            99.5,
            3600.1,
            "runs/a.b/pulses.bin",
            ("runs/a", float(np.float32(1) / np.float32(99.5)), 358210, 3600.10009765625),
        ),
        (0.5, 3.0, "x", ("x", 2.0, 2, 3.0)),
    ],
)
def test_run_attrs(tmp_path, monkeypatch, fps, duration, name, attrs):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
    built = build([Aperture(3, x=1, y=2)], dict(default_metadata(), fps=fps, duration=duration))
    built.write(tmp_path / name)
    with PulseReader(name) as reader:
        first, second = reader.get_all_records(3), reader.get_pulses(3)
    run = dict(zip(("analysis_id", "frame_dur_s", "run_dur_f", "run_dur_s"), attrs))
    header = {"aperture_index": 3, "aperture_x": 1, "aperture_y": 2, "aperture_byteloc": built.offsets[0]}
    for frame in (first, second):
        assert list(frame.attrs.items()) == list({**header, "source": "pulses.bin", **run}.items())
        assert type(frame.attrs["frame_dur_s"]) is float and type(frame.attrs["run_dur_f"]) is int
    assert first.attrs is not second.attrs


def test_columns(reader):
    records, pulses = reader.get_all_records(0), reader.get_pulses(0)
    assert {k: v.dtype for k, v in records.items() if k != "record_type"} == {
        k: np.dtype(t) for k, t in RECORD_TYPES.items() if t is not list
    }
    types = dict(PULSE_TYPES, aperture_index=np.uint64)
    assert list(pulses.columns) == ["aperture_index", *list(PULSE_TYPES)[1:]]
    assert {k: v.dtype for k, v in pulses.items()} == {k: np.dtype(types[k]) for k in pulses.columns}
    assert pulses.index.name == "index" and pulses.index.dtype == np.uint64
    assert (pulses["aperture_index"] == 0).all()
    assert list(reader.get_pulses(1, False).columns) == list(PULSE_TYPES)[1:]
    empty = reader.get_all_records(4)
    assert list(empty.columns) == list(RECORD_TYPES) and len(empty) == 0


def test_columns_are_lent_to_numpy(reader, monkeypatch):
    handed = []
    original = pd.DataFrame
    monkeypatch.setattr(pd, "DataFrame", lambda columns: handed.append(columns) or original(columns))
    reader.get_all_records(0)
    reader.get_pulses(0)
    reader.close()
    for columns in handed:
        for name, array in columns.items():
            if name == "record_type":
                assert type(array) is list and all(type(v) is str for v in array)
                continue
            assert array.flags.writeable and array.flags.c_contiguous and not array.flags.owndata
            assert type(array.base).__name__ == "PySliceContainer"
            with pytest.raises(TypeError):
                type(array.base)()
            array[:] = array  # still usable after the reader is closed


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
def test_dataframe_is_looked_up_at_every_call(reader, monkeypatch, method):
    class Refused(Exception):
        pass

    def refuse(columns):
        raise Refused()

    monkeypatch.setattr(pd, "DataFrame", refuse)
    with pytest.raises(Refused):
        getattr(reader, method)(0)
    monkeypatch.undo()
    assert len(getattr(reader, method)(0)) in (9, 4)


def test_a_repeated_metadata_key_keeps_its_last_value(tmp_path):
    text = b'{"fps": "x", "duration": 60, "fps": 50}'
    with PulseReader(str(build([Aperture(0)], text).write(tmp_path / "p.bin"))) as reader:
        assert reader.get_all_records(0).attrs["frame_dur_s"] == 0.019999999552965164
