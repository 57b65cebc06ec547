"""The data dictionary: what each column of the records, pulses and summary
tables means, its dtype and its unit, as the module declares them
(``kvt_pulse_reader.COLUMNS``, ``RECORD_KINDS``); ``kvt-pulses columns
[TABLE [COLUMN...]]`` prints it, and the README's section is made by
``dictionary_markdown()``."""

from __future__ import annotations

import argparse
from typing import Any

from kvt_pulse_tools._command import add_subcommand
from kvt_pulse_tools._errors import ToolError

#: What the suffixes and words of the column names mean, said once.
CONVENTIONS = (
    "Suffixes: `_f` counts frames of the instrument's camera (u16 in records, u32 in pulses), `_s` is seconds "
    "(frames divided by the run's frames per second, `fps` in the metadata), `_m` minutes (filter bounds only). "
    "Frames count from frame 0 of the aperture's record stream. `bin0` and `bin1` are the two time bins of a "
    "record's measurements; a pulse's `intensity`, `bg_mean` and `bg_std` are those of bin 1, its "
    "`intensity_display` adds the background back (`bin1_intensity + bin1_bg_mean`) and its `binratio` is "
    "`bin0_intensity / bin1_intensity`. Intensities are in the instrument's own units. `trimmed` (a reader "
    "property, and `info`) says whether the pulse caller ran with boundary-frame trimming "
    '("trim_boundary_frames" among its options).'
)


def tables() -> dict[str, tuple[tuple[str, str, str, str], ...]]:
    """The module's tables: name -> (column, dtype, unit, meaning) rows."""
    from kvt_pulse_reader import COLUMNS

    return dict(COLUMNS)


def record_kinds() -> tuple[tuple[str, str], ...]:
    """The eight record kinds in code order, as (word, meaning)."""
    from kvt_pulse_reader import RECORD_KINDS

    return tuple(RECORD_KINDS)


def dictionary_markdown() -> str:
    """The README's data dictionary section (without its heading)."""
    lines = [CONVENTIONS, "", "Record kinds (`record_type`, and the summary's `num_<kind>` columns):", ""]
    lines += [f"- `{word}`: {meaning}" for word, meaning in record_kinds()]
    for table, rows in tables().items():
        lines += ["", f"`{table}`:", "", "| column | dtype | unit | meaning |", "|---|---|---|---|"]
        lines += [f"| `{name}` | {dtype} | {unit or '-'} | {meaning} |" for name, dtype, unit, meaning in rows]
    return "\n".join(lines) + "\n"


def add_columns(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = add_subcommand(commands, common, run_columns)
    parser.add_argument("table", nargs="?", metavar="TABLE", help="records, pulses or summary (default: all three)")
    parser.add_argument("names", nargs="*", metavar="COLUMN", help="only these columns of TABLE (default: all)")
    parser.add_argument("--markdown", action="store_true", help="the whole dictionary as Markdown, as in the README")


def run_columns(args: argparse.Namespace) -> int:
    """what each column of the tables means: dtype, unit, meaning

    The data dictionary of the records, pulses and summary tables.
    """
    if args.markdown:
        print(dictionary_markdown(), end="")
        return 0
    known = tables()
    if args.table is not None and args.table not in known:
        raise ToolError(f"unknown table '{args.table}'; the tables are: {', '.join(known)}")
    chosen = [args.table] if args.table is not None else list(known)
    for table in chosen:
        rows = known[table]
        by_name = {row[0]: row for row in rows}
        for name in args.names:
            if name not in by_name:
                raise ToolError(f"Unknown column '{name}'; the valid columns are: {', '.join(by_name)}")
        shown = [by_name[name] for name in args.names] if args.names else list(rows)
        width = max(len(row[0]) for row in shown)
        print(f"{table}:")
        for name, dtype, unit, meaning in shown:
            print(f"  {name:<{width}}  {dtype:<8}  {unit or '-':<9}  {meaning}")
    if args.table is None or args.table == "records" and not args.names:
        print("\nrecord kinds (record_type):")
        for word, meaning in record_kinds():
            print(f"  {word:<18}  {meaning}")
    if args.table is None:
        print("\n" + CONVENTIONS.replace("`", ""))
    return 0
