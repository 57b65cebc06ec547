"""``kvt-pulses report``: the subcommand's options and its run."""

from __future__ import annotations

import argparse
from typing import Any

from kvt_pulse_tools._command import (
    add_apertures_option,
    add_files_argument,
    add_force_option,
    add_ignore_missing_option,
    add_output_option,
    add_subcommand,
)


def add_report(commands: Any, common: argparse.ArgumentParser) -> None:
    """Registers ``kvt-pulses report FILE... -o OUT.html``."""
    from kvt_pulse_tools.cli import add_filter_options

    parser = add_subcommand(commands, common, run_report)
    add_files_argument(parser, "pulse files; several make a study")
    add_output_option(parser, "the page to write", metavar="OUT.html")
    add_apertures_option(parser)
    add_ignore_missing_option(parser, holder="a file")
    parser.add_argument("--title", metavar="TEXT", help="the page's title (default: names the run or the study)")
    parser.add_argument(
        "--on-bad-file",
        choices=("raise", "skip"),
        default="raise",
        help="a file that cannot be opened fails the command (raise, the default) or is listed "
        "in the report as unreadable (skip)",
    )
    add_force_option(parser, help="replace OUT if it exists")
    add_filter_options(parser)


def run_report(args: argparse.Namespace) -> int:
    """one self-contained HTML page of a run or a study

    Writes one HTML page, readable offline with every script and datum inline: the run's header and structural
    check, maps of the sensor, the pulses' distributions, the run over time, the record kinds and the apertures worth
    a look. Several files make a study report.
    """
    # Failures reach the command's one error line.
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
