"""What a pulse file holds, at a glance (``kvt-pulses info``).

Only the file's header, its metadata and its index are read, and the 16-byte
header of each block: the records' total comes from the module's block plan
(``PulseReader.block_table``), so that a look at a run of any size reads a
few megabytes and holds about as much.
"""

from __future__ import annotations

import json
import os
from typing import Any, Union

from kvt_pulse_tools._format import HEADER_SIZE, FileHeader

PathArg = Union[str, "os.PathLike[str]"]


def file_info(path: PathArg) -> dict[str, Any]:
    """The header's fields, the run's fps, duration, sensor size and trimming,
    the numbers of apertures and records, and the data's and file's sizes.

    The file is opened with the reader module, so a file that the module
    refuses raises its RuntimeError here too.
    """
    from kvt_pulse_reader import PulseReader

    from kvt_pulse_tools.dask import placed_apertures

    with PulseReader(os.fspath(path)) as reader:
        metadata = reader.metadata
        trimmed = reader.trimmed
        apertures = reader.apertures
        # A block that runs past the end of the file is left out of the
        # total, as `kvt-pulses check` reports it.
        records = int(placed_apertures(reader, None, os.fspath(path), [])[1].sum(dtype="uint64"))
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        header = FileHeader.unpack(file.read(HEADER_SIZE))
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
        "records": records,
        "data_size": header.index_offset - header.data_offset,
    }


def format_info(info: dict[str, Any]) -> str:
    """The text form: one "name: value" line each, the header's fields last."""
    lines = [f"{name}: {value}" for name, value in info.items() if name != "header"]
    lines += [f"header.{name}: {value}" for name, value in info["header"].items()]
    return "\n".join(lines)


def info_json(info: dict[str, Any]) -> str:
    return json.dumps(info, indent=2)
