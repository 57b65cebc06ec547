"""The test builder writes the layout the tests assume."""

import json
import struct

import numpy as np

import pulse_file_builder as pfb
from pulse_file_builder import Aperture, Header, IndexEntry, PulseFile


def header_fields(data):
    return (data[:4],) + struct.unpack("<IQIBBHIIQQ", data[4:48])


def test_default_layout():
    meta = {"fps": 100, "duration": 60, "x": "y" * 7}
    built = PulseFile(metadata=meta, apertures=[
        Aperture(3, x=1, y=2, records=[pfb.pulse(1, 2, -1, 0x7FFF)]),
        Aperture(1, records=[]),
    ]).render()
    data = built.data
    meta_bytes = json.dumps(meta).encode()
    data_offset = -(-(80 + len(meta_bytes)) // 16) * 16
    assert header_fields(data) == (b"KVtP", 0, 2, len(meta_bytes), 1, 4, 8, 0,
                                   16, data_offset, data_offset + 32 + 16)
    assert data[48:80] == b"".join(struct.pack("<BBH", k, 0, 0)
                                   for k in range(8))
    assert data[80:80 + len(meta_bytes)] == meta_bytes
    assert set(data[80 + len(meta_bytes):data_offset]) <= {0}
    assert built.block_offsets == [data_offset, data_offset + 32]
    assert built.offset_of(1) == data_offset + 32
    assert data[data_offset:data_offset + 32] == (
        struct.pack("<4I", 1, 2, 3, 1) + struct.pack("<8H", 1, 2, 0xFFFF,
                                                    0x7FFF, 0, 0, 0, 0))
    # Index sorted by number, last in the file.
    assert data[built.index_offset:] == (
        b"$INDX$\r\n" + struct.pack("<IQ", 1, data_offset + 32)
        + struct.pack("<IQ", 3, data_offset))


def test_overrides_and_corruptions():
    records = np.array([[5, 0, 0, 0, 1, 2, -6, 3]] * 3)
    pf = PulseFile(
        header=Header(magic=b"XXXX", record_size=8, index_offset=7,
                      num_apertures=9),
        metadata=b"\xff\xfe", padding=b"\x01\x02",
        apertures=[Aperture(0, records=records, num_records=100,
                            block_aperture_index=42)],
        extra_index_entries=[IndexEntry(8, 0)],
        gap_before_index=b"gap", trailing=b"tail")
    built = pf.render()
    fields = header_fields(built.data)
    assert fields[0] == b"XXXX" and fields[2] == 9 and fields[8] == 8
    assert fields[10] == 7 and fields[9] == built.data_offset == 84
    assert built.data[80:84] == b"\xff\xfe\x01\x02"
    block = built.data[84:84 + 16 + 48]
    assert struct.unpack("<4I", block[:16]) == (0, 0, 42, 100)
    assert struct.unpack("<8H", block[16:32]) == (5, 0, 0, 0, 1, 2, 0xFFFA, 3)
    assert built.data[built.index_offset - 3:built.index_offset] == b"gap"
    assert built.data.endswith(struct.pack("<IQ", 8, 0) + b"tail")
    assert len(PulseFile(truncate=30).build()) == 30
