# Type stubs of the extension module kvt_pulse_reader.
#
# Installed twice: beside the module (kvt_pulse_reader.pyi, for editors that
# look there) and as the stub-only package kvt_pulse_reader-stubs, which mypy
# finds for a single-module extension in site-packages.
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, TypedDict, final

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = [
    "merge_pulse_files", "PulseReader", "PulseFilter", "recover_pulse_file", "PulseFileError", "TruncatedFileError",
    "InvalidFileError", "MissingApertureError", "UnsortedPulsesError", "WriterRefusedError", "InvalidArgumentError",
    "PulseFileOSError", "PulseFileNotFoundError", "PulseFilePermissionError", "PulseFileIsADirectoryError", "PulseFileExistsError",
]

# A file name: a str, or a path object whose path is a str (bytes are refused).
_StrPath: TypeAlias = str | os.PathLike[str]
# Aperture numbers: any iterable of integers (list, tuple, range, NumPy array).
_ApertureNumbers: TypeAlias = Iterable[SupportsIndex] | npt.NDArray[np.integer[Any]]

# The data dictionary: each table's columns as (name, dtype, unit, meaning),
# the record kinds as (word, meaning), the PulseFilter keywords as (name,
# type, unit, meaning).
COLUMNS: dict[str, tuple[tuple[str, str, str, str], ...]]
RECORD_KINDS: tuple[tuple[str, str], ...]
FILTER_KEYWORDS: tuple[tuple[str, str, str, str], ...]

class _PulseFilterKwargs(TypedDict, total=False):
    """The keywords of PulseFilter, as a dict for the pulse_filter_kwargs arguments."""

    min_dur_f: int
    min_dur_s: float
    max_dur_s: float
    min_snr: float
    min_intensity: float
    min_binratio: float
    max_binratio: float
    start_m: float
    end_m: float
    mask_s: tuple[float, float]
    recalc_ipd: bool

@final
class PulseFilter:
    """Pulse criteria: every bound is inclusive and unset by default (units in
    FILTER_KEYWORDS and help(PulseFilter)). A keyword the class does not know
    is ignored with a UserWarning naming it."""

    def __new__(
        cls,
        *,
        min_dur_f: SupportsIndex = ...,
        min_dur_s: float = ...,
        max_dur_s: float = ...,
        min_snr: float = ...,
        min_intensity: float = ...,
        min_binratio: float = ...,
        max_binratio: float = ...,
        start_m: float = ...,
        end_m: float = ...,
        mask_s: tuple[float, float] = ...,
        recalc_ipd: bool = ...,
    ) -> PulseFilter: ...

@final
class _ArrowStream:
    """A one-shot Arrow stream (the Arrow PyCapsule interface) of record
    batches, for pyarrow.RecordBatchReader.from_stream, pyarrow.table, DuckDB
    or polars. Not importable: made by PulseReader.stream_pulses and
    stream_records."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    @property
    def skipped_apertures(self) -> list[int]:
        """With errors="skip": the apertures skipped so far, in stream order;
        all of them once the stream has been consumed (read after that)."""
    @property
    def skipped_reasons(self) -> list[str]:
        """Why each of skipped_apertures was skipped, in the same order:
        "block runs past the end of the file" or "pulses out of order"."""

@final
class PulseReader:
    """Pulses.bin reader (its columns: COLUMNS, and help(PulseReader))"""

    def __new__(
        cls,
        file_name: _StrPath,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: dict[str, Any] | None = None,
    ) -> PulseReader: ...
    @property
    def apertures(self) -> list[int]: ...
    @property
    def metadata(self) -> dict[str, Any]: ...
    @property
    def trimmed(self) -> bool: ...
    def get_all_records(self, aperture_index: SupportsIndex) -> pd.DataFrame: ...
    def get_pulses(
        self,
        aperture_index: SupportsIndex,
        include_aperture_index: bool = True,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: dict[str, Any] | None = None,
    ) -> pd.DataFrame: ...
    def copy_apertures_to_new_file(
        self,
        apertures: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]],
        file_name: _StrPath,
        ignore_missing_apertures: bool = False,
    ) -> None: ...
    # The whole-run methods (read_pulses, read_records, summarize, iter_pulses,
    # stream_pulses, stream_records) take errors="raise" (the default: the first
    # damaged aperture fails the call) or errors="skip": an aperture whose block
    # cannot be read soundly (it starts or ends past the end of the file, or, with
    # a filter, its pulses are out of order) gives no rows, and the frame's
    # attrs["skipped_apertures"] and attrs["skipped_reasons"] list it (a stream's
    # skipped_apertures and skipped_reasons). Ctrl-C stops them and the writers
    # at once with KeyboardInterrupt; the reader stays usable.
    def read_pulses(
        self,
        apertures: _ApertureNumbers | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: dict[str, Any] | None = None,
        *,
        columns: Sequence[str] | None = None,
        threads: SupportsIndex | None = None,
        errors: Literal["raise", "skip"] = "raise",
    ) -> pd.DataFrame: ...
    def read_records(
        self,
        apertures: _ApertureNumbers | None = None,
        *,
        columns: Sequence[str] | None = None,
        threads: SupportsIndex | None = None,
        errors: Literal["raise", "skip"] = "raise",
    ) -> pd.DataFrame: ...
    def summarize(
        self,
        apertures: _ApertureNumbers | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: dict[str, Any] | None = None,
        *,
        threads: SupportsIndex | None = None,
        errors: Literal["raise", "skip"] = "raise",
    ) -> pd.DataFrame: ...
    def iter_pulses(
        self,
        apertures: _ApertureNumbers | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: dict[str, Any] | None = None,
        *,
        batch_records: SupportsIndex = 1_000_000,
        columns: Sequence[str] | None = None,
        threads: SupportsIndex | None = None,
        errors: Literal["raise", "skip"] = "raise",
    ) -> Iterator[pd.DataFrame]: ...
    def stream_pulses(
        self,
        apertures: _ApertureNumbers | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: dict[str, Any] | None = None,
        *,
        batch_records: SupportsIndex = 1_000_000,
        columns: Sequence[str] | None = None,
        threads: SupportsIndex | None = None,
        errors: Literal["raise", "skip"] = "raise",
    ) -> _ArrowStream: ...
    def stream_records(
        self,
        apertures: _ApertureNumbers | None = None,
        *,
        batch_records: SupportsIndex = 1_000_000,
        columns: Sequence[str] | None = None,
        threads: SupportsIndex | None = None,
        errors: Literal["raise", "skip"] = "raise",
    ) -> _ArrowStream: ...
    def block_table(self, apertures: _ApertureNumbers | None = None) -> dict[str, npt.NDArray[Any]]:
        """Where the blocks of ``apertures`` (every aperture by default,
        ascending) lie, from the index and the blocks' 16-byte headers,
        without reading a record: a dict of three arrays of one row per
        aperture in the selection's order, "aperture" (uint64), "offset"
        (uint64, the block's position in bytes) and "num_records" (uint32,
        from the block's header). RuntimeError for an aperture the file does
        not hold or a block that runs past the end of the file."""
    def _repr_html_(self) -> str:
        """A small HTML card of the file, its run and its counts, for Jupyter."""
    def close(self) -> None:
        """Close the pulses.bin file and give its memory back."""
    def __enter__(self) -> PulseReader: ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> None: ...

def merge_pulse_files(file_names: Sequence[_StrPath], new_file_name: _StrPath) -> None: ...

class _PartialBlock(TypedDict):
    """The block that runs past the end of the data: the one that was cut."""

    aperture: int
    byte_offset: int
    records_claimed: int
    records_complete: int
    kept: bool

class _RecoveryReport(TypedDict):
    """What recover_pulse_file kept and lost."""

    apertures_kept: int
    records_kept: int
    apertures_lost: list[int]
    partial_block: _PartialBlock | None
    bytes_discarded: int
    walk_end: int
    walk_stop: str
    index_offset: int | None
    index_rebuilt: bool
    index_confirmed: int
    apertures_from_index: int

def recover_pulse_file(
    file_name: _StrPath, new_file_name: _StrPath, *, keep_partial: bool = False
) -> _RecoveryReport:
    """Copies the sound aperture blocks of a damaged pulse file (cut short, its
    index lost, zeros or garbage after its data, a block with a wrong record
    count) into the new file ``new_file_name``, with a fresh index, and
    returns what was kept and lost.

    The blocks are walked back to back from the header's data_offset, in
    ascending aperture order, up to the first block header that breaks a rule
    (its number not above the previous one, its column or row outside the
    sensor, its records running past the end of the data, or zero bytes); an
    index that survives confirms the walk and places blocks the walk could not
    reach. An aperture that cannot be placed soundly is listed in
    ``apertures_lost``. The cut block (``partial_block``) is dropped, or with
    ``keep_partial=True`` kept with its complete records and its count
    rewritten.

    The new file is written as the writers write theirs: nothing appears at
    ``new_file_name`` unless the recovery succeeds. A destination that exists,
    or that is the input itself (under any name or link), is refused; so is a
    file whose header or metadata is damaged. Ctrl-C stops the recovery at
    once with KeyboardInterrupt. Failures raise RuntimeError.
    """

# The module's exceptions. Every failure of the module is a PulseFileError,
# and so a RuntimeError; its message is the module's own, and a note
# (__notes__, shown in tracebacks from Python 3.11) names the file and places the failure in it. Failures of the
# operating system are also the matching OSError, with errno, strerror and
# filename set, and str() giving the module's message.

class PulseFileError(RuntimeError):
    """A failure of the pulse-file library: the base of its exceptions."""

class TruncatedFileError(PulseFileError):
    """A read ran past the end of the file: the file was cut short, or a size or count in it is wrong."""

class InvalidFileError(PulseFileError):
    """The file breaks the pulse-file format: its header, metadata, index or a block."""

class MissingApertureError(PulseFileError):
    """An aperture number the file does not hold."""

class UnsortedPulsesError(PulseFileError):
    """An aperture's pulses overlap or run backwards, so a filter cannot judge them."""

class WriterRefusedError(PulseFileError):
    """A writer refused its source or destination (the source itself, an existing file, a file it cannot write)."""

class InvalidArgumentError(PulseFileError):
    """A call's arguments cannot be carried out."""

class PulseFileOSError(OSError, PulseFileError):
    """The operating system failed a call on a file: errno, strerror and filename are set; str() is the message."""

class PulseFileNotFoundError(FileNotFoundError, PulseFileOSError):
    """The file or its folder does not exist."""

class PulseFilePermissionError(PermissionError, PulseFileOSError):
    """The file or its folder may not be read or written."""

class PulseFileIsADirectoryError(IsADirectoryError, PulseFileOSError):
    """A folder was given where a file is needed."""

class PulseFileExistsError(FileExistsError, PulseFileOSError, WriterRefusedError):
    """A writer refused to replace an existing file."""
