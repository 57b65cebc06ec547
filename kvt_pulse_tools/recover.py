"""``kvt-pulses recover IN -o OUT``: the sound blocks of a cut or damaged
pulse file copied into a new one, by the module's ``recover_pulse_file``.

The input is only read. The output must not exist: a recovery never replaces
a file, and it is written as the module's writers write theirs, so nothing
appears under its name unless the recovery succeeds. The report (apertures
kept and lost, the cut block, bytes discarded, how the index served) goes to
standard output, as text or with ``--json`` as one JSON object.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Mapping
from typing import Any

from kvt_pulse_tools._command import add_json_option, add_output_option, add_subcommand


def add_recover(commands: Any, common: argparse.ArgumentParser) -> None:
    parser = add_subcommand(commands, common, run_recover)
    parser.add_argument("file", metavar="IN", help="the damaged pulse file (only read)")
    add_output_option(parser, "the new pulse file; refused if it exists or is IN itself")
    parser.add_argument(
        "--keep-partial",
        action="store_true",
        help="keep the complete records of the block that was cut, its record count rewritten",
    )
    add_json_option(parser, "print the report as one JSON object")


def report_lines(report: Mapping[str, Any], output: str) -> list[str]:
    """The report as lines for a reader."""
    lines = [f"recovered {report['apertures_kept']} apertures ({report['records_kept']} records) into {output}"]
    if report["apertures_lost"]:
        lost = report["apertures_lost"]
        shown = ", ".join(map(str, lost[:20])) + (f" and {len(lost) - 20} more" if len(lost) > 20 else "")
        lines.append(f"lost {len(lost)} apertures: {shown}")
    cut = report["partial_block"]
    if cut is not None:
        fate = "kept" if cut["kept"] else "dropped (--keep-partial keeps them)"
        lines.append(
            f"cut block: aperture {cut['aperture']} at byte {cut['byte_offset']}, "
            f"{cut['records_complete']} of {cut['records_claimed']} records complete, {fate}"
        )
    lines.append(
        f"discarded {report['bytes_discarded']} bytes; the walk stopped at byte {report['walk_end']}: "
        f"{report['walk_stop']}"
    )
    if report["index_rebuilt"]:
        lines.append("index: none survived; rebuilt from the walk")
    else:
        lines.append(
            f"index: found at byte {report['index_offset']}; {report['index_confirmed']} entries "
            f"confirmed the walk, {report['apertures_from_index']} blocks placed by it alone"
        )
    return lines


def run_recover(args: argparse.Namespace) -> int:
    """salvage the sound blocks of a cut or damaged pulse file

    Walks the blocks of IN back to back from its data offset, uses its index where it survives, and writes every
    sound block into the new file OUT with a fresh index. IN is never written; OUT must not exist.
    """
    from kvt_pulse_reader import recover_pulse_file

    from kvt_pulse_tools._command import output_path, ticking

    with ticking(args, "recover"):
        report = recover_pulse_file(args.file, output_path(args.output), keep_partial=args.keep_partial)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        print("\n".join(report_lines(report, args.output)))
    return 0


__all__ = ["add_recover", "report_lines", "run_recover"]
