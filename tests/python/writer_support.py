"""What the writer tests share: the bytes a copy or a merge must produce,
worked out from the inputs' bytes and the file layout alone, and the child
processes in which a writer is run under a file-size limit, stopped or
killed.

Layout of a written pulse file (little-endian throughout)::

    0              file header, 48 bytes
    48             8 encoding records of 4 bytes
    80             metadata text
    ...            padding up to data_offset
    data_offset    aperture blocks back to back: a 16-byte header
                   (x, y, aperture index, record count) and the records
    index_offset   b"$INDX$\\r\\n", then per aperture u32 number, u64 offset

A copy keeps the source's bytes 0 to data_offset, rewriting only the
aperture count and the index offset; a merge writes the first input's
header fields and encoding records, its metadata recomputed as compact JSON,
zeros up to a data_offset rounded up to 16, and every input's blocks with
their rows and aperture numbers moved past the inputs before.
"""

from __future__ import annotations

import json
import os
import signal
import struct
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence

import kvt_pulse_reader

HEADER_FORMAT = "<4sIQIBBHIIQQ"
HEADER_FIELDS = ("magic", "reserved1", "num_apertures", "metadata_length",
                 "encoding_record_type", "encoding_record_size",
                 "num_encoding_records", "reserved2", "record_size",
                 "data_offset", "index_offset")
INDEX_MAGIC = b"$INDX$\r\n"
U32 = 2 ** 32


def header_of(data: bytes) -> Dict[str, object]:
    """The eleven fields of a file header, by name."""
    return dict(zip(HEADER_FIELDS, struct.unpack_from(HEADER_FORMAT, data, 0)))


def index_of(data: bytes) -> List[tuple]:
    """The (number, offset) entries of a written file's index, which must be
    its last bytes, behind the magic at index_offset."""
    header = header_of(data)
    at = header["index_offset"]
    assert data[at:at + 8] == INDEX_MAGIC
    count = header["num_apertures"]
    assert len(data) == at + 8 + 12 * count
    return [struct.unpack_from("<IQ", data, at + 8 + 12 * i)
            for i in range(count)]


def block_at(data: bytes, offset: int) -> bytes:
    """The whole aperture block at ``offset``: header and records."""
    (count,) = struct.unpack_from("<I", data, offset + 12)
    return data[offset:offset + 16 + 16 * count]


def sorted_entries(built) -> List[tuple]:
    """The (number, block offset) pairs of a built file in index order."""
    pairs = [(ap.index, off) for ap, off in zip(built.apertures,
                                                built.block_offsets)
             if ap.in_index]
    return sorted(pairs)


# --------------------------------------------------------------------------
# Expected output of a copy
# --------------------------------------------------------------------------


def expected_copy(source: bytes, block_offsets: Sequence[int],
                  numbers: Sequence[int]) -> bytes:
    """The copy of the blocks at ``block_offsets`` (already in ascending
    order of ``numbers``) out of the file ``source``."""
    (data_offset,) = struct.unpack_from("<Q", source, 32)
    blocks = [block_at(source, off) for off in block_offsets]
    offsets = []
    position = data_offset
    for block in blocks:
        offsets.append(position)
        position += len(block)
    out = bytearray(source[:data_offset])
    struct.pack_into("<Q", out, 8, len(blocks))
    struct.pack_into("<Q", out, 40, position)
    out += b"".join(blocks)
    out += INDEX_MAGIC
    for number, offset in zip(numbers, offsets):
        out += struct.pack("<IQ", number, offset)
    return bytes(out)


def expected_copy_of(built, numbers: Iterable[int]) -> bytes:
    """The copy of the apertures ``numbers`` (sorted, each once) of a
    built file."""
    numbers = sorted(numbers)
    return expected_copy(built.data, [built.offset_of(n) for n in numbers],
                         numbers)


# --------------------------------------------------------------------------
# Expected output of a merge
# --------------------------------------------------------------------------


def compact_json(value) -> bytes:
    """Compact JSON with sorted keys, non-ASCII characters as UTF-8.

    Python writes a float as its shortest round-trip form, which agrees with
    the merge's output for every number that Python does not write with an
    exponent; tests that compare bytes keep to such numbers."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False, allow_nan=False).encode("utf-8")


def merged_metadata(metadata_texts: Sequence[bytes]) -> bytes:
    """The first input's metadata with the seven layout keys recomputed."""
    metas = [json.loads(text) for text in metadata_texts]
    merged = dict(metas[0])
    rows = sum(m["rows"] for m in metas)
    start = min(m["roi_offset_col"] for m in metas)
    end = max(m["roi_offset_col"] + m["roi_cols"] for m in metas)
    merged.update(
        rows=rows, roi_rows=rows, roi_offset_col=start, roi_cols=end - start,
        validWells=sum(m["validWells"] for m in metas),
        validWellsLeft=sum(m["validWellsLeft"] for m in metas),
        validWellsRight=sum(m["validWellsRight"] for m in metas))
    return compact_json(merged)


def round_up_16(value: int) -> int:
    return -(-value // 16) * 16


def expected_merge(inputs: Sequence, metadata: Optional[bytes] = None
                   ) -> bytes:
    """The merge of built files ``inputs``, in that order.

    Each input's blocks are taken in index order; its rows and cols come
    from its own metadata.  ``metadata`` defaults to the merged metadata
    worked out by :func:`merged_metadata`."""
    if metadata is None:
        metadata = merged_metadata([b.metadata for b in inputs])
    first = inputs[0].data
    first_header = header_of(first)
    data_offset = round_up_16(first_header["data_offset"] + len(metadata)
                              - first_header["metadata_length"])
    prefix = 48 + 4 * first_header["num_encoding_records"] + len(metadata)
    assert data_offset >= prefix, "the example needs room for the metadata"

    out = bytearray(first[:48])
    out += first[48:48 + 4 * first_header["num_encoding_records"]]
    out += metadata
    out += bytes(data_offset - len(out))

    index = bytearray(INDEX_MAGIC)
    row_offset = 0
    number_offset = 0
    count = 0
    for built in inputs:
        meta = json.loads(built.metadata)
        for number, offset in sorted_entries(built):
            x, y, own, records = struct.unpack_from("<IIII", built.data,
                                                    offset)
            index += struct.pack("<IQ", number + number_offset, len(out))
            out += struct.pack("<IIII", x, y + row_offset,
                               own + number_offset, records)
            out += built.data[offset + 16:offset + 16 + 16 * records]
            count += 1
        row_offset += meta["rows"]
        number_offset += meta["rows"] * meta["cols"]
    index_offset = len(out)
    out += index
    struct.pack_into("<Q", out, 8, count)
    struct.pack_into("<I", out, 16, len(metadata))
    struct.pack_into("<QQ", out, 32, data_offset, index_offset)
    return bytes(out)


# --------------------------------------------------------------------------
# The file system around a writer
# --------------------------------------------------------------------------


def names_in(folder) -> List[str]:
    return sorted(os.listdir(folder))


OLD_TIME_NS = 1_000_000_000 * 10**9  # 2001-09-09, long before any test run


def age_folder(folder) -> None:
    """Sets the folder's modification time far into the past: creating or
    removing any entry in it, even briefly, sets it to now."""
    os.utime(folder, ns=(OLD_TIME_NS, OLD_TIME_NS))


def folder_untouched(folder) -> bool:
    """Whether no entry has been created in or removed from an aged folder."""
    return os.stat(folder).st_mtime_ns == OLD_TIME_NS


def access_mode_of(pid: int, fd: int) -> int:
    """The O_ACCMODE bits with which process ``pid`` holds descriptor ``fd``."""
    with open(f"/proc/{pid}/fdinfo/{fd}") as info:
        for line in info:
            if line.startswith("flags:"):
                return int(line.split()[1], 8) & os.O_ACCMODE
    raise AssertionError(f"no flags for descriptor {fd} of {pid}")


def descriptors_on(pid: int, path) -> List[int]:
    """The descriptors of process ``pid`` that are open on ``path``."""
    target = os.path.realpath(path)
    found = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{name}") == target:
                found.append(int(name))
        except OSError:
            pass
    return found


# --------------------------------------------------------------------------
# Writers in a child process
# --------------------------------------------------------------------------

CHILD_PRELUDE = r'''
import json, resource, signal, sys
import kvt_pulse_reader as kvt

args = json.loads(sys.argv[1])

def limit_file_size(limit):
    # Without the signal ignored, exceeding the limit would kill the
    # process; ignored, the write fails with EFBIG.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

def report(call):
    try:
        call()
    except BaseException as exc:
        outcome = {"type": type(exc).__name__, "message": str(exc)}
    else:
        outcome = {"type": None, "message": None}
    print(json.dumps(outcome), flush=True)
'''


def start_child(body: str, args) -> subprocess.Popen:
    """Starts a Python process that runs CHILD_PRELUDE and then ``body``,
    with ``args`` as the JSON value ``args``; it reports through stdout."""
    # The module the tests import, wherever it was installed or built.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(kvt_pulse_reader.__file__))]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.Popen(
        [sys.executable, "-c", CHILD_PRELUDE + body, json.dumps(args)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def child_outcome(child: subprocess.Popen, timeout: float = 120) -> dict:
    out, err = child.communicate(timeout=timeout)
    assert child.returncode == 0, f"child failed ({child.returncode}): {err}"
    return json.loads(out.strip().splitlines()[-1])


def run_child(body: str, args, timeout: float = 120) -> dict:
    return child_outcome(start_child(body, args), timeout)


@dataclass
class Caught:
    """A child stopped while it was writing ``path`` (``size`` bytes so far)."""

    path: Path
    size: int


def wait_until_stopped(pid: int, give_up_s: float = 10.0) -> bool:
    """Waits until the kernel shows process ``pid`` stopped: a signal takes
    effect when the system call in progress returns."""
    deadline = time.monotonic() + give_up_s
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as status:
                state = status.read().rpartition(")")[2].split()[0]
        except FileNotFoundError:
            return False
        if state in ("T", "t"):
            return True
        if state in ("Z", "X"):
            return False
        time.sleep(0.0005)
    return False


def stop_while_writing(child: subprocess.Popen, folder, known: Iterable[str],
                       min_size: int, give_up_s: float = 60.0
                       ) -> Optional[Caught]:
    """Waits until a new entry of at least ``min_size`` bytes shows in
    ``folder`` and stops the child with SIGSTOP at once.  None if the child
    ended first."""
    known = set(known)
    deadline = time.monotonic() + give_up_s
    while time.monotonic() < deadline:
        for entry in os.scandir(folder):
            if entry.name in known:
                continue
            try:
                size = entry.stat().st_size
            except FileNotFoundError:
                continue
            if size >= min_size:
                os.kill(child.pid, signal.SIGSTOP)
                if not wait_until_stopped(child.pid):
                    return None
                try:
                    return Caught(Path(entry.path),
                                  os.stat(entry.path).st_size)
                except FileNotFoundError:  # moved into place just then
                    return None
        if child.poll() is not None:
            return None
    return None


# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------


def distinct_records(seed: int, count: int):
    """``count`` records whose words tell the aperture (``seed``) and the
    record's position apart, so that a misplaced or shifted record shows.
    A NumPy array for large counts, a list of records otherwise."""
    import numpy as np

    import pulse_file_builder as pfb

    position = np.arange(count, dtype=np.uint64)
    words = np.empty((count, 8), dtype=np.uint16)
    for k in range(8):
        words[:, k] = ((position * 8 + k + 1) * 2654435761 + seed * 40503
                       ) & 0xFFFF
    words[:, 1] |= 1  # pulses: word 1 is never zero
    if count > 1000:
        return words
    return [pfb.Record(tuple(int(w) for w in row)) for row in words]


def layout_metadata(rows: int, cols: int, roi_offset_col: int = 0,
                    roi_cols: Optional[int] = None, wells: int = 1,
                    **extra) -> dict:
    """Run metadata with every key a merge reads, plus ``extra``."""
    meta = {"fps": 100, "duration": 60, "rows": rows, "cols": cols,
            "validWells": wells, "validWellsLeft": wells + 1,
            "validWellsRight": wells + 2, "roi_offset_col": roi_offset_col,
            "roi_cols": cols if roi_cols is None else roi_cols,
            "roi_rows": rows}
    meta.update(extra)
    return meta
