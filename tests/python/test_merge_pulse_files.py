"""merge_pulse_files: the merged file byte by byte (header, encoding records,
compact metadata, zero padding up to a data_offset rounded up to 16, every
input's blocks renumbered along the row axis, the index), the inputs it
refuses and when, its arguments, and what a failed, stopped or killed merge
leaves on disk: never a file at the destination."""

import errno
import json
import math
import os
import signal
import stat
import struct

import numpy as np
import pytest

from kvt_pulse_reader import PulseReader, merge_pulse_files
from pulse_file_builder import (Aperture, EncodingRecord, Header, IndexEntry,
                                PulseFile)
from writer_support import (U32, access_mode_of, age_folder, block_at,
                            child_outcome, compact_json, descriptors_on,
                            distinct_records, expected_merge, folder_untouched,
                            header_of, index_of, layout_metadata,
                            merged_metadata, names_in, round_up_16, run_child,
                            start_child, stop_while_writing)

LAYOUT_KEYS = ["validWells", "validWellsLeft", "validWellsRight", "rows",
               "roi_offset_col", "roi_cols", "cols"]


def exists_message(path):
    return f"File {path} already exists"


@pytest.fixture
def out(tmp_path):
    """The destination's folder, apart from the inputs."""
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


def merge(inputs, destination):
    return merge_pulse_files([str(b.path) for b in inputs], str(destination))


def snapshot(inputs):
    """What must not change in the inputs: their bytes and times."""
    return [(b.path.read_bytes(), os.stat(b.path).st_mtime_ns)
            for b in inputs]


def meta_with(meta, key, raw):
    """Metadata text: ``meta`` with ``key`` removed (``raw`` None) or set to
    the JSON text ``raw``."""
    rest = {k: v for k, v in meta.items() if k != key}
    text = json.dumps(rest)
    if raw is None:
        return text
    return text[:-1] + f', "{key}": {raw}}}'


@pytest.fixture
def two_inputs(make_file):
    """Two inputs of 2 rows x 3 cols with different header fields, encoding
    records, padding and metadata, so that what must come from the first
    shows.  ROI: columns 2 to 6 and 0 to 3."""
    first = make_file(PulseFile(
        header=Header(reserved1=11, reserved2=22),
        encodings=[EncodingRecord(code=k + 1, scale_exponent=3, offset=40)
                   for k in range(8)],
        metadata=layout_metadata(2, 3, roi_offset_col=2, roi_cols=4, wells=6,
                                 name="A", list=[1, 2.5]),
        apertures=[
            Aperture(0, x=0, y=0, records=distinct_records(100, 2)),
            Aperture(2, x=2, y=0, records=[]),
            Aperture(4, x=1, y=1, records=distinct_records(104, 3)),
            Aperture(5, x=2, y=1, records=distinct_records(105, 1)),
        ]), name="in/first.bin")
    second = make_file(PulseFile(
        header=Header(reserved1=99, reserved2=98),
        encodings=[EncodingRecord(9, 9, 9)] * 8,
        metadata=layout_metadata(2, 3, roi_offset_col=0, roi_cols=3, wells=5,
                                 name="B"),
        padding=b"\x01" * 7,
        apertures=[
            Aperture(1, x=1, y=0, records=distinct_records(201, 4)),
            Aperture(4, x=1, y=1, records=distinct_records(204, 2)),
        ]), name="in/second.bin")
    return first, second


# --------------------------------------------------------------------------
# The merged file
# --------------------------------------------------------------------------


def test_two_inputs_stacked_along_rows(two_inputs, out):
    first, second = two_inputs
    before = snapshot(two_inputs)
    output = out / "merged.bin"
    assert merge(two_inputs, output) is None

    data = output.read_bytes()
    assert data == expected_merge(two_inputs)

    # The example spelled out: the second input's aperture 4 (row 1)
    # becomes aperture 10 in row 3; rows add up, cols stay.
    meta = json.loads(data[80:80 + header_of(data)["metadata_length"]])
    assert meta["rows"] == meta["roi_rows"] == 4
    assert meta["cols"] == 3
    assert (meta["roi_offset_col"], meta["roi_cols"]) == (0, 6)
    assert (meta["validWells"], meta["validWellsLeft"],
            meta["validWellsRight"]) == (11, 13, 15)
    assert meta["name"] == "A" and meta["list"] == [1, 2.5]

    header = header_of(data)
    assert (header["magic"], header["reserved1"], header["reserved2"]) == \
        (b"KVtP", 11, 22)
    assert header["num_apertures"] == 6
    assert header["data_offset"] % 16 == 0
    assert data[48:80] == first.data[48:80]
    entries = index_of(data)
    assert [n for n, _ in entries] == [0, 2, 4, 5, 7, 10]
    offsets = [off for _, off in entries]
    assert offsets[0] == header["data_offset"]
    for a, b in zip(offsets, offsets[1:]):
        assert b == a + len(block_at(data, a))
    assert offsets[-1] + len(block_at(data, offsets[-1])) == \
        header["index_offset"]
    assert struct.unpack_from("<IIII", data, offsets[-1]) == (1, 3, 10, 2)
    assert struct.unpack_from("<IIII", data, offsets[4]) == (1, 2, 7, 4)

    # Read back.
    merged = PulseReader(str(output))
    assert merged.apertures == [0, 2, 4, 5, 7, 10]
    assert merged.metadata == meta
    for source, number, new_number, row in [(first, 4, 4, 1),
                                            (first, 2, 2, 0),
                                            (second, 4, 10, 3),
                                            (second, 1, 7, 2)]:
        old = PulseReader(str(source.path)).get_all_records(number)
        new = merged.get_all_records(new_number)
        if source is first:
            assert new.equals(old)
        else:
            # Decoded with the first input's encoding records: only the
            # words that are not scaled read the same.
            columns = ["record_type", "ipd_f", "dur_f"]
            assert new[columns].equals(old[columns])
        assert new.attrs["aperture_index"] == new_number
        assert new.attrs["aperture_y"] == row
        assert new.attrs["aperture_x"] == old.attrs["aperture_x"]
    # The inputs were only read.
    assert snapshot(two_inputs) == before
    assert names_in(out) == ["merged.bin"]


def test_single_input(make_file, out):
    meta = layout_metadata(2, 3, roi_offset_col=1, roi_cols=2, wells=4)
    meta["roi_rows"] = 7                   # recomputed: the rows
    built = make_file(PulseFile(metadata=meta, apertures=[
        Aperture(n, x=n % 3, y=n // 3, records=distinct_records(n, n))
        for n in (0, 1, 3, 5)]))
    output = out / "merged.bin"
    merge([built], output)
    data = output.read_bytes()
    assert data == expected_merge([built])

    header = header_of(data)
    new_meta = json.loads(data[80:80 + header["metadata_length"]])
    assert new_meta == dict(meta, roi_rows=2)
    # Compact: shorter than the input's json.dumps text, so data_offset moves.
    assert header["metadata_length"] < len(built.metadata)
    assert header["data_offset"] == round_up_16(
        built.data_offset + header["metadata_length"] - len(built.metadata))
    assert header["data_offset"] < built.data_offset
    # Same blocks, same headers, same index numbers.
    assert data[header["data_offset"]:header["index_offset"]] == \
        built.data[built.data_offset:built.index_offset]
    assert [n for n, _ in index_of(data)] == [0, 1, 3, 5]
    merged, source = PulseReader(str(output)), PulseReader(str(built.path))
    for n in (0, 1, 3, 5):
        assert merged.get_all_records(n).equals(source.get_all_records(n))


def test_data_offset_rounding_example(make_file, out):
    # Input: metadata of 1000 bytes, data_offset 1088 (1080 rounded up).
    # Merged: "roi_rows" is added (+13 bytes) and 3 spaces go (-3): 1010
    # bytes, so data_offset 1088 + 10 = 1098 rounds up to 1104, and the 14
    # bytes from 1090 (48 + 32 + 1010) to 1104 are zeros.
    meta = layout_metadata(2, 3)
    del meta["roi_rows"]
    meta["filler"] = ""
    text = compact_json(meta).decode()
    text = text.replace('"cols":', '"cols": ').replace(
        '"fps":', '"fps": ').replace('"rows":', '"rows": ')
    meta["filler"] = "f" * (1000 - len(text))
    text = compact_json(meta).decode().replace('"cols":', '"cols": ').replace(
        '"fps":', '"fps": ').replace('"rows":', '"rows": ')
    assert len(text) == 1000
    built = make_file(PulseFile(metadata=text, apertures=[
        Aperture(0, records=distinct_records(0, 2))]))
    assert built.data_offset == 1088
    merged_text = merged_metadata([built.metadata])
    assert len(merged_text) == 1010

    output = out / "merged.bin"
    merge([built], output)
    data = output.read_bytes()
    header = header_of(data)
    assert header["metadata_length"] == 1010
    assert header["data_offset"] == 1104
    assert data[80:1090] == merged_text
    assert data[1090:1104] == bytes(14)
    assert index_of(data) == [(0, 1104)]
    assert data == expected_merge([built])


@pytest.mark.parametrize("padding", [b"", b"\xCD" * 37, b"\xEE" * 300,
                                     b"\x01"],
                         ids=["none", "37 bytes", "300 bytes", "1 byte"])
@pytest.mark.parametrize("metadata_change", ["shrinks", "grows"])
def test_padding_before_the_blocks(make_file, out, padding, metadata_change):
    # The first input's own padding is not carried over: zeros fill the
    # space up to the new data_offset, whatever the input held there.
    meta = layout_metadata(2, 3)
    if metadata_change == "grows":
        del meta["roi_rows"]
        text = compact_json(meta)          # compact already; gains roi_rows
    else:
        text = json.dumps(meta, indent=4).encode()
    built = make_file(PulseFile(metadata=text, padding=padding, apertures=[
        Aperture(1, x=1, records=distinct_records(1, 3)),
        Aperture(4, x=1, y=1, records=distinct_records(4, 1))]))
    second = make_file(PulseFile(metadata=layout_metadata(1, 3), padding=b"\x02"
                                 * 5, apertures=[Aperture(2, x=2)]))
    output = out / "merged.bin"
    merge([built, second], output)
    data = output.read_bytes()
    assert data == expected_merge([built, second])
    header = header_of(data)
    end_of_metadata = 80 + header["metadata_length"]
    assert header["data_offset"] == round_up_16(
        built.data_offset + header["metadata_length"] - len(text))
    assert header["data_offset"] % 16 == 0
    assert data[end_of_metadata:header["data_offset"]] == \
        bytes(header["data_offset"] - end_of_metadata)
    assert PulseReader(str(output)).apertures == [1, 4, 8]


def test_metadata_written_compactly_with_sorted_keys(make_file, out):
    text = r'''{
        "zeta": {"b": 1, "a": [{"y": 1, "x": 2}, [], {}], "A": "upper"},
        "fps": 100, "duration": 60,
        "rows": 2, "cols": 3, "validWells": 6, "validWellsLeft": 3,
        "validWellsRight": 3, "roi_offset_col": 0, "roi_cols": 3,
        "Zulu": true, "alpha": null, "off": false,
        "\u00e9t\u00e9": "caf\u00e9 \ud83d\ude00 日本", "日本": "x", "~": 1,
        "esc": "q\"b\\s\/\u0001\u001f\n\t\r\b\f end",
        "floats": [2.5, 0.1, -0.5, 3.0, 1E2, 1234.5678, -0.0,
                   0.30000000000000004, 2.50],
        "ints": [-5, 0, 18446744073709551615, -9223372036854775808],
        "dup": 1, "dup": 2,
        "nested": {"dup": {"k": 1}, "dup": {"j": 2}},
        "pulseCaller": {"options": ["trim_boundary_frames"]}
    }'''
    built = make_file(PulseFile(metadata=text, apertures=[Aperture(0)]))
    output = out / "merged.bin"
    merge([built], output)
    data = output.read_bytes()
    header = header_of(data)
    written = data[80:80 + header["metadata_length"]]
    # Python's json module with sorted keys and no spaces is the reference:
    # it sorts keys by code point, which is the byte order of their UTF-8.
    assert written == merged_metadata([text.encode()])
    assert written.decode("utf-8")  # UTF-8, not \u escapes
    assert "café 😀 日本".encode() in written
    assert rb'"esc":"q\"b\\s/\u0001\u001f\n\t\r\b\f end"' in written
    assert b'"floats":[2.5,0.1,-0.5,3.0,100.0,1234.5678,-0.0,' \
           b'0.30000000000000004,2.5]' in written
    assert b'"dup":2' in written and b'"nested":{"dup":{"j":2}}' in written
    assert written.startswith(b'{"Zulu":true,"alpha":null,')
    assert written.endswith(b',"~":1,"\xc3\xa9t\xc3\xa9":"caf\xc3\xa9 '
                            b'\xf0\x9f\x98\x80 \xe6\x97\xa5\xe6\x9c\xac",'
                            b'"\xe6\x97\xa5\xe6\x9c\xac":"x"}')
    assert data == expected_merge([built], written)
    assert PulseReader(str(output)).trimmed is True


NUMBERS = [1e300, 1.5e-7, 1e16, 1e22, 5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, 123456789012345680000.0, 1e-5, 0.0001,
           9007199254740993.0, 4.35, 1e15 + 0.3, -2.5e-300, 12345678.9,
           0.1 + 0.7, 1e21, 1e-7, 100.0]


def significant_digits(token: str) -> str:
    mantissa = token.lower().lstrip("-").split("e")[0].replace(".", "")
    return mantissa.lstrip("0").rstrip("0")


def test_numbers_in_the_shortest_form_that_reads_back(make_file, out):
    meta = layout_metadata(2, 3, numbers=NUMBERS, three=3.0, zero=-0.0)
    built = make_file(PulseFile(metadata=meta, apertures=[Aperture(0)]))
    output = out / "merged.bin"
    merge([built], output)
    data = output.read_bytes()
    written = data[80:80 + header_of(data)["metadata_length"]].decode()
    assert " " not in written and "\n" not in written
    # Every number that was not an integer literal is written as one that
    # is not either (so parse_float sees it), reads back to the same double
    # and has no more significant digits than it needs.
    tokens = json.loads(written, parse_float=str)
    assert len(tokens["numbers"]) == len(NUMBERS)
    for token, value in zip(tokens["numbers"], NUMBERS):
        assert isinstance(token, str), (token, value)
        assert float(token) == value, (token, value)
        assert significant_digits(token) == significant_digits(repr(value)), \
            (token, value)
    assert isinstance(tokens["three"], str) and float(tokens["three"]) == 3.0
    assert isinstance(tokens["zero"], str)
    assert math.copysign(1.0, float(tokens["zero"])) == -1.0
    # Integers stay integers.
    assert tokens["rows"] == 2 and tokens["fps"] == 100


@pytest.mark.parametrize("rois, start, width", [
    ([(2, 4), (0, 3)], 0, 6),            # the span from column 0 to 6
    ([(0, 3), (2, 4)], 0, 6),
    ([(1, 2)], 1, 2),
    ([(5, 1), (1, 2), (3, 0)], 1, 5),    # from column 1 to 6
    ([(4, 0), (4, 0)], 4, 0),
])
def test_roi_spans_every_input(make_file, out, rois, start, width):
    inputs = [make_file(PulseFile(
        metadata=layout_metadata(2, 3, roi_offset_col=offset, roi_cols=cols),
        apertures=[Aperture(1, records=distinct_records(k, 1))]))
        for k, (offset, cols) in enumerate(rois)]
    output = out / "merged.bin"
    merge(inputs, output)
    meta = PulseReader(str(output)).metadata
    assert (meta["roi_offset_col"], meta["roi_cols"]) == (start, width)
    assert meta["roi_rows"] == meta["rows"] == 2 * len(rois)
    assert output.read_bytes() == expected_merge(inputs)


def test_a_file_named_twice_is_merged_twice(two_inputs, out):
    first, second = two_inputs
    output = out / "merged.bin"
    merge([first, second, second], output)
    data = output.read_bytes()
    assert data == expected_merge([first, second, second])
    assert [n for n, _ in index_of(data)] == [0, 2, 4, 5, 7, 10, 13, 16]
    merged = PulseReader(str(output))
    assert merged.metadata["rows"] == 6
    assert merged.get_all_records(16).attrs["aperture_y"] == 5
    assert merged.get_all_records(16).equals(
        merged.get_all_records(10))


def test_inputs_of_other_shapes_renumbered_with_their_own_cols(make_file,
                                                               out):
    # 2 x 3, then 1 x 5, then 3 x 2: offsets 0, 6, 11 and rows 0, 2, 3;
    # "cols" of the merged file stays the first input's 3.
    a = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(5, x=2, y=1, records=distinct_records(5, 1))]))
    b = make_file(PulseFile(metadata=layout_metadata(1, 5), apertures=[
        Aperture(0), Aperture(4, x=4, records=distinct_records(4, 2))]))
    c = make_file(PulseFile(metadata=layout_metadata(3, 2), apertures=[
        Aperture(5, x=1, y=2, records=distinct_records(55, 3))]))
    output = out / "merged.bin"
    merge([a, b, c], output)
    data = output.read_bytes()
    assert data == expected_merge([a, b, c])
    entries = index_of(data)
    assert [n for n, _ in entries] == [5, 6, 10, 16]
    assert struct.unpack_from("<IIII", data, entries[-1][1]) == (1, 5, 16, 3)
    meta = PulseReader(str(output)).metadata
    assert (meta["rows"], meta["cols"], meta["roi_cols"]) == (6, 3, 5)


def test_large_blocks_and_many_buffer_fills(make_file, out):
    # A block of 70,000 records (more than 1 MiB), then 400 blocks of 200
    # records: the data passes through the 1 MiB buffers several times.
    a = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0, records=distinct_records(0, 2)),
        Aperture(1, x=1, records=distinct_records(1, 70_000)),
        Aperture(5, x=2, y=1, records=distinct_records(5, 1))]))
    b = make_file(PulseFile(metadata=layout_metadata(20, 20), apertures=[
        Aperture(n, x=n % 20, y=n // 20, records=distinct_records(n, 200))
        for n in range(400)]))
    output = out / "merged.bin"
    merge([a, b], output)
    data = output.read_bytes()
    assert data == expected_merge([a, b])
    merged = PulseReader(str(output))
    assert len(merged.apertures) == 403
    assert merged.get_all_records(1).equals(
        PulseReader(str(a.path)).get_all_records(1))
    assert merged.get_all_records(6 + 399).attrs["aperture_y"] == 2 + 19


@pytest.mark.parametrize("mask", [0o022, 0o027, 0o077, 0o000], ids=oct)
def test_mode_from_the_umask(two_inputs, out, mask):
    output = out / "merged.bin"
    old = os.umask(mask)
    try:
        merge(two_inputs, output)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(output).st_mode) == 0o666 & ~mask
    assert output.read_bytes() == expected_merge(two_inputs)


def test_largest_aperture_numbers_that_fit(make_file, out):
    # The first input spans 2**32 - 6 aperture numbers; the second's six
    # become 4294967290 to 4294967295, the largest a 32-bit field holds.
    a = make_file(PulseFile(metadata=layout_metadata(1, U32 - 6), apertures=[
        Aperture(0, records=distinct_records(0, 1))]))
    b = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(n, x=n % 3, y=n // 3, records=distinct_records(n, 1))
        for n in range(6)]))
    output = out / "merged.bin"
    merge([a, b], output)
    data = output.read_bytes()
    assert data == expected_merge([a, b])
    assert [n for n, _ in index_of(data)] == [0] + list(range(U32 - 6, U32))


# --------------------------------------------------------------------------
# Inputs refused before anything is written
# --------------------------------------------------------------------------


def assert_refused(inputs, out, message=None):
    """The merge fails with a RuntimeError (``message`` if given) before it
    has created anything: not even a temporary file appeared in the
    destination's folder."""
    before = snapshot(inputs)
    age_folder(out)
    output = out / "merged.bin"
    with pytest.raises(RuntimeError) as info:
        merge(inputs, output)
    assert type(info.value) is RuntimeError
    assert isinstance(info.value, Exception)
    if message is not None:
        assert str(info.value) == message
    assert names_in(out) == []
    assert folder_untouched(out)
    assert snapshot(inputs) == before
    return str(info.value)


BAD_VALUES = [None, "-1", "2.0", "3e0", "1E2", '"6"', "null", "true", "[6]",
              '{"v": 6}', "18446744073709551616"]


@pytest.mark.parametrize("key", LAYOUT_KEYS)
@pytest.mark.parametrize("raw", BAD_VALUES)
def test_layout_key_missing_or_invalid(make_file, out, key, raw):
    good = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0, records=distinct_records(0, 2))]))
    bad = make_file(PulseFile(
        metadata=meta_with(layout_metadata(2, 3), key, raw),
        apertures=[Aperture(0, records=distinct_records(1, 2))]))
    message = f"{key} missing or invalid"
    assert_refused([good, bad], out, message)
    assert_refused([bad, good], out, message)
    assert_refused([bad], out, message)


def test_largest_unsigned_values_are_valid(make_file, out):
    meta = layout_metadata(2, 3, roi_offset_col=0, roi_cols=2 ** 64 - 1)
    meta.update(validWells=2 ** 64 - 1, validWellsLeft=0)
    built = make_file(PulseFile(metadata=meta, apertures=[Aperture(0)]))
    output = out / "merged.bin"
    merge([built], output)
    written = PulseReader(str(output)).metadata
    assert written["validWells"] == written["roi_cols"] == 2 ** 64 - 1
    assert written["validWellsLeft"] == 0


@pytest.mark.parametrize("faults, message", [
    # The six keys of every input are read first, in this order; then, input
    # by input, the index entries and "cols".
    ([{"cols": None}, {"validWells": None}], "validWells missing or invalid"),
    ([{"rows": None, "validWellsRight": None}, {}],
     "validWellsRight missing or invalid"),
    ([{"rows": "2.0"}, {"validWells": None}], "rows missing or invalid"),
    ([{"cols": None, "roi_cols": None}], "roi_cols missing or invalid"),
    ([{"roi_offset_col": "-1", "roi_cols": None}],
     "roi_offset_col missing or invalid"),
    ([{"cols": None}, {"absent": 1}], "cols missing or invalid"),
    ([{"absent": 1, "cols": None}, {}],
     "Invalid aperture index encountered: This file does not contain the "
     "provided aperture index: 1"),
    ([{}, {"absent": 1, "cols": None}],
     "Invalid aperture index encountered: This file does not contain the "
     "provided aperture index: 1"),
])
def test_first_fault_reported(make_file, out, faults, message):
    inputs = []
    for fault in faults:
        meta_text = json.dumps(layout_metadata(2, 3))
        for key, raw in fault.items():
            if key != "absent":
                meta_text = meta_with(json.loads(meta_text), key, raw)
        entries = None
        if "absent" in fault:
            entries = [IndexEntry(0), IndexEntry(fault["absent"], 0),
                       IndexEntry(4)]
        inputs.append(make_file(PulseFile(
            metadata=meta_text, index_entries=entries,
            apertures=[Aperture(0), Aperture(4, x=1, y=1)])))
    inputs.append(make_file(PulseFile(metadata=layout_metadata(2, 3),
                                      apertures=[Aperture(0)])))
    assert_refused(inputs, out, message)


@pytest.mark.parametrize("position", [0, 1])
@pytest.mark.parametrize("absent", [0, 3, 5])
def test_index_entry_that_cannot_be_resolved(make_file, out, position,
                                             absent):
    # An entry whose offset is 0 marks its aperture as absent: the index
    # lists the number, but its block cannot be found.
    numbers = [0, 3, 5]
    broken = make_file(PulseFile(
        metadata=layout_metadata(2, 3),
        apertures=[Aperture(n, records=distinct_records(n, 1))
                   for n in numbers if n != absent],
        index_entries=[IndexEntry(n, 0 if n == absent else None)
                       for n in numbers]))
    fine = make_file(PulseFile(metadata=layout_metadata(2, 3),
                               apertures=[Aperture(1)]))
    inputs = [fine, fine]
    inputs[position] = broken
    assert_refused(inputs, out,
                   "Invalid aperture index encountered: This file does not "
                   "contain the provided aperture index: " + str(absent))


@pytest.mark.parametrize("shape, numbers", [
    ((2, 3), [0, 6]),        # 6 is not below 2 x 3
    ((2, 3), [7]),
    ((1, 1), [0, 1]),
    ((0, 3), [0]),
    ((2, 0), [0]),
])
@pytest.mark.parametrize("position", [0, 1, None])
def test_aperture_numbers_beyond_rows_times_cols(make_file, out, shape,
                                                 numbers, position):
    # Renumbered, such an aperture would collide with, or come after, the
    # next input's: the merged index would not be ascending.
    bad = make_file(PulseFile(metadata=layout_metadata(*shape), apertures=[
        Aperture(n) for n in numbers]))
    fine = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0), Aperture(5)]))
    inputs = [bad] if position is None else [fine, fine]
    if position is not None:
        inputs[position] = bad
    assert_refused(inputs, out)


@pytest.mark.parametrize("first_shape", [
    (1, U32 - 5),        # the second input's aperture 5 would be 2**32
    (2, 2 ** 31),        # offset 2**32 for the second input's numbers
    (3, 2 ** 31),
    (U32, 1),            # row offset 2**32 for the second input's rows
    (U32 + 1, 1),
    (2 ** 33, 2 ** 33),
])
def test_totals_beyond_32_bit_header_fields(make_file, out, first_shape):
    a = make_file(PulseFile(metadata=layout_metadata(*first_shape),
                            apertures=[Aperture(0)]))
    b = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0), Aperture(5, x=2, y=1)]))
    assert_refused([a, b], out)


def test_no_pulse_files(tmp_path, out):
    existing = out / "exists.bin"
    existing.write_bytes(b"x")
    for names in ([], ()):
        for destination in (out / "merged.bin", existing, out):
            age_folder(out)
            with pytest.raises(RuntimeError) as info:
                merge_pulse_files(names, str(destination))
            assert type(info.value) is RuntimeError
            assert str(info.value) == "No pulse files provided"
            assert folder_untouched(out)
    assert names_in(out) == ["exists.bin"]


@pytest.mark.parametrize("kind", ["empty file", "file", "directory",
                                  "symbolic link", "first input",
                                  "second input", "hard link to an input"])
def test_existing_destination_refused(two_inputs, out, kind):
    first, second = two_inputs
    destination = out / "merged.bin"
    if kind == "empty file":
        destination.write_bytes(b"")
    elif kind == "file":
        destination.write_bytes(b"previous content")
    elif kind == "directory":
        destination.mkdir()
        (destination / "inside").write_bytes(b"x")
    elif kind == "symbolic link":
        (out / "target").write_bytes(b"target")
        os.symlink("target", destination)
    elif kind == "first input":
        destination = first.path
    elif kind == "second input":
        destination = second.path
    else:
        os.link(first.path, destination)
    listing = names_in(destination.parent)
    content = (None if destination.is_dir()
               else destination.read_bytes())
    before = snapshot(two_inputs)
    age_folder(destination.parent)

    with pytest.raises(RuntimeError) as info:
        merge(two_inputs, destination)
    assert type(info.value) is RuntimeError
    assert str(info.value) == exists_message(destination)
    assert folder_untouched(destination.parent)
    assert names_in(destination.parent) == listing
    if content is not None:
        assert destination.read_bytes() == content
    else:
        assert names_in(destination) == ["inside"]
    assert snapshot(two_inputs) == before


@pytest.mark.parametrize("broken, fragment", [
    (None, os.strerror(errno.ENOENT)),
    (PulseFile(header=Header(magic=b"KVTP")), "Pulse file header is invalid!"),
    (PulseFile(metadata={"duration": 60}),
     "Missing or invalid 'fps' field in metadata"),
    (PulseFile(index_magic=b"$INDX$\r\r", apertures=[Aperture(0)]),
     "Index magic number mismatch"),
])
def test_input_that_cannot_be_opened(two_inputs, out, make_file, broken,
                                     fragment):
    first, second = two_inputs
    path = (str(out.parent / "in" / "missing.bin") if broken is None
            else str(make_file(broken).path))
    # Every input is opened before the destination is looked at.
    existing = out / "merged.bin"
    existing.write_bytes(b"previous")
    for names in ([str(first.path), path], [path, str(second.path)]):
        for destination in (existing, out / "new.bin"):
            age_folder(out)
            with pytest.raises(RuntimeError) as info:
                merge_pulse_files(names, str(destination))
            assert type(info.value) is RuntimeError
            assert fragment in str(info.value)
            assert folder_untouched(out)
    assert existing.read_bytes() == b"previous"
    assert names_in(out) == ["merged.bin"]


# --------------------------------------------------------------------------
# Inputs found faulty while writing: still nothing at the destination
# --------------------------------------------------------------------------


def assert_failed_without_output(inputs, out, message):
    before = snapshot(inputs)
    output = out / "merged.bin"
    with pytest.raises(RuntimeError) as info:
        merge(inputs, output)
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    assert names_in(out) == []
    assert snapshot(inputs) == before


@pytest.mark.parametrize("position", [0, 1])
def test_bytes_between_the_last_block_and_the_index(two_inputs, make_file,
                                                    out, position):
    gap = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0, records=distinct_records(0, 2)),
        Aperture(3, records=distinct_records(3, 1))],
        gap_before_index=b"\0" * 16))
    inputs = list(two_inputs)
    inputs[position] = gap
    assert_failed_without_output(inputs, out, "Stream position mismatch")


def test_last_block_running_into_the_index(two_inputs, make_file, out):
    # The last block claims one record more than it holds: the data region
    # would end 16 bytes after the index offset.
    long = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0, records=distinct_records(0, 2)),
        Aperture(3, records=distinct_records(3, 1), num_records=2)]))
    assert_failed_without_output([two_inputs[0], long], out,
                                 "Stream position mismatch")


@pytest.mark.parametrize("position", [0, 1])
def test_block_running_past_the_end_of_its_file(two_inputs, make_file, out,
                                                position):
    cut = make_file(PulseFile(metadata=layout_metadata(2, 3), apertures=[
        Aperture(0, records=distinct_records(0, 2)),
        Aperture(3, records=distinct_records(3, 1), num_records=2 ** 32 - 1)]))
    inputs = list(two_inputs)
    inputs[position] = cut
    assert_failed_without_output(inputs, out, "failed to fill whole buffer")


def test_first_input_whose_data_offset_lies_inside_its_metadata(
        two_inputs, make_file, out):
    # data_offset says 64; the merged metadata alone ends far beyond it.
    early = make_file(PulseFile(header=Header(data_offset=64),
                                metadata=layout_metadata(2, 3),
                                apertures=[Aperture(0)]))
    assert_failed_without_output([early, two_inputs[1]], out,
                                 "Stream position exceeds new data offset")


# --------------------------------------------------------------------------
# Arguments
# --------------------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda names, out: merge_pulse_files(names, out),
    lambda names, out: merge_pulse_files(tuple(names), out),
    lambda names, out: merge_pulse_files(file_names=names, new_file_name=out),
    lambda names, out: merge_pulse_files(names, new_file_name=out),
    lambda names, out: merge_pulse_files(np.array(names, dtype=object), out),
])
def test_accepted_arguments(two_inputs, out, call):
    output = out / "merged.bin"
    assert call([str(b.path) for b in two_inputs], str(output)) is None
    assert output.read_bytes() == expected_merge(two_inputs)


@pytest.mark.parametrize("file_names, new_file_name, argument, exact", [
    ("pulses.bin", "m.bin", "file_names", "Can't extract `str` to `Vec`"),
    ("", "m.bin", "file_names", "Can't extract `str` to `Vec`"),
    ({"a.bin"}, "m.bin", "file_names", None),
    (iter(["a.bin"]), "m.bin", "file_names", None),
    (None, "m.bin", "file_names", None),
    (3, "m.bin", "file_names", None),
    ([b"a.bin"], "m.bin", "file_names", None),
    (["a.bin", 3], "m.bin", "file_names", None),
    ([None], "m.bin", "file_names", None),
    (["a.bin"], None, "new_file_name", None),
    (["a.bin"], b"m.bin", "new_file_name", None),
    (["a.bin"], 7, "new_file_name", None),
    # file_names is converted first.
    ("a.bin", None, "file_names", "Can't extract `str` to `Vec`"),
])
def test_refused_arguments(out, monkeypatch, file_names, new_file_name,
                           argument, exact):
    monkeypatch.chdir(out)
    with pytest.raises(TypeError) as info:
        merge_pulse_files(file_names, new_file_name)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{argument}': ")
    if exact is not None:
        assert str(info.value) == f"argument '{argument}': {exact}"
    assert names_in(out) == []


def test_path_objects_are_refused(two_inputs, out):
    first, second = two_inputs
    with pytest.raises(TypeError, match="^argument 'file_names': "):
        merge_pulse_files([first.path, second.path], str(out / "m.bin"))
    with pytest.raises(TypeError, match="^argument 'new_file_name': "):
        merge_pulse_files([str(first.path)], out / "m.bin")
    assert names_in(out) == []


@pytest.mark.parametrize("call, fragment", [
    (lambda: merge_pulse_files(), "'file_names'"),
    (lambda: merge_pulse_files(["a.bin"]), "'new_file_name'"),
    (lambda: merge_pulse_files(new_file_name="m.bin"), "'file_names'"),
    (lambda: merge_pulse_files(["a.bin"], "m.bin", 1), "merge_pulse_files()"),
    (lambda: merge_pulse_files(["a.bin"], "m.bin", overwrite=True),
     "'overwrite'"),
    (lambda: merge_pulse_files(["a.bin"], "m.bin", file_names=["a.bin"]),
     "'file_names'"),
])
def test_binding_errors(out, monkeypatch, call, fragment):
    monkeypatch.chdir(out)
    with pytest.raises(TypeError) as info:
        call()
    assert fragment in str(info.value)
    assert "merge_pulse_files()" in str(info.value)
    assert names_in(out) == []


# --------------------------------------------------------------------------
# A write that fails for real, a merge stopped or killed halfway
# --------------------------------------------------------------------------

MERGE_IN_CHILD = r'''
if args.get("limit") is not None:
    limit_file_size(args["limit"])
report(lambda: kvt.merge_pulse_files(args["inputs"], args["output"]))
'''


@pytest.fixture(scope="module")
def hundred_apertures(tmp_path_factory):
    """100 apertures of 500 records on a 10 x 10 sensor: about 800 kB."""
    folder = tmp_path_factory.mktemp("hundred")
    return PulseFile(metadata=layout_metadata(10, 10), apertures=[
        Aperture(n, x=n % 10, y=n // 10, records=distinct_records(n, 500))
        for n in range(100)]).write(folder / "in.bin")


@pytest.mark.parametrize("room", ["early", "last byte"])
def test_write_failing_on_the_file_size_limit(hundred_apertures, out, room):
    inputs = [hundred_apertures, hundred_apertures]
    expected = expected_merge(inputs)
    output = out / "merged.bin"
    args = {"inputs": [str(b.path) for b in inputs], "output": str(output),
            "limit": 256 * 1024 if room == "early" else len(expected) - 1}
    outcome = run_child(MERGE_IN_CHILD, args)
    assert outcome["type"] == "RuntimeError"
    assert os.strerror(errno.EFBIG) in outcome["message"]
    assert names_in(out) == []

    # With room for every byte, the same merge succeeds.
    args["limit"] = len(expected)
    assert run_child(MERGE_IN_CHILD, args) == {"type": None, "message": None}
    assert output.read_bytes() == expected


@pytest.fixture(scope="module")
def large_input(tmp_path_factory):
    """64 apertures of 16,384 records: 16 MiB of blocks, so that a merge of
    a few copies takes long enough to be caught writing."""
    folder = tmp_path_factory.mktemp("large")
    return PulseFile(metadata=layout_metadata(8, 8), apertures=[
        Aperture(n, x=n % 8, y=n // 8, records=distinct_records(n, 16_384))
        for n in range(64)]).write(folder / "in.bin")


@pytest.fixture
def children():
    """Child processes of a test, killed and reaped at its end whatever
    happened (a stopped child would otherwise wait for ever)."""
    started = []
    yield started
    for child in started:
        if child.poll() is None:
            child.kill()
        child.communicate()


def caught_merge(large_input, out, children):
    """Starts merges of more and more copies of ``large_input`` into
    ``out``/merged.bin until one is caught writing and stopped.  Returns
    the stopped child, what it was writing and the size of the data it is
    heading for."""
    region = large_input.index_offset - large_input.data_offset
    for copies in (2, 4, 8):
        child = start_child(MERGE_IN_CHILD, {
            "inputs": [str(large_input.path)] * copies,
            "output": str(out / "merged.bin")})
        children.append(child)
        caught = stop_while_writing(child, out, [], min_size=1 << 20)
        if caught is not None:
            return child, caught, copies * region
        # Ended before it was seen writing: try again with more to write.
        child.kill()
        child.communicate()
        for name in names_in(out):
            os.unlink(out / name)
    pytest.fail("no merge was seen writing before it ended")


def test_merge_killed_halfway_leaves_nothing_at_the_destination(
        large_input, out, children):
    before = snapshot([large_input])
    destination = out / "merged.bin"
    child, caught, final_size = caught_merge(large_input, out, children)
    assert caught.size < final_size
    assert caught.path.parent == out
    assert not destination.exists()
    # The input is held read-only; the new file is being written.
    inputs_held = descriptors_on(child.pid, large_input.path)
    assert inputs_held
    assert all(access_mode_of(child.pid, fd) == os.O_RDONLY
               for fd in inputs_held)
    writing = descriptors_on(child.pid, caught.path)
    assert writing and all(access_mode_of(child.pid, fd) != os.O_RDONLY
                           for fd in writing)

    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    assert child.returncode == -signal.SIGKILL
    assert not destination.exists()
    assert not os.path.lexists(destination)
    assert snapshot([large_input]) == before


def test_destination_created_while_merging_is_not_replaced(
        large_input, out, children):
    destination = out / "merged.bin"
    child, caught, _ = caught_merge(large_input, out, children)
    assert not destination.exists()
    # Someone else creates the destination while the merge is stopped.
    fd = os.open(destination, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    os.write(fd, b"theirs")
    os.close(fd)
    os.kill(child.pid, signal.SIGCONT)
    outcome = child_outcome(child)
    assert outcome == {"type": "RuntimeError",
                       "message": exists_message(destination)}
    assert destination.read_bytes() == b"theirs"
    assert names_in(out) == ["merged.bin"]
