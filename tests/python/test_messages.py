"""Messages and the order of checks: each row names a fault and what must be
raised, with the exact type and message (a prefix where the rest is the
system's or the parser's own text)."""

import errno
import json
import os
import struct
import sys

import kvt_pulse_reader as kvt
import pytest
from kvt_pulse_reader import (
    InvalidArgumentError,
    InvalidFileError,
    MissingApertureError,
    PulseFilter,
    PulseReader,
    TruncatedFileError,
    UnsortedPulsesError,
    WriterRefusedError,
    merge_pulse_files,
)
from pulse_file_builder import Aperture, build, default_metadata

ONE = [Aperture(0, [(1, 2, 3, 4, 5, 6, 7, 8)]), Aperture(1, [(2, 0, 0, 0, 0, 0, 0, 0)], x=1)]
HEAD = 48 + 32


def open_files():
    return [os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")]


def meta(**changes):
    return dict(default_metadata(), **changes)


OPEN_FAILURES = [
    ({"truncate": 47}, "failed to fill whole buffer", TruncatedFileError),
    (
        {"magic": b"KVtQ", "encoding_record_type": 0, "record_size": 1},
        "Pulse file header is invalid!",
        InvalidFileError,
    ),
    ({"encoding_record_type": 2, "encoding_record_size": 8}, "Invalid encoding record type: 2", InvalidFileError),
    ({"encoding_record_size": 8, "num_encoding_records": 7}, "Invalid encoding record size: 8", InvalidFileError),
    ({"record_size": 15, "num_encoding_records": 7}, "Invalid record size: 15", InvalidFileError),
    ({"num_encoding_records": 7}, "Invalid number of encoding records: 7", InvalidFileError),
    ({"metadata": b'{"fps": 1\xff}'}, "Failed to parse metadata as UTF-8: ", InvalidFileError),
    ({"metadata": b""}, "Failed to parse metadata JSON: ", InvalidFileError),
    ({"metadata": b'{"fps": 100'}, "Failed to parse metadata JSON: ", InvalidFileError),
    ({"metadata": b'{"fps": 100}\0'}, "Failed to parse metadata JSON: ", InvalidFileError),
    ({"metadata": b'{"fps": 1, "big": -1e999}'}, "Failed to parse metadata JSON: ", InvalidFileError),
    ({"metadata": {"fps": "100"}}, "Missing or invalid 'fps' field in metadata", InvalidFileError),
    ({"metadata": [1, 2]}, "Missing or invalid 'fps' field in metadata", InvalidFileError),
    ({"metadata_length": 2**32 - 1}, "failed to fill whole buffer", TruncatedFileError),
    ({"num_apertures": 2**60}, "failed to fill whole buffer", TruncatedFileError),
    ({"num_apertures": 3}, "failed to fill whole buffer", TruncatedFileError),
    ({"index_offset": "+1"}, "Index magic number mismatch", InvalidFileError),
    ({"index_offset": 2**40}, "failed to fill whole buffer", TruncatedFileError),
    ({"index": []}, "The pulse file index has no entries", InvalidFileError),
    ({"index": [(5, HEAD), (3, HEAD)]}, "The pulse file index is not in ascending order", InvalidFileError),
    (
        {"index": [(3, HEAD), (9, HEAD), (5, HEAD)]},
        "The pulse file index entry 1 has aperture index 9",
        InvalidFileError,
    ),
    ({"metadata": meta(duration="60")}, "Missing or invalid 'duration' field in metadata", InvalidFileError),
    ({"metadata": {"fps": 100}}, "Missing or invalid 'duration' field in metadata", InvalidFileError),
]


@pytest.mark.parametrize("changes, message, error", OPEN_FAILURES)
def test_open_failures(tmp_path, changes, message, error):
    changes = dict(changes)
    if changes.get("index_offset") == "+1":
        changes["index_offset"] = build(ONE).index_offset + 1
    path = build(ONE, changes.pop("metadata", None), **changes).write(tmp_path / "p.bin")
    with pytest.raises(error) as caught:
        PulseReader(str(path))
    assert str(caught.value).startswith(message), str(caught.value)
    assert "json.exception" not in str(caught.value)
    assert str(path) not in open_files()


@pytest.mark.parametrize(
    "name, message, error",
    [
        ("missing.bin", r"No such file or directory \(os error 2\)", FileNotFoundError),
        ("a\0b", "file name contained an unexpected NUL byte", InvalidArgumentError),
    ],
)
def test_unopenable_names(tmp_path, name, message, error):
    with pytest.raises(error, match=f"^{message}"):
        PulseReader(str(tmp_path / name), PulseFilter(), {})


def test_construction_checks_in_order(tmp_path, monkeypatch):
    no_duration = str(build(ONE, {"fps": 100}).write(tmp_path / "p.bin"))
    with pytest.raises(InvalidArgumentError, match="^Cannot provide both a PulseFilter object and keyword arguments"):
        PulseReader(no_duration, PulseFilter(), {"min_dur_f": 2.0})
    with pytest.raises(TypeError):
        PulseReader(no_duration, pulse_filter_kwargs={"min_dur_f": 2.0})
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):  # pandas comes with the first frame: opening needs none
        PulseReader(str(build(ONE).write(tmp_path / "q.bin"))).read_records()
    monkeypatch.undo()
    monkeypatch.setattr(json, "loads", lambda text: 1 / 0)
    with pytest.raises(RuntimeError, match="duration"):
        PulseReader(no_duration)
    with pytest.raises(ZeroDivisionError):
        PulseReader(str(build(ONE).write(tmp_path / "q.bin")))


CLOSED = "^PulseReader cannot be used after the pulse file has been closed!(\\n|$)"
CONFLICT = "^Cannot provide both a PulseFilter object and keyword arguments for the filter!(\\n|$)"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.get_pulses(0, True, PulseFilter(), {"min_snr": "x"}), InvalidArgumentError, CONFLICT),
        (lambda r: r.get_pulses(0, pulse_filter_kwargs={"min_snr": "x"}), TypeError, "real number"),
        (
            lambda r: r.get_pulses(0, pulse_filter_kwargs={"mask_s": (1.0,)}),
            ValueError,
            "^expected tuple of length 2, but got tuple of length 1(\\n|$)",
        ),
        (
            lambda r: r.get_pulses(7),
            MissingApertureError,
            "^Failed to get pulses: This file does not contain the provided aperture index: 7(\\n|$)",
        ),
        (
            lambda r: r.get_all_records(2**64 - 1),
            MissingApertureError,
            "^Failed to get records: This file does not contain the provided aperture index: 18446744073709551615(\\n|$)",
        ),
        (
            lambda r: r.copy_apertures_to_new_file([1, 3, 8, 8], "x.bin"),
            MissingApertureError,
            r"^The following apertures were not found in the file: \[3, 8\](\n|$)",
        ),
    ],
)
def test_call_failures_leave_the_reader_usable(tmp_path, call, error, message):
    path = build(ONE).write(tmp_path / "p.bin")
    with PulseReader(str(path), pulse_filter_kwargs={"min_snr": 1e9}) as reader:
        with pytest.raises(error, match=message):
            call(reader)
        assert len(reader.get_pulses(0)) == 0 and len(reader.get_pulses(0, pulse_filter_kwargs={})) == 1
    assert os.listdir(tmp_path) == ["p.bin"]


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.get_pulses(0, True, PulseFilter(), {}),
        lambda r: r.get_all_records(0),
        lambda r: r.copy_apertures_to_new_file([], "x.bin"),
        lambda r: r.apertures,
        lambda r: r.trimmed,
    ],
)
def test_closed_reader_is_reported_first(tmp_path, call):
    reader = PulseReader(str(build(ONE).write(tmp_path / "p.bin")))
    reader.close()
    reader.close()
    with pytest.raises(RuntimeError, match=CLOSED):
        call(reader)
    assert reader.metadata["fps"] == 100 and reader.__enter__() is reader


def test_unsorted_pulses_are_refused_by_any_filter(tmp_path):
    touching = [Aperture(0, [(0, 5, 1, 1, 1, 1, 1, 1), (0, 5, 1, 1, 1, 1, 1, 1)])]
    path = str(build(touching).write(tmp_path / "p.bin"))
    with PulseReader(path, PulseFilter()) as reader:
        with pytest.raises(UnsortedPulsesError, match="^Failed to get pulses: The provided pulses aren't sorted!"):
            reader.get_pulses(0)
    with PulseReader(path) as reader:
        assert reader.get_pulses(0).index.tolist() == [0, 1]


def test_block_running_past_the_end_of_the_file(tmp_path):
    path = build([Aperture(0, count=10**9), *ONE[1:]]).write(tmp_path / "p.bin")
    with PulseReader(str(path)) as reader:
        for method, prefix in (("get_all_records", "records"), ("get_pulses", "pulses")):
            with pytest.raises(TruncatedFileError, match=f"^Failed to get {prefix}: failed to fill whole buffer"):
                getattr(reader, method)(0)
        assert len(reader.get_all_records(1)) == 1


def merge_input(tmp_path, name, metadata=None, **changes):
    return str(build(ONE, metadata or meta(), **changes).write(tmp_path / name))


@pytest.mark.parametrize(
    "key", ["validWells", "validWellsLeft", "validWellsRight", "rows", "roi_offset_col", "roi_cols", "cols"]
)
@pytest.mark.parametrize("value", [None, -1, 2.0, "2", 1e3])
def test_merge_refuses_bad_layout_keys_before_writing(tmp_path, key, value):
    good = merge_input(tmp_path, "good.bin")
    bad = meta(**{key: value}) if value is not None else {k: v for k, v in meta().items() if k != key}
    bad_path = merge_input(tmp_path, "bad.bin", bad)
    with pytest.raises(InvalidFileError, match=f"^{key} missing or invalid") as caught:
        merge_pulse_files([good, bad_path], str(tmp_path / "out.bin"))
    assert caught.value.__notes__ == [f"in the file '{bad_path}'"]
    assert sorted(os.listdir(tmp_path)) == ["bad.bin", "good.bin"]


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda t: [], "^No pulse files provided(\\n|$)"),
        (lambda t: [merge_input(t, "a.bin"), str(t / "none.bin")], "^No such file or directory"),
        (
            lambda t: [merge_input(t, "a.bin", index=[(0, 0), (1, build(ONE).offsets[1])])],
            "^Invalid aperture index encountered: This file does not contain the provided aperture index: 0(\\n|$)",
        ),
        (lambda t: [merge_input(t, "a.bin", meta(rows=1, cols=1))], "^Cannot merge .*a.bin: aperture index 1 is not"),
        (lambda t: [merge_input(t, "a.bin", gap=b"x" * 16)], "^Stream position mismatch(\\n|$)"),
        (
            lambda t: [merge_input(t, "a.bin", index=[(0, HEAD + 16), (0, HEAD + 16), (1, HEAD + 48)])],
            "^Cannot merge .*a.bin: its index is not in strictly ascending order",
        ),
        (
            lambda t: [str(build(ONE[::-1], meta()).write(t / "a.bin"))],
            "^Cannot merge .*a.bin: the block of aperture 0",
        ),
        (
            lambda t: [merge_input(t, "a.bin", meta(rows=2**31)), merge_input(t, "b.bin", meta(rows=2**31))],
            "^The merged file would have more than 4294967296 ",
        ),
    ],
)
def test_merge_refusals(tmp_path, make, message):
    inputs = make(tmp_path)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(RuntimeError, match=message):
        merge_pulse_files(inputs, str(tmp_path / "out.bin"))
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("kind", ["empty file", "directory", "input"])
def test_merge_refuses_an_existing_destination(tmp_path, kind):
    source = merge_input(tmp_path, "a.bin")
    target = {"empty file": tmp_path / "out.bin", "directory": tmp_path / "out", "input": source}[kind]
    if kind == "empty file":
        target.write_bytes(b"")
    if kind == "directory":
        target.mkdir()
    before = open(source, "rb").read()
    with pytest.raises(FileExistsError, match=f"^File {target} already exists"):
        merge_pulse_files([source], str(target))
    with pytest.raises(FileNotFoundError, match="^No such file"):  # every input opens before the target is looked at
        merge_pulse_files([source, str(tmp_path / "none.bin")], str(target))
    assert open(source, "rb").read() == before


@pytest.mark.parametrize("data_offset", [0, 47])
def test_copy_refuses_a_data_offset_inside_the_header(tmp_path, data_offset):
    path = str(build(ONE, data_offset=data_offset).write(tmp_path / "p.bin"))
    with PulseReader(path) as reader, pytest.raises(WriterRefusedError, match="^Cannot copy from a pulse file whose"):
        reader.copy_apertures_to_new_file([0], str(tmp_path / "out.bin"))
    assert os.listdir(tmp_path) == ["p.bin"]


def test_copy_refuses_its_own_source_under_any_name(tmp_path, monkeypatch):
    path = build(ONE).write(tmp_path / "p.bin")
    before = path.read_bytes()
    os.link(path, tmp_path / "hard.bin")
    os.symlink(path, tmp_path / "soft.bin")
    os.symlink(tmp_path / "soft.bin", tmp_path / "softer.bin")
    (tmp_path / "d").mkdir()
    monkeypatch.chdir(tmp_path / "d")
    names = [str(path), "../p.bin", "../d/../p.bin", str(tmp_path / "hard.bin"), "../soft.bin", "../softer.bin"]
    with PulseReader(str(path)) as reader:
        for name in names:
            with pytest.raises(WriterRefusedError, match="^Refusing to copy apertures onto the source file itself: "):
                reader.copy_apertures_to_new_file([0], name)
        assert path.read_bytes() == before
        reader.copy_apertures_to_new_file([0], "../elsewhere.bin")
    assert struct.unpack_from("<Q", (tmp_path / "elsewhere.bin").read_bytes(), 8) == (1,)


TOUCHING = [Aperture(0, [(0, 5, 1, 1, 1, 1, 1, 1), (0, 5, 1, 1, 1, 1, 1, 1)])]
DENIED = pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")


@pytest.mark.parametrize(
    "call, name, os_error, number, file, message, note",
    [
        (
            lambda t: PulseReader(t / "none.bin"),
            "PulseFileNotFoundError",
            FileNotFoundError,
            errno.ENOENT,
            "{t}/none.bin",
            "No such file or directory (os error 2)",
            "in the file '{t}/none.bin'",
        ),
        (
            lambda t: PulseReader(t),
            "PulseFileIsADirectoryError",
            IsADirectoryError,
            errno.EISDIR,
            "{t}",
            "Is a directory (os error 21)",
            "in the file '{t}'",
        ),
        pytest.param(
            lambda t: (t / "p.bin").chmod(0) or PulseReader(t / "p.bin"),
            "PulseFilePermissionError",
            PermissionError,
            errno.EACCES,
            "{t}/p.bin",
            "Permission denied (os error 13)",
            "",
            marks=DENIED,
        ),
        (
            lambda t: (t / "p.bin").write_bytes(b"plain text, " * 9) and PulseReader(t / "p.bin"),
            "InvalidFileError",
            None,
            0,
            "",
            "Pulse file header is invalid!",
            "(108 bytes long): not a pulse file: it starts with b'plai', not b'KVtP'",
        ),
        (
            lambda t: (t / "p.bin").write_bytes(build(ONE).data[:-20]) and PulseReader(t / "p.bin"),
            "TruncatedFileError",
            None,
            0,
            "",
            "failed to fill whole buffer",
            "20 bytes past the end of the file; `kvt-pulses recover` can salvage",
        ),
        (
            lambda t: PulseReader(t / "p.bin").get_all_records(3),
            "MissingApertureError",
            None,
            0,
            "",
            "Failed to get records: This file does not contain the provided aperture index: 3",
            "in aperture 3 of the file",
        ),
        (
            lambda t: PulseReader(build(TOUCHING).write(t / "p.bin")).read_pulses(
                pulse_filter_kwargs={}, errors="raise"
            ),
            "UnsortedPulsesError",
            None,
            0,
            "",
            "Failed to get pulses: aperture 0: The provided pulses aren't sorted!",
            "",
        ),
        (
            lambda t: PulseReader(t / "p.bin").copy_apertures_to_new_file([0], t / "none/c.bin"),
            "PulseFileNotFoundError",
            FileNotFoundError,
            errno.ENOENT,
            "{t}/none/c.bin",
            "No such file or directory (os error 2)",
            "'{t}/none/c.bin'",
        ),
        (
            lambda t: merge_pulse_files([t / "p.bin"], "/sys/kvt.bin"),
            "PulseFilePermissionError",
            PermissionError,
            errno.EACCES,
            "/sys/kvt.bin",
            "Permission denied (os error 13)",
            "in the file '/sys/kvt.bin'",
        ),
        (
            lambda t: merge_pulse_files([t / "p.bin"], t / "p.bin"),
            "PulseFileExistsError",
            FileExistsError,
            errno.EEXIST,
            "{t}/p.bin",
            "File {t}/p.bin already exists",
            "",
        ),
        (
            lambda t: PulseReader(t / "p.bin").copy_apertures_to_new_file([0], t / "p.bin"),
            "WriterRefusedError",
            None,
            0,
            "",
            "Refusing to copy apertures onto the source file itself: {t}/p.bin",
            "in the file '{t}/p.bin'",
        ),
    ],
)
def test_failures_have_a_class_a_file_and_an_exact_message(tmp_path, call, name, os_error, number, file, message, note):
    build(ONE).write(tmp_path / "p.bin")
    with pytest.raises(getattr(kvt, name)) as caught:
        call(tmp_path)
    error = caught.value
    assert type(error).__name__ == name and isinstance(error, kvt.PulseFileError) and name in kvt.__all__
    assert str(error) == message.format(t=tmp_path) and isinstance(error, RuntimeError)
    if os_error:
        assert isinstance(error, os_error) and (error.errno, error.filename) == (number, file.format(t=tmp_path))
        assert error.strerror == os.strerror(number)
    assert note.format(t=tmp_path) in "".join(getattr(error, "__notes__", [""]))
    assert os.listdir(tmp_path) == ["p.bin"]
