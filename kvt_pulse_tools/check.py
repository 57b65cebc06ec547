"""Structural checks of a pulse file, independent of the reader module.

:func:`check_file` reads the file's fixed parts and every block header with
NumPy and returns one line per problem: the header's fields, the metadata,
the index (its magic, order and span, entries without a block), every block
inside the file's data region, each block header against its index entry,
overlapping blocks, blocks back to back from ``data_offset`` to the index, and
the index at the file's end. With ``pulses=True`` it also runs every
aperture's pulses through the reader module's order check (a filter without
criteria), which refuses pulses that touch or overlap.

A problem found in the header or the index stops the checks that depend on
it; the others go on, so one pass names every independent fault. Only the
fixed parts, the index and the 16-byte block headers are read; records are
read only with ``pulses=True``.

A file whose index or blocks run past its end, or whose index is lost, has
most likely been cut short: :func:`check_report` then adds a hint that
``kvt-pulses recover`` can salvage its complete blocks.
"""

from __future__ import annotations

import json
import mmap
import os
from collections.abc import Callable
from typing import Any, Union

from kvt_pulse_tools._format import (
    APERTURE_HEADER_SIZE,
    HEADER_SIZE,
    INDEX_MAGIC,
    MAGIC,
    METADATA_OFFSET,
    RECORD_SIZE,
    FileHeader,
    aperture_header_dtype,
    block_size,
    index_entry_dtype,
    index_size,
)

PathArg = Union[str, "os.PathLike[str]"]
#: Problems of one kind reported one by one before the rest are counted.
MAX_LINES_PER_KIND = 10


class _Problems:
    """Problem lines, at most MAX_LINES_PER_KIND of each kind, then a count."""

    def __init__(self) -> None:
        self.lines: list[str] = []
        self._more: dict[str, int] = {}
        self._seen: dict[str, int] = {}

    def add(self, kind: str, line: str) -> None:
        count = self._seen.get(kind, 0)
        self._seen[kind] = count + 1
        if count < MAX_LINES_PER_KIND:
            self.lines.append(line)
        else:
            self._more[kind] = self._more.get(kind, 0) + 1

    @property
    def kinds(self) -> list[str]:
        """The kinds of problem found."""
        return list(self._seen)

    def result(self) -> list[str]:
        return self.lines + [f"... and {count} more problems of the kind: {kind}" for kind, count in self._more.items()]


#: Kinds of problem that a recovery can get past: the file was cut short, or
#: its index or a block count is damaged.
_RECOVERABLE = {"index", "block outside", "block end", "block header", "overlap"}


def check_report(path: PathArg, pulses: bool = False, progress: Callable[[int], None] | None = None) -> dict[str, Any]:
    """``{"file", "problems", "hint"}``: the problems of the pulse file at
    ``path``, one line each (empty when it is sound), and when the header and
    metadata are sound but the index or the blocks are not, a hint that
    points to ``kvt-pulses recover`` (else None). ``progress``, when given,
    is called with a number of apertures as they are checked (with
    ``pulses=True``)."""
    problems = _Problems()
    _find_problems(path, pulses, progress, problems)
    kinds = set(problems.kinds)
    hint = None
    if kinds & _RECOVERABLE and not kinds & {"header", "metadata"}:
        hint = (
            f"the file looks cut short or damaged: `kvt-pulses recover {os.fspath(path)} -o NEW_FILE` "
            "can salvage its sound blocks into a new file"
        )
    return {"file": os.fspath(path), "problems": problems.result(), "hint": hint}


def check_file(path: PathArg, pulses: bool = False, progress: Callable[[int], None] | None = None) -> list[str]:
    """The lines of :func:`check_report`: its problems, then its hint if any."""
    report = check_report(path, pulses, progress)
    problems: list[str] = report["problems"]
    return problems + ([report["hint"]] if report["hint"] else [])


def _find_problems(path: PathArg, pulses: bool, progress: Callable[[int], None] | None, problems: _Problems) -> None:
    import numpy as np

    size = os.stat(path).st_size
    if size < HEADER_SIZE:
        problems.add("header", f"the file is {size} bytes long, shorter than its {HEADER_SIZE}-byte header")
        return
    data = np.memmap(path, dtype=np.uint8, mode="r") if size else np.zeros(0, np.uint8)
    header = FileHeader.unpack(bytes(data[:HEADER_SIZE]))
    if not _check_header(header, problems):
        return
    _check_metadata(data, header, size, problems)
    entries = _check_index(data, header, size, problems)
    if entries is None:
        return
    _check_blocks(data, header, entries, problems)
    if pulses and not problems.lines:
        _check_pulses(path, problems, progress)


def _check_header(header: FileHeader, problems: _Problems) -> bool:
    sound = True
    expected = (
        ("magic", MAGIC),
        ("encoding_record_type", 1),
        ("encoding_record_size", 4),
        ("record_size", RECORD_SIZE),
        ("num_encoding_records", 8),
    )
    for name, value in expected:
        found = getattr(header, name)
        if found != value:
            problems.add("header", f"header: {name} is {found!r}, not {value!r}")
            sound = False
    return sound


def _check_metadata(data: Any, header: FileHeader, size: int, problems: _Problems) -> None:
    end = METADATA_OFFSET + header.metadata_length
    if end > size:
        problems.add(
            "metadata", f"metadata: its {header.metadata_length} bytes run past the end of the file ({size} bytes)"
        )
        return
    if end > header.data_offset:
        problems.add("metadata", f"metadata: it ends at byte {end}, after data_offset {header.data_offset}")
    try:
        metadata = json.loads(bytes(data[METADATA_OFFSET:end]).decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        problems.add("metadata", f"metadata: not UTF-8 JSON ({error})")
        return
    if not isinstance(metadata, dict):
        problems.add("metadata", f"metadata: a JSON {type(metadata).__name__}, not an object")
        return
    for key in ("fps", "duration"):
        value = metadata.get(key)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            problems.add("metadata", f"metadata: {key!r} is missing or not a number")


def _check_index(data: Any, header: FileHeader, size: int, problems: _Problems) -> Any:
    """The index entries, or None when the index cannot be read."""
    import numpy as np

    count = header.num_apertures
    at = header.index_offset
    if count == 0:
        problems.add("index", "index: the file has no apertures (num_apertures is 0)")
        return None
    length = index_size(count)
    if at > size or length > size - at:
        problems.add(
            "index",
            f"index: {count} entries from byte {at} run to byte {at + length}, past the end of the file ({size} bytes)",
        )
        return None
    if bytes(data[at : at + len(INDEX_MAGIC)]) != INDEX_MAGIC:
        problems.add("index", f"index: no index magic at index_offset {at}")
        return None
    if at + length != size:
        problems.add("index", f"index: the file goes on for {size - at - length} bytes after its index")
    entries = np.frombuffer(data[at + len(INDEX_MAGIC) : at + length], dtype=index_entry_dtype())
    numbers = entries["aperture"].astype(np.int64)
    for k in np.flatnonzero(np.diff(numbers) <= 0)[: MAX_LINES_PER_KIND + 1]:
        kind = "repeats" if numbers[k + 1] == numbers[k] else "comes after"
        problems.add(
            "index order",
            f"index: entry {k + 1} (aperture {numbers[k + 1]}) {kind} aperture {numbers[k]}: entries must ascend",
        )
    if numbers[-1] < numbers[0]:
        problems.add("index span", f"index: its last aperture {numbers[-1]} is smaller than its first {numbers[0]}")
    for k in np.flatnonzero(entries["offset"] == 0):
        problems.add("absent", f"index: aperture {numbers[k]} has no block (offset 0)")
    return entries


def _check_blocks(data: Any, header: FileHeader, entries: Any, problems: _Problems) -> None:
    import numpy as np

    start_of_data = header.data_offset
    end_of_data = header.index_offset
    present = entries[entries["offset"] != 0]
    offsets = present["offset"].astype(np.int64)
    numbers = present["aperture"].astype(np.int64)

    # Block headers must lie between data_offset and the index.
    outside = (offsets < start_of_data) | (offsets > end_of_data - APERTURE_HEADER_SIZE)
    for k in np.flatnonzero(outside):
        problems.add(
            "block outside",
            f"aperture {numbers[k]}: its block at byte {offsets[k]} lies outside "
            f"the data region (bytes {start_of_data} to {end_of_data})",
        )
    inside = ~outside
    offsets, numbers = offsets[inside], numbers[inside]
    if offsets.size == 0:
        return
    headers = read_block_headers(data, offsets)
    ends = offsets + block_size(headers["num_records"].astype(np.int64))

    for k in np.flatnonzero(headers["aperture"].astype(np.int64) != numbers):
        problems.add(
            "block header",
            f"aperture {numbers[k]}: its block at byte {offsets[k]} names aperture {headers['aperture'][k]}",
        )
    for k in np.flatnonzero(ends > end_of_data):
        problems.add(
            "block end",
            f"aperture {numbers[k]}: its block at byte {offsets[k]} holds "
            f"{headers['num_records'][k]} records and runs to byte {ends[k]}, past the "
            f"index at byte {end_of_data}",
        )

    order = np.argsort(offsets, kind="stable")
    starts, ends, numbers = offsets[order], ends[order], numbers[order]
    overlap = ends[:-1] > starts[1:]
    for k in np.flatnonzero(overlap):
        problems.add(
            "overlap",
            f"aperture {numbers[k + 1]}: its block at byte {starts[k + 1]} overlaps the "
            f"block of aperture {numbers[k]} (bytes {starts[k]} to {ends[k]})",
        )
    if starts[0] != start_of_data:
        problems.add(
            "layout", f"blocks: the first block starts at byte {starts[0]}, not at data_offset {start_of_data}"
        )
    for k in np.flatnonzero(~overlap & (ends[:-1] != starts[1:])):
        problems.add(
            "layout",
            f"blocks: {starts[k + 1] - ends[k]} bytes between the block of aperture "
            f"{numbers[k]} and that of aperture {numbers[k + 1]}",
        )
    if ends[-1] < end_of_data:
        problems.add("layout", f"blocks: {end_of_data - ends[-1]} bytes between the last block and the index")


def read_block_headers(data: Any, offsets: Any) -> Any:
    """The 16-byte aperture headers at ``offsets`` of the mapped file ``data``,
    gathered a slice of blocks at a time so that the gathering's index stays small."""
    import numpy as np

    headers = np.empty(offsets.size, dtype=aperture_header_dtype())
    # A block of a few hundred records spans a page or two, so the headers
    # touch nearly every page of the file: the pages read are handed back
    # after each slice (they stay in the page cache), or the process would
    # hold the whole file as resident memory.
    mapping = data.base if isinstance(getattr(data, "base", None), mmap.mmap) else None
    step = 1 << 14
    for first in range(0, offsets.size, step):
        gather = offsets[first : first + step, None] + np.arange(APERTURE_HEADER_SIZE)
        headers[first : first + step] = np.ascontiguousarray(data[gather]).view(aperture_header_dtype()).reshape(-1)
        if mapping is not None and hasattr(mmap, "MADV_DONTNEED"):
            mapping.madvise(mmap.MADV_DONTNEED)
    return headers


_UNORDERED = "aperture {}: its pulses touch or overlap (the filters' order check fails)"


def _check_pulses(path: PathArg, problems: _Problems, progress: Callable[[int], None] | None) -> None:
    from kvt_pulse_reader import PulseFilter, PulseReader, UnsortedPulsesError

    order_check = PulseFilter()  # no criteria: only the order check
    with PulseReader(os.fspath(path)) as reader:
        apertures = sorted(set(reader.apertures))
        if hasattr(reader, "summarize"):
            summary = reader.summarize(apertures, pulse_filter=order_check, errors="skip")
            # Blocks past the end of the file are skipped too; the structural checks name those.
            skipped = zip(
                summary.attrs.get("skipped_apertures", []), summary.attrs.get("skipped_reasons", []), strict=True
            )
            for number in (number for number, reason in skipped if reason == "pulses out of order"):
                problems.add("pulses", _UNORDERED.format(number))
            if progress is not None:
                progress(len(apertures))
            return
        for number in apertures:
            try:
                reader.get_pulses(number, pulse_filter=order_check)
            except RuntimeError as error:
                unordered = isinstance(error, UnsortedPulsesError)
                problems.add("pulses", _UNORDERED.format(number) if unordered else f"aperture {number}: {error}")
            if progress is not None:
                progress(1)


__all__ = ["MAX_LINES_PER_KIND", "check_file", "check_report", "read_block_headers"]
