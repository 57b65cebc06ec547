"""Tables written batch by batch, in the format that the output's extension names.

``.parquet`` (pyarrow), ``.arrow`` or ``.feather`` (the Arrow IPC file format,
pyarrow), ``.csv`` and ``.tsv``; without a path, TSV on standard output so
that the command fits in a pipe. Delimited text goes through pyarrow's CSV
writer when pyarrow is installed (many times faster than pandas) and through
pandas otherwise. A file is written under a temporary name and renamed into
place by :func:`table_output` only when every batch is in.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Iterator
from typing import IO, Any

from kvt_pulse_tools._atomic import atomic_output
from kvt_pulse_tools._errors import ToolError, require

FORMATS = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow", ".csv": "csv", ".tsv": "tsv"}
#: The meaning of the column that several files add, beside the module's own.
RUN_MEANING = "the run the row comes from: its file's name without the extension"


def described(table: Any, name: str | None) -> Any:
    """A pyarrow Table with each column of the module's table ``name``
    ("records", "pulses", "summary"; None for none) described in its field's
    metadata ("description", "unit"), as the module's streams describe theirs."""
    if name is None:
        return table
    import pyarrow as pa
    from kvt_pulse_reader import COLUMNS

    known = {column: (meaning, unit) for column, _, unit, meaning in COLUMNS[name]}
    known["run"] = (RUN_MEANING, "")
    fields = [
        field.with_metadata({"description": known[field.name][0], "unit": known[field.name][1]})
        if field.name in known
        else field
        for field in table.schema
    ]
    return pa.Table.from_arrays(table.columns, schema=pa.schema(fields, metadata=table.schema.metadata))


def table_format(path: str | None) -> str:
    if path is None:
        return "tsv"
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise ToolError(f"cannot tell the table format of {path}: use one of " + ", ".join(sorted(FORMATS)))
    return FORMATS[extension]


def _pyarrow(purpose: str) -> Any:
    return require("pyarrow", purpose, "arrow")


def _has_pyarrow() -> bool:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return True


class TableWriter:
    """Takes pandas DataFrames of the same columns, one batch at a time."""

    def __init__(self, sink: IO[bytes], kind: str, table: str | None = None) -> None:
        self._sink = sink
        self._kind = kind
        self._table = table
        self._writer: Any = None
        self._header_written = False
        if kind in ("parquet", "arrow"):
            _pyarrow("writing Parquet" if kind == "parquet" else "writing Arrow files")
        self._use_arrow = kind in ("parquet", "arrow") or _has_pyarrow()

    @property
    def takes_streams(self) -> bool:
        """Whether Arrow streams can be written (pyarrow is installed)."""
        return self._use_arrow

    def write(self, frame: Any) -> None:
        """Writes one pandas DataFrame."""
        if self._kind in ("csv", "tsv") and not self._use_arrow:
            frame.to_csv(
                self._sink,
                sep="\t" if self._kind == "tsv" else ",",
                index=False,
                header=not self._header_written,
                lineterminator="\n",
            )
            self._header_written = True
            return
        import pyarrow as pa

        self._write_table(described(pa.Table.from_pandas(frame, preserve_index=False), self._table))

    def write_arrow(self, table: Any) -> None:
        """Writes one pyarrow Table or RecordBatch."""
        import pyarrow as pa

        self._write_table(pa.Table.from_batches([table]) if isinstance(table, pa.RecordBatch) else table)

    def write_stream(self, stream: Any, on_batch: Callable[[Any], None] | None = None) -> None:
        """Writes every batch of an Arrow stream (an object with
        ``__arrow_c_stream__``) as it comes, never holding the whole table;
        ``on_batch`` sees each pyarrow RecordBatch after it is written."""
        import pyarrow as pa

        batches = pa.RecordBatchReader.from_stream(stream)
        self._open(batches.schema)
        for batch in batches:
            self._write_table(pa.Table.from_batches([batch]))
            if on_batch is not None:
                on_batch(batch)

    def _write_table(self, table: Any) -> None:
        if self._kind in ("csv", "tsv"):
            import pyarrow as pa

            # The CSV writer takes no dictionary columns: categories as their words.
            table = pa.table(
                [c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in table.columns],
                names=table.column_names,
            )
        self._open(table.schema)
        self._writer.write_table(table)

    def _open(self, schema: Any) -> None:
        if self._writer is not None:
            return
        import pyarrow as pa

        if self._kind in ("csv", "tsv"):
            import pyarrow.csv as csv

            schema = pa.schema(
                [f.with_type(f.type.value_type) if pa.types.is_dictionary(f.type) else f for f in schema]
            )
            # The names and the kind words hold no delimiter: nothing is quoted.
            delimiter = "\t" if self._kind == "tsv" else ","
            self._sink.write((delimiter.join(schema.names) + "\n").encode())
            options = csv.WriteOptions(delimiter=delimiter, include_header=False, quoting_style="none")
            self._writer = csv.CSVWriter(self._sink, schema, write_options=options)
        elif self._kind == "parquet":
            import pyarrow.parquet as pq

            self._writer = pq.ParquetWriter(self._sink, schema)
        else:
            self._writer = pa.ipc.new_file(self._sink, schema)

    def close(self, empty_frame: Any = None) -> None:
        """Finishes the table; ``empty_frame`` gives the columns of a table
        that received no batch."""
        if self._writer is None and not self._header_written and empty_frame is not None:
            self.write(empty_frame)
        if self._writer is not None:
            self._writer.close()


@contextlib.contextmanager
def table_output(path: str | None, table: str | None = None) -> Iterator[TableWriter]:
    """A TableWriter into ``path`` (renamed into place when complete) or, for
    None, into standard output as TSV; ``table`` names the module's table
    whose columns it writes, for their descriptions."""
    kind = table_format(path)
    if path is None:
        sink = sys.stdout.buffer
        writer = TableWriter(sink, kind, table)
        yield writer
        sink.flush()
        return
    with atomic_output(path) as temporary, open(temporary, "wb") as sink:
        writer = TableWriter(sink, kind, table)
        try:
            yield writer
        except BaseException:
            with contextlib.suppress(Exception):
                writer.close()  # before its file goes: no writer left to flush into it
            raise
        sink.flush()
        os.fsync(sink.fileno())
