"""Pulse files built byte by byte, sound or deliberately damaged.

    build(apertures, metadata=None, encodings=None, **changes) -> Built

`apertures` is a list of Aperture(number, records, x, y, count): `records` an
(n, 8) array or a list of 8-word rows (words may be signed), `count` the record
count written in the block header (default: the real one). Blocks lie back to
back from `data_offset` (the end of the metadata rounded up to 16, unless
`padding` gives the bytes between), then the index, sorted by number.
`changes` may set any header field by name (written as given, the layout does
not move), `index` (a list of (number, byte_offset) entries replacing the
sorted ones), `gap` (bytes between the last block and the index), `trailing`,
`index_magic` and `truncate` (cut the file to that many bytes).
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

HEADER = struct.Struct("<4sIQIBBHIIQQ")
FIELDS = (
    "magic",
    "reserved1",
    "num_apertures",
    "metadata_length",
    "encoding_record_type",
    "encoding_record_size",
    "num_encoding_records",
    "reserved2",
    "record_size",
    "data_offset",
    "index_offset",
)
INDEX_MAGIC = b"$INDX$\r\n"


def default_metadata() -> dict:
    """A small plausible run: 100 fps, 60 s, a 2 x 3 sensor."""
    return {
        "fps": 100,
        "duration": 60,
        "rows": 2,
        "cols": 3,
        "validWells": 6,
        "validWellsLeft": 3,
        "validWellsRight": 3,
        "roi_offset_col": 0,
        "roi_cols": 3,
        "roi_rows": 2,
        "pulseCaller": {"options": []},
    }


class Aperture(NamedTuple):
    number: int
    records: Any = ()
    x: int = 0
    y: int = 0
    count: int | None = None


def words(records: Any) -> np.ndarray:
    """Records as an (n, 8) array of unsigned 16-bit words."""
    rows = np.asarray(records, dtype=np.int64).reshape(-1, 8)
    return (rows & 0xFFFF).astype("<u2")


@dataclass
class Built:
    data: bytes
    offsets: list[int]  # block positions, in the order the apertures were given
    data_offset: int
    index_offset: int

    def write(self, path: Path) -> Path:
        Path(path).write_bytes(self.data)
        return Path(path)


def build(apertures=(), metadata=None, encodings=None, **changes) -> Built:
    meta = default_metadata() if metadata is None else metadata
    meta = meta if isinstance(meta, bytes) else json.dumps(meta).encode()
    enc = b"".join(
        struct.pack("<BBH", c & 0xFF, e & 0xFF, o & 0xFFFF) for c, e, o in (encodings or [(k, 0, 0) for k in range(8)])
    )
    end = HEADER.size + len(enc) + len(meta)
    padding = changes.pop("padding", bytes(-end % 16))
    data_offset = end + len(padding)
    blocks, offsets, entries = [], [], []
    for ap in apertures:
        rec = words(ap.records)
        count = len(rec) if ap.count is None else ap.count
        offsets.append(data_offset + sum(map(len, blocks)))
        entries.append((ap.number, offsets[-1]))
        blocks.append(struct.pack("<4I", ap.x, ap.y, ap.number & 0xFFFFFFFF, count) + rec.tobytes())
    gap = changes.pop("gap", b"")
    index_offset = data_offset + sum(map(len, blocks)) + len(gap)
    entries = changes.pop("index", sorted(entries, key=lambda e: e[0]))
    index = changes.pop("index_magic", INDEX_MAGIC) + b"".join(
        struct.pack("<IQ", n & 0xFFFFFFFF, o) for n, o in entries
    )
    trailing, truncate = changes.pop("trailing", b""), changes.pop("truncate", None)
    header = dict(
        zip(FIELDS, (b"KVtP", 0, len(entries), len(meta), 1, 4, len(enc) // 4, 0, 16, data_offset, index_offset))
    )
    unknown = set(changes) - set(FIELDS)
    if unknown:
        raise TypeError(f"unknown changes: {unknown}")
    header.update(changes)
    data = b"".join([HEADER.pack(*header.values()), enc, meta, padding, *blocks, gap, index, trailing])
    return Built(data[:truncate], offsets, data_offset, index_offset)
