"""Builds pulse files (pulses.bin) byte by byte for the tests.

Everything is data: a :class:`PulseFile` holds a :class:`Header` whose fields
all default to the values a well-formed file needs, eight
:class:`EncodingRecord` s, the metadata (a dict serialised with ``json.dumps``,
or raw bytes), optional padding, and a list of :class:`Aperture` s, each with
its records.  ``build()`` returns the bytes, ``write(path)`` writes them and
returns a :class:`BuiltPulseFile` that also tells where every block landed.

Default layout::

    0                  file header (48 bytes)
    48                 encoding records (8 x 4 bytes)
    80                 metadata
    80 + len(meta)     zero padding up to data_offset (rounded up to 16)
    data_offset        aperture blocks, back to back, in list order
    index_offset       b"$INDX$\\r\\n" + one 12-byte entry per aperture

Any header field can be overridden (the override is written into the header
only; the layout does not move), index entries can be replaced, extended or
given zero offsets, bytes can be inserted before the index or appended after
it, and the result can be truncated: enough to make every kind of corrupt
file.

Record words may be given signed (-1) or unsigned (0xFFFF); each word is
stored as its low 16 bits.  A large aperture can take its records as a NumPy
array of shape (n, 8) instead of a list, which is converted in one step.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

HEADER_SIZE = 48
ENCODING_RECORD_SIZE = 4
APERTURE_HEADER_SIZE = 16
RECORD_SIZE = 16
INDEX_ENTRY_SIZE = 12

MAGIC = b"KVtP"
INDEX_MAGIC = b"$INDX$\r\n"

# Marker values of word 6.
LONG_PULSE_UPDATE_MARK = 0xFFFD
LONG_PULSE_DROPPED_MARK = 0xFFFE
STEP_UP_MARK = 0xFFFB
STEP_DOWN_MARK = 0xFFFA

# Reserved stored values of a scaled word.
POS_INF_WORD = 0x7FFF
NAN_WORD = 0x8000
NEG_INF_WORD = 0x8001


def default_metadata() -> Dict[str, Any]:
    """A fresh copy of the metadata of a small, plausible run (2 x 3 sensor)."""
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


def u16(value: int) -> int:
    """A word given signed or unsigned, as the unsigned 16-bit value stored."""
    return int(value) & 0xFFFF


def round_up(value: int, multiple: int = 16) -> int:
    return -(-value // multiple) * multiple


# --------------------------------------------------------------------------
# Records
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class Record:
    """One 16-byte event record: eight little-endian u16 words."""

    words: Tuple[int, ...]

    def __post_init__(self) -> None:
        if len(self.words) != 8:
            raise ValueError(f"a record has 8 words, got {len(self.words)}")
        object.__setattr__(self, "words", tuple(u16(w) for w in self.words))

    def to_bytes(self) -> bytes:
        return struct.pack("<8H", *self.words)


def raw(*words: int) -> Record:
    """A record from up to eight words; missing trailing words are 0."""
    if len(words) > 8:
        raise ValueError("at most 8 words")
    return Record(tuple(words) + (0,) * (8 - len(words)))


def pulse(ipd: int, dur: int, w2: int = 0, w3: int = 0, w4: int = 0,
          w5: int = 0, w6: int = 0, w7: int = 0) -> Record:
    """A pulse record (``dur`` must be non-zero for it to decode as a pulse)."""
    return Record((ipd, dur, w2, w3, w4, w5, w6, w7))


def background(ipd: int, w4: int = 0, w5: int = 0, w6: int = 0,
               w7: int = 0) -> Record:
    """A background record: words 1 to 3 are zero."""
    return Record((ipd, 0, 0, 0, w4, w5, w6, w7))


def padding(w2: int = 0, w3: int = 0, w4: int = 0, w5: int = 0, w6: int = 0,
            w7: int = 0) -> Record:
    """A padding record: word 0 is 0xFFFF, word 1 zero."""
    return Record((0xFFFF, 0, w2, w3, w4, w5, w6, w7))


def _marked(ipd: int, mark: int, value: int, w2: int, w3: int,
            w7: int) -> Record:
    value = int(value) & 0xFFFFFFFF
    return Record((ipd, 0, w2, w3, value & 0xFFFF, value >> 16, mark, w7))


def long_pulse_update(ipd: int, duration: int, w2: int = 0, w3: int = 0,
                      w7: int = 0) -> Record:
    """A long-pulse update carrying the 32-bit ``duration`` in words 4-5."""
    return _marked(ipd, LONG_PULSE_UPDATE_MARK, duration, w2, w3, w7)


def long_pulse_dropped(ipd: int, duration: int, w2: int = 0, w3: int = 0,
                       w7: int = 0) -> Record:
    """A dropped long pulse carrying the 32-bit ``duration`` in words 4-5."""
    return _marked(ipd, LONG_PULSE_DROPPED_MARK, duration, w2, w3, w7)


def step_up(ipd: int, event_f: int, w2: int = 0, w3: int = 0,
            w7: int = 0) -> Record:
    """A step-up record carrying the 32-bit ``event_f`` in words 4-5."""
    return _marked(ipd, STEP_UP_MARK, event_f, w2, w3, w7)


def step_down(ipd: int, event_f: int, w2: int = 0, w3: int = 0,
              w7: int = 0) -> Record:
    """A step-down record carrying the 32-bit ``event_f`` in words 4-5."""
    return _marked(ipd, STEP_DOWN_MARK, event_f, w2, w3, w7)


def record_words(records: Any) -> List[Tuple[int, ...]]:
    """The records of an aperture as a list of 8-tuples of unsigned words."""
    if hasattr(records, "tobytes"):  # a NumPy array of shape (n, 8)
        return [tuple(u16(w) for w in row) for row in records.tolist()]
    return [r.words for r in records]


# --------------------------------------------------------------------------
# File structures
# --------------------------------------------------------------------------


@dataclass
class EncodingRecord:
    """Says how word k of every record is scaled: s / 2**(exp & 15) + offset."""

    code: int = 0
    scale_exponent: int = 0
    offset: int = 0

    def to_bytes(self) -> bytes:
        return struct.pack("<BBH", self.code & 0xFF, self.scale_exponent & 0xFF,
                           self.offset & 0xFFFF)


def default_encodings() -> List[EncodingRecord]:
    """Eight identity encodings (no scaling, no offset)."""
    return [EncodingRecord(code=k) for k in range(8)]


@dataclass
class Header:
    """The 48-byte file header.  ``None`` means: the value the layout implies.

    ``magic`` may be given as 4 bytes or as a little-endian u32.
    """

    magic: Union[bytes, int] = MAGIC
    reserved1: int = 0
    num_apertures: Optional[int] = None
    metadata_length: Optional[int] = None
    encoding_record_type: int = 1
    encoding_record_size: int = 4
    num_encoding_records: Optional[int] = None
    reserved2: int = 0
    record_size: int = 16
    data_offset: Optional[int] = None
    index_offset: Optional[int] = None

    def to_bytes(self, *, num_apertures: int, metadata_length: int,
                 num_encoding_records: int, data_offset: int,
                 index_offset: int) -> bytes:
        magic = self.magic
        if isinstance(magic, int):
            magic = struct.pack("<I", magic & 0xFFFFFFFF)
        if len(magic) != 4:
            raise ValueError("magic must be 4 bytes")

        def pick(value: Optional[int], default: int) -> int:
            return default if value is None else value

        return magic + struct.pack(
            "<IQIBBHIIQQ",
            self.reserved1,
            pick(self.num_apertures, num_apertures),
            pick(self.metadata_length, metadata_length),
            self.encoding_record_type,
            self.encoding_record_size,
            pick(self.num_encoding_records, num_encoding_records),
            self.reserved2,
            self.record_size,
            pick(self.data_offset, data_offset),
            pick(self.index_offset, index_offset),
        )


@dataclass
class Aperture:
    """One aperture block and, by default, its index entry.

    ``block_aperture_index`` and ``num_records`` override what is written in
    the block's header (default: ``index`` and the number of records given),
    e.g. to make a block claim more records than the file holds.
    ``in_index=False`` writes the block but no index entry for it.
    """

    index: int
    x: int = 0
    y: int = 0
    records: Any = field(default_factory=list)
    block_aperture_index: Optional[int] = None
    num_records: Optional[int] = None
    in_index: bool = True

    def record_bytes(self) -> bytes:
        if hasattr(self.records, "tobytes"):
            import numpy as np

            arr = np.asarray(self.records)
            if arr.ndim != 2 or arr.shape[1] != 8:
                raise ValueError("a record array has shape (n, 8)")
            if arr.dtype == np.uint16:
                return arr.astype("<u2", copy=False).tobytes()
            return (arr.astype(np.int64) & 0xFFFF).astype("<u2").tobytes()
        return b"".join(r.to_bytes() for r in self.records)

    def count(self) -> int:
        return len(self.records)

    def header_bytes(self) -> bytes:
        return struct.pack(
            "<IIII", self.x & 0xFFFFFFFF, self.y & 0xFFFFFFFF,
            (self.index if self.block_aperture_index is None
             else self.block_aperture_index) & 0xFFFFFFFF,
            (self.count() if self.num_records is None
             else self.num_records) & 0xFFFFFFFF)


@dataclass
class IndexEntry:
    """An index entry.  ``byte_offset=None``: the block of aperture
    ``aperture_index`` in this file (its first block of that number)."""

    aperture_index: int
    byte_offset: Optional[int] = None


@dataclass
class BuiltPulseFile:
    """The bytes of a built file and where its parts are."""

    data: bytes
    block_offsets: List[int]          # one per aperture, in list order
    apertures: List[Aperture]
    data_offset: int                  # where the blocks actually start
    index_offset: int                 # where the index magic actually is
    metadata: bytes
    path: Optional[Path] = None

    def offset_of(self, aperture_index: int) -> int:
        """The position of the (first) block of that aperture number."""
        for ap, off in zip(self.apertures, self.block_offsets):
            if ap.index == aperture_index:
                return off
        raise KeyError(aperture_index)


@dataclass
class PulseFile:
    """A whole pulse file.  See the module docstring for the layout."""

    header: Header = field(default_factory=Header)
    encodings: List[EncodingRecord] = field(default_factory=default_encodings)
    metadata: Union[Dict[str, Any], bytes, str, list, None] = field(
        default_factory=default_metadata)
    # Bytes between the metadata and the first block.  None: zero bytes up to
    # the next multiple of 16.
    padding: Optional[bytes] = None
    apertures: List[Aperture] = field(default_factory=list)
    # None: one entry per aperture with in_index set, sorted by number.
    index_entries: Optional[List[IndexEntry]] = None
    extra_index_entries: List[IndexEntry] = field(default_factory=list)
    sort_index: bool = True
    index_magic: bytes = INDEX_MAGIC
    # Bytes between the last block and the index, and after the index.
    gap_before_index: bytes = b""
    trailing: bytes = b""
    # Cut the file to this many bytes (None: keep it whole).
    truncate: Optional[int] = None

    def metadata_bytes(self) -> bytes:
        meta = self.metadata
        if meta is None:
            return b""
        if isinstance(meta, bytes):
            return meta
        if isinstance(meta, str):
            return meta.encode("utf-8")
        return json.dumps(meta).encode("utf-8")

    def render(self) -> BuiltPulseFile:
        meta = self.metadata_bytes()
        encodings = b"".join(e.to_bytes() for e in self.encodings)
        prefix_len = HEADER_SIZE + len(encodings) + len(meta)
        pad = (b"\0" * (round_up(prefix_len) - prefix_len)
               if self.padding is None else self.padding)
        data_offset = prefix_len + len(pad)

        blocks = []
        offsets = []
        pos = data_offset
        for ap in self.apertures:
            block = ap.header_bytes() + ap.record_bytes()
            offsets.append(pos)
            blocks.append(block)
            pos += len(block)
        index_offset = pos + len(self.gap_before_index)

        entries = self._index_entries(offsets)
        index = self.index_magic + b"".join(
            struct.pack("<IQ", n & 0xFFFFFFFF, off & 0xFFFFFFFFFFFFFFFF)
            for n, off in entries)

        header = self.header.to_bytes(
            num_apertures=len(entries), metadata_length=len(meta),
            num_encoding_records=len(self.encodings),
            data_offset=data_offset, index_offset=index_offset)
        data = b"".join([header, encodings, meta, pad, *blocks,
                         self.gap_before_index, index, self.trailing])
        if self.truncate is not None:
            data = data[: self.truncate]
        return BuiltPulseFile(data=data, block_offsets=offsets,
                              apertures=list(self.apertures),
                              data_offset=data_offset,
                              index_offset=index_offset, metadata=meta)

    def _index_entries(self, offsets: Sequence[int]) -> List[Tuple[int, int]]:
        def resolve(entry: IndexEntry) -> Tuple[int, int]:
            if entry.byte_offset is not None:
                return entry.aperture_index, entry.byte_offset
            for ap, off in zip(self.apertures, offsets):
                if ap.index == entry.aperture_index:
                    return entry.aperture_index, off
            raise KeyError(f"no block for aperture {entry.aperture_index}")

        if self.index_entries is not None:
            entries = [resolve(e) for e in self.index_entries]
        else:
            entries = [(ap.index, off)
                       for ap, off in zip(self.apertures, offsets)
                       if ap.in_index]
            if self.sort_index:
                entries.sort(key=lambda e: e[0])
        entries += [resolve(e) for e in self.extra_index_entries]
        return entries

    def build(self) -> bytes:
        return self.render().data

    def write(self, path: Union[str, Path]) -> BuiltPulseFile:
        built = self.render()
        path = Path(path)
        path.write_bytes(built.data)
        built.path = path
        return built
