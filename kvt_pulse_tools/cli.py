"""The ``kvt-pulses`` command: look into, check, subset, merge and make pulse files.

Each subcommand is one function ``run_<name>(args) -> int`` registered by
``add_<name>(subcommands, common)`` in ``SUBCOMMANDS``; the first line of the
run function's docstring is the subcommand's help in ``kvt-pulses --help``,
the rest its description. The filter options live here, the other shared
pieces (the options several subcommands declare alike, aperture selections,
progress bars, ``--force`` and the check that no output is an input, the
report of what ``--on-bad-file skip`` left out) in
:mod:`kvt_pulse_tools._command`, and the tables' one writer path in
:mod:`kvt_pulse_tools.tables_command`. Failures print one line,
``kvt-pulses: error: <message>``, and exit 1; usage errors exit 2; a table
written with something skipped exits 3; Ctrl-C exits 130.
Every output file is written under a temporary name beside its destination
and renamed into place when complete; no command writes onto one of its
inputs, or replaces a file without ``--force``.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any

from kvt_pulse_tools._command import (
    PROGRAM,
    add_apertures_option,
    add_files_argument,
    add_force_option,
    add_ignore_missing_option,
    add_json_option,
    add_output_option,
    add_skip_options,
    add_subcommand,
    checked_output,
    held_apertures,
    progress_bar,
    say,
    ticking,
)
from kvt_pulse_tools._errors import ToolError
from kvt_pulse_tools.columns import add_columns
from kvt_pulse_tools.html_report.command import add_report
from kvt_pulse_tools.recover import add_recover

# ---------------------------------------------------------------------------
# Shared pieces.


def filter_options() -> list[tuple[str, str, str, str, str]]:
    """The filter options, one per PulseFilter keyword of the module: (option,
    keyword, type, unit, meaning), such as ("--end-m", "end_m", "float",
    "minutes", ...)."""
    from kvt_pulse_reader import FILTER_KEYWORDS

    return [("--" + name.replace("_", "-"), name, kind, unit, meaning) for name, kind, unit, meaning in FILTER_KEYWORDS]


def add_filter_options(parser: argparse.ArgumentParser) -> None:
    """The PulseFilter keywords as options (--min-snr 5 ...), with their units."""
    group = parser.add_argument_group("pulse filter (the PulseFilter keywords)")
    for option, keyword, kind, unit, meaning in filter_options():
        text = f"{meaning} ({unit})" if unit else meaning
        if kind == "bool":
            group.add_argument(option, dest=keyword, action="store_true", help=text)
        elif kind.startswith("tuple"):
            group.add_argument(option, dest=keyword, nargs=2, type=float, metavar=("FIRST", "SECOND"), help=text)
        else:
            group.add_argument(
                option, dest=keyword, type=int if kind == "int" else float, metavar=unit.upper(), help=text
            )


def filter_kwargs(args: argparse.Namespace) -> dict[str, Any] | None:
    """The pulse_filter_kwargs of the options given, or None without any."""
    kwargs: dict[str, Any] = {}
    for _, keyword, kind, _, _ in filter_options():
        value = getattr(args, keyword, None)
        if value is not None and value is not False:
            kwargs[keyword] = tuple(value) if kind.startswith("tuple") else value
    return kwargs or None


# ---------------------------------------------------------------------------
# synth


def add_synth(commands: Any, common: argparse.ArgumentParser) -> None:
    from kvt_pulse_tools.synth import parse_records

    def records(text: str) -> int | tuple[int, int]:
        try:
            return parse_records(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    parser = add_subcommand(commands, common, run_synth)
    parser.add_argument("out", metavar="OUT", help="the file to write")
    parser.add_argument("--apertures", type=int, default=1000, metavar="N", help="apertures (default 1000)")
    parser.add_argument(
        "--records",
        type=records,
        default=(50, 500),
        metavar="N|LOW-HIGH",
        help="records per aperture, or a range to draw from (default 50-500)",
    )
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument("--fps", type=float, default=100.0, metavar="FPS", help="frames per second (default 100)")
    parser.add_argument(
        "--duration", type=float, default=3600.0, metavar="SECONDS", help="run duration in seconds (default 3600)"
    )
    add_force_option(parser)


def run_synth(args: argparse.Namespace) -> int:
    """write a realistic synthetic pulse file

    Writes a synthetic pulse file: a sensor with active, quiet and dead regions, every record kind, pulses that
    never touch.
    """
    from kvt_pulse_tools.synth import synthesize

    args.output = args.out
    try:
        with progress_bar(args, None, "synth", unit="B", unit_scale=True) as bar:

            def progress(written: int, size: int) -> None:
                if getattr(bar, "total", 0) != size:
                    bar.total = size
                bar.update(written)

            summary = synthesize(
                checked_output(args, []),
                apertures=args.apertures,
                records=args.records,
                seed=args.seed,
                fps=args.fps,
                duration=args.duration,
                progress=progress,
            )
    except ValueError as error:
        raise ToolError(str(error)) from None
    say(
        args,
        f"wrote {summary.path}: {summary.apertures} apertures, {summary.records} records "
        f"({summary.pulses} pulses) on a {summary.rows} x {summary.cols} sensor, {summary.file_size} bytes",
    )
    return 0


# ---------------------------------------------------------------------------
# info


def add_info(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = add_subcommand(commands, common, run_info)
    parser.add_argument("file", metavar="FILE", help="a pulse file")
    add_json_option(parser, "as one JSON object")
    add_output_option(parser, "write to OUT (JSON when it ends in .json)", required=False)
    add_force_option(parser)


def run_info(args: argparse.Namespace) -> int:
    """what a pulse file holds

    The header's fields, fps, duration, rows, cols, trimming, the numbers of apertures and records, the data's and
    file's sizes. Reads the header, the metadata, the index and the blocks' headers, never a record.
    """
    from kvt_pulse_tools._atomic import atomic_output
    from kvt_pulse_tools.info import file_info, format_info, info_json

    if args.output is not None:
        checked_output(args, [args.file])
    info = file_info(args.file)
    as_json = args.json or (args.output is not None and args.output.lower().endswith(".json"))
    text = info_json(info) if as_json else format_info(info)
    if args.output is None:
        print(text)
        return 0
    with atomic_output(args.output) as temporary:
        with open(temporary, "w", encoding="utf-8") as out:
            out.write(text + "\n")
    return 0


# ---------------------------------------------------------------------------
# check


def add_check(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = add_subcommand(commands, common, run_check)
    add_files_argument(parser, "pulse files")
    parser.add_argument(
        "--pulses", action="store_true", help="also check that every aperture's pulses pass the filters' order check"
    )
    add_json_option(parser, "print the findings as a JSON list of {file, problems, hint} objects")


def run_check(args: argparse.Namespace) -> int:
    """check every structure of pulse files

    Checks the header, the metadata, the index (order, span, position at the end), every block (inside the file,
    its header against its index entry, overlaps, back to back). One line per problem; exit status 1 when any is
    found.
    """
    from kvt_pulse_tools.check import check_report

    found = 0
    reports: list[dict[str, Any]] = []
    with progress_bar(args, len(args.files), "check", unit="file") as bar:
        for name in args.files:
            try:
                report = check_report(name, pulses=args.pulses)
            except OSError as error:
                report = {"file": name, "problems": [error.strerror or str(error)], "hint": None}
            reports.append(report)
            if not args.json:
                for line in report["problems"] + ([report["hint"]] if report["hint"] else []):
                    print(f"{name}: {line}")
            found += len(report["problems"])
            bar.update(1)
    if args.json:
        print(json.dumps(reports, indent=2))
    if found == 0:
        say(args, f"{len(args.files)} file{'s' if len(args.files) != 1 else ''}: no problems found")
    return 1 if found else 0


# ---------------------------------------------------------------------------
# merge and subset


def add_merge(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = add_subcommand(commands, common, run_merge)
    parser.add_argument("inputs", nargs="+", metavar="IN", help="the pulse files to merge, in order")
    add_output_option(parser, "the merged file to write")
    add_force_option(parser)


def run_merge(args: argparse.Namespace) -> int:
    """merge pulse files into one

    Merges pulse files, stacking their sensors' rows, as merge_pulse_files does.
    """
    from kvt_pulse_reader import merge_pulse_files

    from kvt_pulse_tools._atomic import atomic_output

    with ticking(args, "merge"), atomic_output(checked_output(args, args.inputs)) as temporary:
        merge_pulse_files(list(args.inputs), temporary)
    say(args, f"merged {len(args.inputs)} files into {args.output}")
    return 0


def add_subset(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = add_subcommand(commands, common, run_subset)
    parser.add_argument("file", metavar="FILE", help="the pulse file to copy from")
    add_output_option(parser, "the new pulse file to write")
    add_force_option(parser)
    choice = parser.add_mutually_exclusive_group(required=True)
    add_apertures_option(choice, default="")
    choice.add_argument(
        "--where",
        metavar="EXPRESSION",
        help='choose apertures from the summary, e.g. "num_pulses >= 100 and mean_snr > 5"',
    )
    add_ignore_missing_option(parser)
    add_filter_options(parser)


def run_subset(args: argparse.Namespace) -> int:
    """copy chosen apertures into a new file

    Copies the chosen apertures into a new pulse file, as copy_apertures_to_new_file does.
    """
    from kvt_pulse_reader import PulseReader

    from kvt_pulse_tools._atomic import atomic_output

    output = checked_output(args, [args.file])
    with PulseReader(args.file) as reader:
        if args.where is not None:
            args.apertures = _apertures_where(reader, args)
        chosen = sorted(set(held_apertures(reader, args)))
        if not chosen:
            raise ToolError("no apertures to copy")
        with ticking(args, "subset"), atomic_output(output) as temporary:
            reader.copy_apertures_to_new_file(chosen, temporary)
    say(args, f"wrote {len(chosen)} apertures to {args.output}")
    return 0


def _apertures_where(reader: Any, args: argparse.Namespace) -> list[int]:
    summary = reader.summarize(pulse_filter_kwargs=filter_kwargs(args))
    try:
        chosen = summary.query(args.where)
    except Exception as error:  # pandas raises many kinds for a bad expression
        raise ToolError(f"invalid --where expression {args.where!r}: {error}") from None
    return [int(number) for number in chosen["aperture_index"]]


# ---------------------------------------------------------------------------
# summary, pulses, records: tables of one file or many (kvt_pulse_tools.tables_command)


def add_table_options(parser: argparse.ArgumentParser, columns: bool = True) -> None:
    from kvt_pulse_tools import dask_cli

    add_files_argument(parser, 'pulse files; with several, a first column "run" names each row\'s file')
    add_apertures_option(parser)
    add_ignore_missing_option(parser)
    if columns:
        parser.add_argument(
            "--columns",
            type=lambda text: [c.strip() for c in text.split(",") if c.strip()],
            metavar="A,B,...",
            help="the columns to write, in this order",
        )
    add_output_option(
        parser,
        "a .parquet, .arrow, .feather, .csv or .tsv file, or FOLDER/ for a Parquet dataset of one part per partition "
        "(default: TSV on standard output)",
        required=False,
    )
    add_force_option(parser)
    parser.add_argument("--threads", type=int, metavar="N", help="threads to read with (default: every CPU)")
    add_skip_options(parser)
    dask_cli.add_options(parser)


def _run_table(args: argparse.Namespace, table: str) -> int:
    from kvt_pulse_tools import tables_command

    return tables_command.run(args, table, None if table == "records" else filter_kwargs(args))


def run_summary(args: argparse.Namespace) -> int:
    """one row per aperture

    The per-aperture table of PulseReader.summarize.
    """
    return _run_table(args, "summary")


def run_pulses(args: argparse.Namespace) -> int:
    """every pulse, streamed

    Every pulse of the selected apertures, as PulseReader.read_pulses gives them, written batch by batch.
    """
    return _run_table(args, "pulses")


def run_records(args: argparse.Namespace) -> int:
    """every record, streamed

    Every record of the selected apertures, as PulseReader.read_records gives them, written a batch of apertures at
    a time.
    """
    return _run_table(args, "records")


def _add_table_command(
    commands: Any,
    common: argparse.ArgumentParser,
    run: Callable[[argparse.Namespace], int],
    columns: bool = True,
    filters: bool = True,
) -> None:
    parser = add_subcommand(commands, common, run)
    add_table_options(parser, columns=columns)
    if filters:
        add_filter_options(parser)


def add_summary(commands: Any, common: argparse.ArgumentParser) -> None:
    _add_table_command(commands, common, run_summary, columns=False)


def add_pulses(commands: Any, common: argparse.ArgumentParser) -> None:
    _add_table_command(commands, common, run_pulses)


def add_records(commands: Any, common: argparse.ArgumentParser) -> None:
    _add_table_command(commands, common, run_records, filters=False)


# ---------------------------------------------------------------------------
# plot


def add_plot(commands: Any, common: argparse.ArgumentParser) -> None:
    from kvt_pulse_tools.plots import FORMATS

    parser = add_subcommand(commands, common, run_plot)
    parser.add_argument("file", metavar="FILE", help="a pulse file")
    add_output_option(parser, "the picture, in the format its extension names: " + ", ".join(sorted(FORMATS)))
    add_force_option(parser)
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--map", metavar="COLUMN", help="a column of the summary, e.g. num_pulses (in its own unit)")
    what.add_argument("--aperture", type=int, metavar="N", help="an aperture's number (time in seconds)")
    what.add_argument("--hist", metavar="COLUMN", help="a pulse column, e.g. dur_s (in its own unit)")
    add_filter_options(parser)


def run_plot(args: argparse.Namespace) -> int:
    """a picture of the sensor, an aperture or a column

    --map: a summary column over the sensor; --aperture: one aperture's pulses over time; --hist: a histogram of a
    pulse column.
    """
    from kvt_pulse_tools import plots

    output = checked_output(args, [args.file])
    plots.picture_format(output)
    with ticking(args, "plot"):
        if args.map is not None:
            plots.sensor_map(args.file, args.map, output, filter_kwargs(args))
        elif args.aperture is not None:
            plots.aperture_pulses(args.file, args.aperture, output, filter_kwargs(args))
        else:
            plots.histogram(args.file, args.hist, output, filter_kwargs(args))
    say(args, f"wrote {args.output}")
    return 0


# ---------------------------------------------------------------------------
# The command.

SUBCOMMANDS: tuple[Callable[[Any, argparse.ArgumentParser], None], ...] = (
    add_synth,
    add_info,
    add_check,
    add_summary,
    add_pulses,
    add_records,
    add_subset,
    add_merge,
    add_plot,
    add_columns,
    add_report,
    add_recover,
)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kvt_pulse_reader")
    except PackageNotFoundError:
        from kvt_pulse_tools import __version__

        return __version__


def build_parser() -> argparse.ArgumentParser:
    # --quiet is accepted before and after the subcommand; SUPPRESS keeps a
    # subcommand's default from overriding a --quiet given before it.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        default=argparse.SUPPRESS,
        help="no progress bars or messages on standard error",
    )
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Look into, check, subset, merge and make pulse files (pulses.bin)."
    )
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {_version()}")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bars or messages on standard error")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for add in SUBCOMMANDS:
        add(commands, common)
    return parser


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split()) or type(error).__name__
    notes = getattr(error, "__notes__", None) or []
    return "; ".join([text, *(" ".join(str(note).split()) for note in notes)])


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with ``argv`` (the process's arguments by default) and
    returns its exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as stop:  # usage errors (2), --help and --version (0)
            return stop.code if isinstance(stop.code, int) else 0
        code: int = args.run(args)
        sys.stdout.flush()
        return code
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # The reader of a pipe went away (| head): stop quietly.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (ToolError, RuntimeError, OSError, ValueError, MemoryError) as error:
        print(f"{PROGRAM}: error: {_one_line(error)}", file=sys.stderr)
        return 1
    except Exception as error:  # a fault of the tools themselves: still one line
        print(f"{PROGRAM}: error: {type(error).__name__}: {_one_line(error)}", file=sys.stderr)
        return 1
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        print(f"{PROGRAM}: error: internal fault: {_one_line(error)}", file=sys.stderr)
        return 1
