"""The pulse file's fixed structures, as the tools read and write them.

A pulse file ("pulses.bin") is, in this order: a 48-byte header, eight 4-byte
encoding records, the metadata (UTF-8 JSON), padding up to ``data_offset``,
one block per aperture (a 16-byte aperture header, then 16-byte event
records) and, at ``index_offset``, the index: the magic ``b"$INDX$\\r\\n"`` and
one 12-byte entry (aperture number u32, block offset u64) per aperture, in
ascending order of aperture number. Every integer is little-endian.
"""

from __future__ import annotations

import struct
from dataclasses import asdict, dataclass
from typing import Any

MAGIC = b"KVtP"
INDEX_MAGIC = b"$INDX$\r\n"
HEADER_SIZE = 48
ENCODING_RECORD_SIZE = 4
ENCODING_RECORD_COUNT = 8
METADATA_OFFSET = HEADER_SIZE + ENCODING_RECORD_SIZE * ENCODING_RECORD_COUNT
APERTURE_HEADER_SIZE = 16
RECORD_SIZE = 16
INDEX_ENTRY_SIZE = 12

_HEADER = struct.Struct("<4sIQIBBHIIQQ")

#: The record kinds in code order, as the module names them.
RECORD_KINDS = (
    "pulse",
    "padding",
    "long_pulse_update",
    "long_pulse_dropped",
    "step_up",
    "step_down",
    "background",
    "unknown",
)


@dataclass(frozen=True)
class FileHeader:
    """The 48-byte file header, field by field."""

    magic: bytes
    reserved1: int
    num_apertures: int
    metadata_length: int
    encoding_record_type: int
    encoding_record_size: int
    num_encoding_records: int
    reserved2: int
    record_size: int
    data_offset: int
    index_offset: int

    @classmethod
    def unpack(cls, data: bytes) -> FileHeader:
        return cls(*_HEADER.unpack_from(data, 0))

    def pack(self) -> bytes:
        return _HEADER.pack(*asdict(self).values())

    def as_dict(self) -> dict[str, Any]:
        fields = asdict(self)
        fields["magic"] = self.magic.decode("latin-1")
        return fields


def block_size(num_records: Any) -> Any:
    """Bytes of an aperture block: its header and its records (an int, or an array of them)."""
    return APERTURE_HEADER_SIZE + RECORD_SIZE * num_records


def index_size(num_apertures: int) -> int:
    """Bytes of the index: its magic and one entry per aperture."""
    return len(INDEX_MAGIC) + INDEX_ENTRY_SIZE * num_apertures


def index_entry_dtype() -> Any:
    """The NumPy dtype of one packed 12-byte index entry."""
    import numpy as np

    return np.dtype([("aperture", "<u4"), ("offset", "<u8")])


def aperture_header_dtype() -> Any:
    """The NumPy dtype of one 16-byte aperture header."""
    import numpy as np

    return np.dtype([("x", "<u4"), ("y", "<u4"), ("aperture", "<u4"), ("num_records", "<u4")])
