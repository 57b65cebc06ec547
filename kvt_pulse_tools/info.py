"""What a pulse file holds, at a glance (``kvt-pulses info``)."""

from __future__ import annotations

import json
import os
from typing import Any, Union

from kvt_pulse_tools._format import HEADER_SIZE, INDEX_MAGIC, FileHeader, index_entry_dtype

PathArg = Union[str, "os.PathLike[str]"]


def file_info(path: PathArg) -> dict[str, Any]:
    """The header's fields, the run's fps, duration, sensor size and trimming,
    the numbers of apertures and records, and the data's and file's sizes.

    The file is first opened with the reader module, so a file that the
    module refuses raises its RuntimeError here too.
    """
    import numpy as np

    from kvt_pulse_reader import PulseReader

    with PulseReader(os.fspath(path)) as reader:
        metadata = reader.metadata
        trimmed = reader.trimmed
        apertures = reader.apertures
    size = os.stat(path).st_size
    header, _, headers = _block_headers(path)
    return {
        "file": os.fspath(path),
        "file_size": size,
        "header": header.as_dict(),
        "fps": metadata.get("fps"),
        "duration": metadata.get("duration"),
        "rows": metadata.get("rows"),
        "cols": metadata.get("cols"),
        "trimmed": trimmed,
        "apertures": len(apertures),
        "first_aperture": min(apertures),
        "last_aperture": max(apertures),
        "records": int(headers["num_records"].sum(dtype=np.uint64)),
        "data_size": header.index_offset - header.data_offset,
    }


def format_info(info: dict[str, Any]) -> str:
    """The text form: one "name: value" line each, the header's fields last."""
    lines = [f"{name}: {value}" for name, value in info.items() if name != "header"]
    lines += [f"header.{name}: {value}" for name, value in info["header"].items()]
    return "\n".join(lines)


def info_json(info: dict[str, Any]) -> str:
    return json.dumps(info, indent=2)


def record_counts(path: PathArg) -> dict[int, int]:
    """Each aperture's number of records, from its block header."""
    _, numbers, headers = _block_headers(path)
    return dict(zip(numbers.tolist(), headers["num_records"].tolist()))


def _block_headers(path: PathArg) -> tuple[FileHeader, Any, Any]:
    """The file header, and the numbers and block headers of the apertures
    whose block header lies inside the file (``kvt-pulses check`` reports
    the others)."""
    import numpy as np

    from kvt_pulse_tools.check import read_block_headers

    data = np.memmap(path, dtype=np.uint8, mode="r")
    header = FileHeader.unpack(bytes(data[:HEADER_SIZE]))
    at = header.index_offset + len(INDEX_MAGIC)
    entries = np.frombuffer(data[at:at + 12 * header.num_apertures], dtype=index_entry_dtype())
    offsets = entries["offset"].astype(np.int64)
    inside = (offsets != 0) & (offsets <= data.size - 16)
    return header, entries["aperture"][inside], read_block_headers(data, offsets[inside])
