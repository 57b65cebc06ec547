"""``kvt-pulses report``: the subcommand's options and its run."""

from __future__ import annotations

import argparse
from typing import Any

from kvt_pulse_tools._command import add_subcommand


def add_report(commands: Any, common: argparse.ArgumentParser) -> None:
    """Registers ``kvt-pulses report FILE... -o OUT.html``."""
    from kvt_pulse_tools._command import parse_selection
    from kvt_pulse_tools.cli import add_filter_options

    parser = add_subcommand(
        commands,
        common,
        "report",
        run_report,
        help="one self-contained HTML page of a run or a study",
        description="Writes one HTML page, readable offline with every script and datum inline: the run's header "
        "and structural check, maps of the sensor, the pulses' distributions, the run over time, "
        "the record kinds and the apertures worth a look. Several files make a study report.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="pulse files; several make a study")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.html", help="the page to write")
    parser.add_argument(
        "-a",
        "--apertures",
        type=parse_selection,
        metavar="SELECTION",
        help="aperture numbers and ranges, such as 0,5,10-20 (default: every aperture)",
    )
    parser.add_argument(
        "--ignore-missing", action="store_true", help="skip selected apertures that a file does not hold"
    )
    parser.add_argument("--title", metavar="TEXT", help="the page's title (default: names the run or the study)")
    parser.add_argument(
        "--on-bad-file",
        choices=("raise", "skip"),
        default="raise",
        help="a file that cannot be opened fails the command (raise, the default) or is listed "
        "in the report as unreadable (skip)",
    )
    parser.add_argument("-f", "--force", action="store_true", help="replace OUT if it exists")
    add_filter_options(parser)


def run_report(args: argparse.Namespace) -> int:
    """Writes the report; failures reach the command's one error line."""
    from kvt_pulse_tools._command import progress_bar, say
    from kvt_pulse_tools.cli import filter_kwargs
    from kvt_pulse_tools.html_report import report

    with progress_bar(args, None, "report", unit="aperture") as bar:
        runs = report(
            args.files,
            args.output,
            pulse_filter_kwargs=filter_kwargs(args),
            apertures=args.apertures,
            ignore_missing=args.ignore_missing,
            title=args.title,
            on_bad_file=args.on_bad_file,
            force=args.force,
            progress=bar.update,
        )
    bad = sum(run.error is not None for run in runs)
    say(
        args,
        f"wrote {args.output}: {len(runs)} run{'s' if len(runs) != 1 else ''}" + (f", {bad} unreadable" if bad else ""),
    )
    return 0
