"""How the module and its classes present themselves to Python."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import kvt_pulse_reader as kvt
from kvt_pulse_reader import PulseFilter, PulseReader


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_public_names_in_registration_order():
    assert kvt.__all__ == ["merge_pulse_files", "PulseReader", "PulseFilter"]
    for name in kvt.__all__:
        assert hasattr(kvt, name)
    assert kvt.__doc__ == ""
    assert kvt.__name__ == "kvt_pulse_reader"
    assert not hasattr(kvt, "PySliceContainer")


@pytest.mark.parametrize("cls, doc, signature", [
    (PulseReader, "Pulses.bin reader",
     "(file_name, pulse_filter=None, pulse_filter_kwargs=None)"),
    (PulseFilter, "", "(**kwargs)"),
])
def test_class_doc_and_signature(cls, doc, signature):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert "builtins." + cls.__name__ in repr(cls)
    assert cls.__mro__ == (cls, object)


def test_constructor_signatures_are_introspectable():
    assert list(inspect.signature(PulseReader).parameters) == [
        "file_name", "pulse_filter", "pulse_filter_kwargs"]
    (kwargs,) = inspect.signature(PulseFilter).parameters.values()
    assert kwargs.kind is inspect.Parameter.VAR_KEYWORD


@pytest.mark.parametrize("name, signature", [
    ("get_all_records", "($self, aperture_index)"),
    ("get_pulses", "($self, aperture_index, include_aperture_index=True, "
                   "pulse_filter=None, pulse_filter_kwargs=None)"),
    ("close", "($self)"),
    ("__enter__", "($self)"),
    ("__exit__", "($self, _exc_type, _exc_value, _traceback)"),
])
def test_method_signatures(name, signature):
    assert getattr(PulseReader, name).__text_signature__ == signature


def test_method_docstrings():
    assert PulseReader.close.__doc__ == "Close the pulses.bin file"
    assert not PulseReader.__enter__.__doc__
    assert not PulseReader.__exit__.__doc__
    records_doc = PulseReader.get_all_records.__doc__
    for part in ("# Arguments", "# Returns", "# Examples", "```python",
                 "aperture_index", "from kvt_pulse_reader import PulseReader",
                 "path/to/pulses.bin", "get_all_records(0)"):
        assert part in records_doc
    pulses_doc = PulseReader.get_pulses.__doc__
    for part in ("aperture_index", "include_aperture_index",
                 "pulse_filter_kwargs", "min_dur_f", "min_dur_s", "max_dur_s",
                 "min_snr", "min_intensity", "PulseFilter", "get_pulses(0)"):
        assert part in pulses_doc


def test_merge_function_presentation():
    assert kvt.merge_pulse_files.__text_signature__ == "(file_names, new_file_name)"
    assert kvt.merge_pulse_files.__doc__ is None


@pytest.mark.parametrize("name", ["apertures", "metadata", "trimmed"])
def test_properties_are_read_only(reader, name):
    assert isinstance(inspect.getattr_static(PulseReader, name),
                      (property, type(PulseReader.apertures)))
    with pytest.raises(AttributeError):
        setattr(reader, name, 1)
    with pytest.raises(AttributeError):
        delattr(reader, name)


@pytest.mark.parametrize("cls", [PulseReader, PulseFilter])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_take_no_attributes(reader):
    for obj in (reader, PulseFilter()):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_reimport_returns_the_same_objects(monkeypatch):
    module, reader_cls, filter_cls = kvt, PulseReader, PulseFilter
    monkeypatch.delitem(sys.modules, "kvt_pulse_reader")
    again = importlib.import_module("kvt_pulse_reader")
    assert again is module
    assert again.PulseReader is reader_cls
    assert again.PulseFilter is filter_cls
    assert again.__all__ == ["merge_pulse_files", "PulseReader", "PulseFilter"]


def test_import_loads_neither_numpy_nor_pandas():
    result = run_python("""
        import sys
        import kvt_pulse_reader
        print(sorted(m for m in ("numpy", "pandas") if m in sys.modules))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_import_works_without_numpy_and_pandas(tmp_path):
    # pandas is needed only when a reader is made.
    from pulse_file_builder import Aperture, PulseFile

    path = tmp_path / "pulses.bin"
    PulseFile(apertures=[Aperture(0)]).write(path)
    result = run_python(f"""
        import sys
        sys.modules["numpy"] = None
        sys.modules["pandas"] = None
        import kvt_pulse_reader
        print(kvt_pulse_reader.__all__)
        try:
            kvt_pulse_reader.PulseReader({str(path)!r})
        except ImportError as exc:
            print(type(exc).__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == [
        "['merge_pulse_files', 'PulseReader', 'PulseFilter']",
        "ModuleNotFoundError"]


def test_sub_interpreters_are_refused():
    pytest.importorskip("_testcapi")
    result = run_python("""
        import _testcapi
        import kvt_pulse_reader
        code = "import kvt_pulse_reader"
        print("status", _testcapi.run_in_subinterp(code))
        import kvt_pulse_reader as again
        print("main still works", again is kvt_pulse_reader)
    """)
    assert result.returncode == 0, result.stderr
    assert "status -1" in result.stdout
    assert "main still works True" in result.stdout
    assert "ImportError" in result.stderr
