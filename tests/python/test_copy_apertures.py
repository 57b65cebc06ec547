"""PulseReader.copy_apertures_to_new_file: the new file byte by byte, the
request's order, repeats and missing apertures, its arguments, and what a
failed or refused copy leaves on disk (nothing new, and a file that was at
the destination before stays as it was)."""

import errno
import os
import stat
import struct
import sys
import threading
import time

import numpy as np
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseReader
from pulse_file_builder import Aperture, EncodingRecord, Header, PulseFile
from writer_support import (age_folder, access_mode_of, block_at,
                            distinct_records, expected_copy, expected_copy_of,
                            folder_untouched, header_of, index_of, names_in,
                            run_child)

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
NOT_FOUND = "The following apertures were not found in the file: "
SOURCE_META = {"fps": 100, "duration": 60, "validWells": 99, "rows": 2,
               "cols": 3, "note": "describes the whole source"}


@pytest.fixture
def source(make_file):
    """A source whose every carried-over byte is recognisable: reserved
    fields, encoding records, metadata and 21 bytes of padding (so that
    data_offset is no multiple of 16) are all non-zero.  Its blocks are not
    in ascending order, one has no records, and one (99) has no index entry,
    so that it lies between two blocks as bytes that belong to none."""
    return make_file(PulseFile(
        header=Header(reserved1=0xA1B2C3D4, reserved2=0x01020304),
        encodings=[EncodingRecord(code=k + 1, scale_exponent=k,
                                  offset=100 * k + 7) for k in range(8)],
        metadata=SOURCE_META,
        padding=b"\xAB" * 21,
        apertures=[
            Aperture(7, x=0, y=1, records=distinct_records(7, 3)),
            Aperture(3, x=1, y=0, records=distinct_records(3, 4)),
            Aperture(99, records=distinct_records(99, 2), in_index=False),
            Aperture(20, x=2, y=1, records=distinct_records(20, 5)),
            Aperture(5, x=2, y=0, records=[]),
            Aperture(10, x=1, y=1, records=distinct_records(10, 1)),
        ]), name="source/pulses.bin")


def numbered_file(make_file, numbers, name=None):
    return make_file(PulseFile(apertures=[
        Aperture(n, x=n % 3, y=n // 3, records=distinct_records(n, 1 + n % 4))
        for n in numbers]), name=name)


def same_frames(a, b):
    return a.equals(b) and list(a.columns) == list(b.columns)


# --------------------------------------------------------------------------
# The new file
# --------------------------------------------------------------------------


@pytest.mark.parametrize("request_, copied", [
    ([20, 7, 5, 3], [3, 5, 7, 20]),     # descending, an empty block inside
    ([7, 3, 5], [3, 5, 7]),
    ([10, 10, 3, 10], [3, 10]),          # repeats are copied once
    ([5], [5]),                          # a block of 16 bytes, header only
    ([3, 5, 7, 10, 20], [3, 5, 7, 10, 20]),
])
def test_copy_layout(source, tmp_path, request_, copied):
    before = source.path.read_bytes()
    reader = PulseReader(str(source.path))
    output = tmp_path / "copy.bin"
    assert reader.copy_apertures_to_new_file(request_, str(output)) is None

    data = output.read_bytes()
    assert data == expected_copy_of(source, copied)

    # The same, field by field: the header carries the source's values
    # except the count and the index offset.
    header = header_of(data)
    source_header = header_of(before)
    sizes = [16 + 16 * len(next(a for a in source.apertures
                                if a.index == n).records) for n in copied]
    assert header["num_apertures"] == len(copied)
    assert header["data_offset"] == source_header["data_offset"] == \
        source.data_offset
    assert header["index_offset"] == source.data_offset + sum(sizes)
    for field in ("magic", "reserved1", "metadata_length",
                  "encoding_record_type", "encoding_record_size",
                  "num_encoding_records", "reserved2", "record_size"):
        assert header[field] == source_header[field], field
    # Encoding records, metadata and padding are the source's bytes.
    assert data[48:source.data_offset] == before[48:source.data_offset]
    assert data[source.data_offset - 21:source.data_offset] == b"\xAB" * 21
    # Blocks back to back in ascending order, each unchanged, and an index
    # naming each by its own number.
    offsets = [source.data_offset + sum(sizes[:k]) for k in range(len(sizes))]
    assert index_of(data) == list(zip(copied, offsets))
    for n, off in zip(copied, offsets):
        assert block_at(data, off) == block_at(before, source.offset_of(n))
        assert struct.unpack_from("<I", data, off + 8) == (n,)
    assert len(data) == header["index_offset"] + 8 + 12 * len(copied)

    # Read back: same apertures, metadata describing the source, records.
    copy = PulseReader(str(output))
    assert copy.apertures == copied
    assert copy.metadata == SOURCE_META
    for n, off in zip(copied, offsets):
        new, old = copy.get_all_records(n), reader.get_all_records(n)
        assert same_frames(new, old)
        for key in ("aperture_index", "aperture_x", "aperture_y"):
            assert new.attrs[key] == old.attrs[key]
        assert new.attrs["aperture_byteloc"] == off

    # The source was only read, through a read-only descriptor, and its
    # reader goes on reading it.
    assert source.path.read_bytes() == before
    fds = [fd for fd in map(int, os.listdir("/proc/self/fd"))
           if os.path.realpath(f"/proc/self/fd/{fd}")
           == os.path.realpath(source.path)]
    assert fds and all(access_mode_of(os.getpid(), fd) == os.O_RDONLY
                       for fd in fds)
    assert len(reader.get_all_records(20)) == 5
    assert names_in(tmp_path) == ["copy.bin", "source"]
    assert names_in(source.path.parent) == ["pulses.bin"]


def test_two_apertures_requested_with_a_repeat(make_file, tmp_path):
    built = numbered_file(make_file, [2, 5])
    output = tmp_path / "copy.bin"
    PulseReader(str(built.path)).copy_apertures_to_new_file([5, 5, 2],
                                                            str(output))
    data = output.read_bytes()
    assert data == expected_copy_of(built, [2, 5])
    assert [n for n, _ in index_of(data)] == [2, 5]
    assert PulseReader(str(output)).apertures == [2, 5]


@pytest.mark.parametrize("in_file, request_, missing, found", [
    (range(10), [1, 99], "[99]", [1]),
    ([3, 4], [1, 3, 8], "[1, 8]", [3]),
    ([3, 4], [8, 1, 1, 8], "[1, 8]", []),
    ([3, 4], [2 ** 64 - 1, 4], "[18446744073709551615]", [4]),
    # The index stores numbers in 32 bits; 2**32 + 3 is not aperture 3.
    ([3, 4], [2 ** 32 + 3], "[4294967299]", []),
    ([0, 7], [7, 6, 5, 0, 100], "[5, 6, 100]", [0, 7]),
])
def test_missing_apertures(make_file, tmp_path, in_file, request_, missing,
                           found):
    built = numbered_file(make_file, in_file, name="in/pulses.bin")
    reader = PulseReader(str(built.path))
    output = tmp_path / "copy.bin"
    previous = tmp_path / "previous.bin"
    previous.write_bytes(b"was here before")

    age_folder(tmp_path)
    for target in (output, previous):
        for call in (lambda: reader.copy_apertures_to_new_file(
                         request_, str(target)),
                     lambda: reader.copy_apertures_to_new_file(
                         request_, str(target), False)):
            with pytest.raises(RuntimeError) as info:
                call()
            assert type(info.value) is RuntimeError
            assert str(info.value) == NOT_FOUND + missing
    # Refused before anything was created, even for a moment.
    assert folder_untouched(tmp_path)
    assert previous.read_bytes() == b"was here before"
    assert names_in(tmp_path) == ["in", "previous.bin"]

    # Ignored, the apertures that are there are copied.
    reader.copy_apertures_to_new_file(request_, str(output),
                                      ignore_missing_apertures=True)
    reader.copy_apertures_to_new_file(request_, str(previous), True)
    for target in (output, previous):
        assert target.read_bytes() == expected_copy_of(built, found)
    if found:
        assert PulseReader(str(output)).apertures == found


@pytest.mark.parametrize("request_, ignore", [
    ([], False),
    ([], True),
    ((), False),
    ([1, 2, 1000], True),    # none of them in the file
])
def test_empty_copy(source, tmp_path, request_, ignore):
    output = tmp_path / "empty.bin"
    PulseReader(str(source.path)).copy_apertures_to_new_file(
        request_, str(output), ignore)
    data = output.read_bytes()
    # Header, encoding records, metadata and padding, then the bare magic.
    assert len(data) == source.data_offset + 8
    assert data == expected_copy(source.data, [], [])
    header = header_of(data)
    assert header["num_apertures"] == 0
    assert header["index_offset"] == header["data_offset"] == \
        source.data_offset
    assert data[-8:] == b"$INDX$\r\n"
    # A file without index entries is not one the reader opens.
    with pytest.raises(RuntimeError):
        PulseReader(str(output))


def test_block_larger_than_the_write_buffer(make_file, tmp_path):
    # 70,000 records: a block of 1,120,016 bytes, more than 1 MiB, between
    # two small ones and, in a second copy, alone.
    built = make_file(PulseFile(apertures=[
        Aperture(1, records=distinct_records(1, 2)),
        Aperture(2, x=1, records=distinct_records(2, 70_000)),
        Aperture(3, x=2, records=distinct_records(3, 1)),
    ]))
    reader = PulseReader(str(built.path))
    output = tmp_path / "copy.bin"
    for request_ in ([3, 2, 1], [2], [1, 2]):
        reader.copy_apertures_to_new_file(request_, str(output))
        assert output.read_bytes() == expected_copy_of(built, request_)
    copy = PulseReader(str(output))
    assert len(copy.get_all_records(2)) == 70_000
    assert same_frames(copy.get_all_records(2), reader.get_all_records(2))


@pytest.mark.parametrize("mask", [0o022, 0o027, 0o077, 0o000], ids=oct)
def test_replaces_an_existing_destination_with_mode_from_the_umask(
        source, tmp_path, mask):
    output = tmp_path / "copy.bin"
    output.write_bytes(b"an older file, longer than what replaces it" * 100)
    os.chmod(output, 0o600)
    old = os.umask(mask)
    try:
        PulseReader(str(source.path)).copy_apertures_to_new_file(
            [3], str(output))
    finally:
        os.umask(old)
    assert output.read_bytes() == expected_copy_of(source, [3])
    assert stat.S_IMODE(os.stat(output).st_mode) == 0o666 & ~mask
    assert names_in(tmp_path) == ["copy.bin", "source"]


# --------------------------------------------------------------------------
# Refusals and failures: nothing new on disk
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name, message", [
    ("none/copy.bin", os.strerror(errno.ENOENT)),
    ("folder", None),
    ("folder/", None),
    ("copy\0.bin", None),
])
def test_destination_that_cannot_be_written(source, tmp_path, name, message):
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "inside").write_bytes(b"x")
    reader = PulseReader(str(source.path))
    with pytest.raises(RuntimeError) as info:
        reader.copy_apertures_to_new_file([3], str(tmp_path) + "/" + name)
    assert type(info.value) is RuntimeError
    if message is not None:
        assert message in str(info.value)
    assert names_in(tmp_path) == ["folder", "source"]
    assert names_in(tmp_path / "folder") == ["inside"]
    assert len(reader.get_all_records(3)) == 4


@pytest.mark.parametrize("damage", [
    # Aperture 7's block claims more records than the file holds.
    {"num_records": 2 ** 32 - 1},
    {"num_records": 1000},
])
def test_source_block_running_past_the_end(make_file, tmp_path, damage):
    built = make_file(PulseFile(apertures=[
        Aperture(3, records=distinct_records(3, 4)),
        Aperture(7, records=distinct_records(7, 3), **damage),
        Aperture(9, records=distinct_records(9, 1)),
    ]), name="in/pulses.bin")
    reader = PulseReader(str(built.path))
    output = tmp_path / "copy.bin"
    output.write_bytes(b"previous")
    with pytest.raises(RuntimeError) as info:
        reader.copy_apertures_to_new_file([3, 7], str(output))
    assert str(info.value) == "failed to fill whole buffer"
    assert output.read_bytes() == b"previous"
    assert names_in(tmp_path) == ["copy.bin", "in"]
    assert names_in(built.path.parent) == ["pulses.bin"]
    # The other apertures still copy.
    reader.copy_apertures_to_new_file([9, 3], str(output))
    assert output.read_bytes() == expected_copy_of(built, [3, 9])


def test_source_whose_data_offset_lies_past_its_end(make_file, tmp_path):
    size = len(PulseFile(apertures=[Aperture(3)]).build())
    built = make_file(PulseFile(header=Header(data_offset=size + 100),
                                apertures=[Aperture(3)]), name="in/p.bin")
    output = tmp_path / "copy.bin"
    with pytest.raises(RuntimeError) as info:
        PulseReader(str(built.path)).copy_apertures_to_new_file(
            [3], str(output))
    assert str(info.value) == "failed to fill whole buffer"
    assert names_in(tmp_path) == ["in"]


@pytest.mark.parametrize("data_offset", [0, 40, 47])
def test_source_whose_data_offset_lies_inside_the_header(
        make_file, tmp_path, data_offset):
    built = make_file(PulseFile(header=Header(data_offset=data_offset),
                                apertures=[Aperture(3, records=[pfb.pulse(
                                    1, 2)])]), name="in/pulses.bin")
    before = built.path.read_bytes()
    reader = PulseReader(str(built.path))
    output = tmp_path / "copy.bin"
    for request_ in ([3], []):
        with pytest.raises(RuntimeError) as info:
            reader.copy_apertures_to_new_file(request_, str(output))
        assert type(info.value) is RuntimeError
    assert names_in(tmp_path) == ["in"]
    assert built.path.read_bytes() == before


def test_source_whose_data_offset_is_the_end_of_the_header(make_file,
                                                            tmp_path):
    # 48 is the smallest data_offset: nothing is carried over behind the
    # header, the blocks follow it at once.
    built = make_file(PulseFile(header=Header(data_offset=48),
                                apertures=[Aperture(3, records=[pfb.pulse(
                                    1, 2)]), Aperture(4)]))
    output = tmp_path / "copy.bin"
    PulseReader(str(built.path)).copy_apertures_to_new_file([4, 3],
                                                            str(output))
    data = output.read_bytes()
    assert data == expected_copy(built.data, [built.offset_of(3),
                                              built.offset_of(4)], [3, 4])
    assert index_of(data) == [(3, 48), (4, 48 + 32)]


def test_refuses_to_write_onto_its_own_source(source, tmp_path, monkeypatch):
    folder = source.path.parent
    os.link(source.path, folder / "hard-link.bin")
    os.symlink(source.path, folder / "symbolic-link.bin")
    os.symlink("symbolic-link.bin", folder / "link-to-link.bin")
    before = source.path.read_bytes()
    reader = PulseReader(str(source.path))
    monkeypatch.chdir(tmp_path)
    names = [
        str(source.path),
        str(folder) + "/./pulses.bin",
        str(folder) + "//pulses.bin",
        str(folder / ".." / folder.name / "pulses.bin"),
        "source/pulses.bin",                      # relative to the cwd
        "./source/../source/pulses.bin",
        str(folder / "hard-link.bin"),
        str(folder / "symbolic-link.bin"),
        str(folder / "link-to-link.bin"),
    ]
    for name in names:
        for request_ in ([3], [], [3, 5, 7, 10, 20]):
            with pytest.raises(RuntimeError) as info:
                reader.copy_apertures_to_new_file(request_, name)
            assert type(info.value) is RuntimeError
    assert source.path.read_bytes() == before
    assert os.path.islink(folder / "symbolic-link.bin")
    assert os.path.islink(folder / "link-to-link.bin")
    assert os.stat(folder / "hard-link.bin").st_nlink == 2
    assert names_in(folder) == ["hard-link.bin", "link-to-link.bin",
                                "pulses.bin", "symbolic-link.bin"]
    # The reader still reads its file, and copies elsewhere.
    assert len(reader.get_all_records(7)) == 3
    reader.copy_apertures_to_new_file([7], "elsewhere.bin")
    assert (tmp_path / "elsewhere.bin").read_bytes() == \
        expected_copy_of(source, [7])


def test_a_copy_of_the_source_elsewhere_is_not_the_source(source, tmp_path):
    # Same bytes, another file: an ordinary destination, replaced.
    twin = tmp_path / "twin.bin"
    twin.write_bytes(source.path.read_bytes())
    PulseReader(str(source.path)).copy_apertures_to_new_file([3], str(twin))
    assert twin.read_bytes() == expected_copy_of(source, [3])


# --------------------------------------------------------------------------
# A write that fails for real
# --------------------------------------------------------------------------

COPY_IN_CHILD = r'''
reader = kvt.PulseReader(args["source"])
limit_file_size(args["limit"])
report(lambda: reader.copy_apertures_to_new_file(args["request"],
                                                 args["output"]))
'''


@pytest.fixture(scope="module")
def hundred_apertures(tmp_path_factory):
    """100 apertures of 500 records: about 800 kB of blocks."""
    folder = tmp_path_factory.mktemp("hundred")
    built = PulseFile(apertures=[
        Aperture(n, x=n % 10, y=n // 10, records=distinct_records(n, 500))
        for n in range(100)]).write(folder / "source.bin")
    return built


@pytest.mark.parametrize("request_", [
    list(range(100)),           # one contiguous range of the source
    list(range(0, 100, 2)),     # every other block, each a range of its own
])
@pytest.mark.parametrize("room", ["early", "last byte"])
def test_write_failing_on_the_file_size_limit(hundred_apertures, tmp_path,
                                              request_, room):
    expected = expected_copy_of(hundred_apertures, request_)
    limit = 256 * 1024 if room == "early" else len(expected) - 1
    output = tmp_path / "copy.bin"
    output.write_bytes(b"the file that was here before")
    args = {"source": str(hundred_apertures.path), "output": str(output),
            "request": request_, "limit": limit}

    outcome = run_child(COPY_IN_CHILD, args)
    assert outcome["type"] == "RuntimeError"
    assert os.strerror(errno.EFBIG) in outcome["message"]
    assert output.read_bytes() == b"the file that was here before"
    assert names_in(tmp_path) == ["copy.bin"]

    # With room for every byte, the same copy succeeds.
    args["limit"] = len(expected)
    assert run_child(COPY_IN_CHILD, args) == {"type": None, "message": None}
    assert output.read_bytes() == expected


# --------------------------------------------------------------------------
# Arguments
# --------------------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda r, out: r.copy_apertures_to_new_file([10, 3], out),
    lambda r, out: r.copy_apertures_to_new_file((3, 10), out, False),
    lambda r, out: r.copy_apertures_to_new_file(
        apertures=[3, 10], file_name=out, ignore_missing_apertures=False),
    lambda r, out: r.copy_apertures_to_new_file([3, 10], file_name=out),
    lambda r, out: r.copy_apertures_to_new_file(range(3, 11, 7), out),
    lambda r, out: r.copy_apertures_to_new_file(
        np.array([10, 3], dtype=np.uint64), out),
    lambda r, out: r.copy_apertures_to_new_file(
        np.array([3, 10], dtype=np.int32), out),
    lambda r, out: r.copy_apertures_to_new_file(
        [np.uint8(3), np.int64(10)], out),
    lambda r, out: r.copy_apertures_to_new_file(
        [3, 10, 11], out, ignore_missing_apertures=np.bool_(True)),
    lambda r, out: r.copy_apertures_to_new_file([3, 10, 11], out, True),
])
def test_accepted_arguments(source, tmp_path, call):
    output = tmp_path / "copy.bin"
    reader = PulseReader(str(source.path))
    assert call(reader, str(output)) is None
    assert output.read_bytes() == expected_copy_of(source, [3, 10])


@pytest.mark.parametrize("kwargs, argument, exact", [
    ({"apertures": "35"}, "apertures", "Can't extract `str` to `Vec`"),
    ({"apertures": ""}, "apertures", "Can't extract `str` to `Vec`"),
    ({"apertures": {3, 10}}, "apertures", None),
    ({"apertures": iter([3])}, "apertures", None),
    ({"apertures": (n for n in [3])}, "apertures", None),
    ({"apertures": 3}, "apertures", None),
    ({"apertures": None}, "apertures", None),
    ({"apertures": {3: 3}}, "apertures", None),
    ({"apertures": [3, 1.0]}, "apertures", None),
    ({"apertures": [3, "10"]}, "apertures", None),
    ({"apertures": [None]}, "apertures", None),
    ({"apertures": np.array([3.0])}, "apertures", None),
    ({"apertures": np.array([[3], [10]])}, "apertures", None),
    ({"file_name": None}, "file_name", None),
    ({"file_name": b"copy.bin"}, "file_name", None),
    ({"file_name": 3}, "file_name", None),
    ({"ignore_missing_apertures": 1}, "ignore_missing_apertures", None),
    ({"ignore_missing_apertures": 0}, "ignore_missing_apertures", None),
    ({"ignore_missing_apertures": None}, "ignore_missing_apertures", None),
    ({"ignore_missing_apertures": "True"}, "ignore_missing_apertures", None),
    ({"ignore_missing_apertures": 1.0}, "ignore_missing_apertures", None),
    ({"ignore_missing_apertures": np.int64(1)}, "ignore_missing_apertures",
     None),
])
def test_refused_argument_types(source, tmp_path, kwargs, argument, exact):
    reader = PulseReader(str(source.path))
    arguments = {"apertures": [3], "file_name": str(tmp_path / "copy.bin"),
                 "ignore_missing_apertures": False}
    arguments.update(kwargs)
    age_folder(tmp_path)
    with pytest.raises(TypeError) as info:
        reader.copy_apertures_to_new_file(**arguments)
    assert type(info.value) is TypeError
    message = str(info.value)
    assert message.startswith(f"argument '{argument}': ")
    if exact is not None:
        assert message == f"argument '{argument}': {exact}"
    assert folder_untouched(tmp_path)
    assert names_in(tmp_path) == ["source"]


def test_path_objects_are_refused(source, tmp_path):
    reader = PulseReader(str(source.path))
    with pytest.raises(TypeError, match="^argument 'file_name': "):
        reader.copy_apertures_to_new_file([3], tmp_path / "copy.bin")
    assert names_in(tmp_path) == ["source"]


@pytest.mark.parametrize("apertures", [
    [-1], [3, -5], [2 ** 64], [3, 2 ** 100], np.array([3, -1]),
])
def test_aperture_numbers_out_of_range(source, tmp_path, apertures):
    reader = PulseReader(str(source.path))
    with pytest.raises(OverflowError) as info:
        reader.copy_apertures_to_new_file(apertures, str(tmp_path / "c.bin"))
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")
    assert names_in(tmp_path) == ["source"]


@pytest.mark.parametrize("call, fragment", [
    (lambda r: r.copy_apertures_to_new_file(), "'apertures'"),
    (lambda r: r.copy_apertures_to_new_file([3]), "'file_name'"),
    (lambda r: r.copy_apertures_to_new_file(file_name="x.bin"),
     "'apertures'"),
    (lambda r: r.copy_apertures_to_new_file([3], "x.bin", False, 1),
     "copy_apertures_to_new_file()"),
    (lambda r: r.copy_apertures_to_new_file([3], "x.bin", ignore=True),
     "'ignore'"),
    (lambda r: r.copy_apertures_to_new_file([3], "x.bin", apertures=[3]),
     "'apertures'"),
])
def test_binding_errors(source, tmp_path, monkeypatch, call, fragment):
    monkeypatch.chdir(tmp_path)
    reader = PulseReader(str(source.path))
    with pytest.raises(TypeError) as info:
        call(reader)
    assert fragment in str(info.value)
    assert "PulseReader.copy_apertures_to_new_file()" in str(info.value)
    assert names_in(tmp_path) == ["source"]
    assert reader.apertures == [3, 5, 7, 10, 20]


def test_arguments_are_converted_in_order(source, tmp_path):
    reader = PulseReader(str(source.path))
    with pytest.raises(TypeError, match="^argument 'apertures': "):
        reader.copy_apertures_to_new_file("3", 5, 1)
    with pytest.raises(TypeError, match="^argument 'file_name': "):
        reader.copy_apertures_to_new_file([3], 5, 1)
    with pytest.raises(TypeError, match="^argument 'ignore_missing_apertures': "):
        reader.copy_apertures_to_new_file([3], str(tmp_path / "x.bin"), 1)
    # The missing-aperture check comes after every conversion.
    with pytest.raises(TypeError, match="^argument 'file_name': "):
        reader.copy_apertures_to_new_file([1000], None)


def test_closed_reader(source, tmp_path):
    reader = PulseReader(str(source.path))
    reader.close()
    output = str(tmp_path / "copy.bin")
    for call in (lambda: reader.copy_apertures_to_new_file([], output),
                 lambda: reader.copy_apertures_to_new_file([3], output),
                 lambda: reader.copy_apertures_to_new_file([1000], output),
                 lambda: reader.copy_apertures_to_new_file([1000], output,
                                                           True)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == CLOSED
    # Arguments are converted before the closed state is looked at.
    with pytest.raises(TypeError, match="^argument 'apertures': "):
        reader.copy_apertures_to_new_file("3", output)
    with pytest.raises(OverflowError):
        reader.copy_apertures_to_new_file([-1], output)
    assert names_in(tmp_path) == ["source"]


def test_presentation():
    method = PulseReader.copy_apertures_to_new_file
    assert method.__text_signature__ == (
        "($self, apertures, file_name, ignore_missing_apertures=False)")
    doc = method.__doc__
    for fragment in ("# Arguments", "# Returns", "# Examples", "apertures",
                     "file_name", "ignore_missing_apertures",
                     "from kvt_pulse_reader import PulseReader",
                     "path/to/pulses.bin", '"new_pulses.bin"', "[0, 1]",
                     "ignore_missing_apertures=True"):
        assert fragment in doc, fragment


# --------------------------------------------------------------------------
# A copy while another thread reads through the same reader
# --------------------------------------------------------------------------


@pytest.fixture
def lock_held_until_released():
    # A thread gets the interpreter lock from another only when that one
    # lets go of it, as a read call does for its core work.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(previous)


def test_copy_during_a_read_in_another_thread_is_refused(
        make_file, tmp_path, lock_held_until_released):
    records = np.zeros((500_000, 8), dtype=np.uint16)
    records[:, 0] = 1
    built = make_file(PulseFile(apertures=[
        Aperture(0, records=[pfb.pulse(1, 2)]), Aperture(1, records=records),
    ]), name="in/pulses.bin")
    reader = PulseReader(str(built.path))
    stop = threading.Event()
    errors = []

    def read_in_a_loop():
        while not stop.is_set():
            try:
                reader.get_all_records(1)
            except RuntimeError as exc:  # our copy may hold the reader
                if str(exc) != "Already borrowed":
                    errors.append(exc)
            time.sleep(0.0002)

    worker = threading.Thread(target=read_in_a_loop)
    worker.start()
    refusal = None
    attempts = 0
    deadline = time.monotonic() + 60
    try:
        while refusal is None and time.monotonic() < deadline:
            output = tmp_path / f"copy-{attempts}.bin"
            attempts += 1
            try:
                reader.copy_apertures_to_new_file([0], str(output))
            except RuntimeError as exc:
                refusal = (str(exc), output)
            else:
                assert output.read_bytes() == expected_copy_of(built, [0])
                output.unlink()
            time.sleep(0.0002)
    finally:
        stop.set()
        worker.join()
    assert not errors
    assert refusal is not None, f"no refusal in {attempts} copies"
    assert refusal[0] == "Already borrowed"
    assert not refusal[1].exists()
    assert names_in(tmp_path) == ["in"]
    reader.copy_apertures_to_new_file([0], str(tmp_path / "after.bin"))
    assert (tmp_path / "after.bin").read_bytes() == expected_copy_of(built,
                                                                     [0])
