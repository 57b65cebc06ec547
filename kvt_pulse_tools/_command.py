"""What the subcommands of ``kvt-pulses`` share: aperture selections,
progress bars, messages, output options and the report of what was skipped.

Nothing here imports a subcommand, so every subcommand's module can import
this one (``cli`` registers them; ``tables_command`` writes the tables of one
or many files, here or on a cluster).
"""

from __future__ import annotations

import argparse
import contextlib
import inspect
import json
import os
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from dataclasses import asdict, dataclass
from typing import Any, Protocol

from kvt_pulse_tools._atomic import atomic_output
from kvt_pulse_tools._errors import ToolError
from kvt_pulse_tools._outputs import refuse_unsafe_output

PROGRAM = "kvt-pulses"
#: The exit status of a command that wrote its output but skipped something.
EXIT_SKIPPED = 3


def parse_selection(text: str) -> list[int]:
    """ "0,5,10-20" -> [0, 5, 10, 11, ..., 20], in the order given."""
    numbers: list[int] = []
    for part in text.split(","):
        part = part.strip()
        low, dash, high = part.partition("-")
        try:
            if dash:
                first, last = int(low), int(high)
                if first > last:
                    raise ValueError
                numbers.extend(range(first, last + 1))
            else:
                numbers.append(int(part))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"invalid aperture selection {text!r}: expected numbers and ranges such as 0,5,10-20"
            ) from None
    return numbers


class Progress(Protocol):
    total: Any

    def update(self, n: int = 1) -> Any: ...


class _NoProgress:
    total: Any = None

    def update(self, n: int = 1) -> None:
        pass


@contextlib.contextmanager
def progress_bar(
    args: argparse.Namespace, total: int | None, description: str, unit: str = "it", unit_scale: bool = False
) -> Iterator[Progress]:
    """A tqdm bar on standard error when it is a terminal and --quiet is not
    given; a bar that shows nothing otherwise."""
    if args.quiet or not sys.stderr.isatty():
        yield _NoProgress()
        return
    from tqdm import tqdm

    with tqdm(
        total=total,
        desc=description,
        unit=unit,
        unit_scale=unit_scale,
        file=sys.stderr,
        leave=False,
        dynamic_ncols=True,
    ) as bar:
        yield bar


@contextlib.contextmanager
def ticking(args: argparse.Namespace, description: str) -> Iterator[None]:
    """For one long call that reports no progress of its own: a bar that shows
    the time spent, refreshed from a helper thread while the call runs."""
    with progress_bar(args, None, description, unit="s") as bar:
        if isinstance(bar, _NoProgress):
            yield
            return
        done = threading.Event()

        def tick() -> None:
            while not done.wait(0.5):
                bar.update(0)

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            yield
        finally:
            done.set()
            ticker.join()


def say(args: argparse.Namespace, text: str) -> None:
    """A line for the user on standard error, unless --quiet."""
    if not args.quiet:
        print(text, file=sys.stderr)


def output_path(path: str) -> str:
    """An output's path as given; its folder must exist."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ToolError(f"cannot write {path}: no folder {folder}")
    return path


def add_subcommand(
    commands: Any, common: argparse.ArgumentParser, run: Callable[[argparse.Namespace], int], name: str | None = None
) -> argparse.ArgumentParser:
    """Registers ``kvt-pulses NAME`` with the shared options of `common`;
    `run(args)` runs it. NAME is `name`, or the run function's name without
    its ``run_``; the first line of its docstring is the command's help, the
    rest its description."""
    summary, _, rest = inspect.cleandoc(run.__doc__ or "").partition("\n")
    parser: argparse.ArgumentParser = commands.add_parser(
        name or run.__name__.removeprefix("run_"), parents=[common], help=summary, description=rest.strip()
    )
    parser.set_defaults(run=run)
    return parser


def add_files_argument(parser: argparse.ArgumentParser, help: str) -> None:
    """One or more input files, FILE..."""
    parser.add_argument("files", nargs="+", metavar="FILE", help=help)


def add_output_option(parser: argparse.ArgumentParser, help: str, metavar: str = "OUT", required: bool = True) -> None:
    parser.add_argument("-o", "--output", required=required, metavar=metavar, help=help)


def add_force_option(
    parser: argparse.ArgumentParser, help: str = "replace OUT if it exists (an input is never replaced)"
) -> None:
    parser.add_argument("-f", "--force", action="store_true", help=help)


def add_json_option(parser: argparse.ArgumentParser, help: str) -> None:
    parser.add_argument("--json", action="store_true", help=help)


def add_apertures_option(parser: Any, default: str = " (default: every aperture)") -> None:
    """-a/--apertures SELECTION, on a parser or a group of one."""
    parser.add_argument(
        "-a",
        "--apertures",
        type=parse_selection,
        metavar="SELECTION",
        help="aperture numbers and ranges, such as 0,5,10-20" + default,
    )


def add_ignore_missing_option(parser: argparse.ArgumentParser, holder: str = "the file") -> None:
    parser.add_argument(
        "--ignore-missing", action="store_true", help=f"skip selected apertures that {holder} does not hold"
    )


def checked_output(args: argparse.Namespace, inputs: Iterable[str]) -> str:
    """``args.output`` once it is known to be no input and, without --force,
    no existing file (see :func:`kvt_pulse_tools._outputs.refuse_unsafe_output`)."""
    refuse_unsafe_output(args.output, inputs, force=getattr(args, "force", False))
    return output_path(args.output)


def held_apertures(reader: Any, args: argparse.Namespace) -> list[int]:
    """The selection (-a) in its order, or every aperture without one; a
    selected aperture that the file does not hold fails, or is skipped with
    --ignore-missing."""
    if args.apertures is None:
        return list(reader.apertures)
    held = set(reader.apertures)
    missing = sorted(set(args.apertures) - held)
    if missing and not args.ignore_missing:
        shown = ", ".join(map(str, missing[:10])) + (", ..." if len(missing) > 10 else "")
        raise ToolError(
            f"{len(missing)} selected apertures are not in {args.file}: {shown} (use --ignore-missing to skip them)"
        )
    return [number for number in args.apertures if number in held]


# ---------------------------------------------------------------------------
# What --on-bad-file skip left out.


def add_skip_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("bad files")
    group.add_argument(
        "--on-bad-file",
        choices=("raise", "skip"),
        default="raise",
        help="raise (default): stop at the first file or aperture that cannot be read; skip: leave "
        "it out, list it on standard error, write the rest and exit with status 3",
    )
    group.add_argument(
        "--skipped",
        metavar="FILE.json",
        help="with --on-bad-file skip, also write what was left out as a JSON list of "
        "{file, aperture, reason} (aperture null: the whole file)",
    )


@dataclass(frozen=True)
class SkippedItem:
    """A file (``aperture`` None) or an aperture left out, and why."""

    file: str
    aperture: int | None
    reason: str


class SkipReport:
    """Collects what was skipped; ``finish`` prints it, writes ``--skipped``
    and gives the exit status (0, or 3 when anything was skipped)."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.skip = getattr(args, "on_bad_file", "raise") == "skip"
        self.items: list[SkippedItem] = []
        self._args = args

    def add(self, file: str, aperture: int | None, reason: str) -> None:
        self.items.append(SkippedItem(file, None if aperture is None else int(aperture), " ".join(reason.split())))

    def add_from(self, file: str, source: Any) -> None:
        """The apertures that the module skipped: a frame's
        ``attrs["skipped_apertures"]`` and ``["skipped_reasons"]``, or a
        stream's attributes of the same names."""
        attrs = getattr(source, "attrs", None)
        if isinstance(attrs, dict):
            numbers, reasons = attrs.get("skipped_apertures"), attrs.get("skipped_reasons")
        else:
            numbers = getattr(source, "skipped_apertures", None)
            reasons = getattr(source, "skipped_reasons", None)
        for k, number in enumerate(numbers or []):
            reason = reasons[k] if reasons is not None and k < len(reasons) else "could not be read"
            self.add(file, number, str(reason))

    def finish(self) -> int:
        for item in self.items:
            where = item.file if item.aperture is None else f"aperture {item.aperture} of {item.file}"
            print(f"{PROGRAM}: skipped {where}: {item.reason}", file=sys.stderr)
        report = getattr(self._args, "skipped", None)
        if report is not None:
            with atomic_output(output_path(report)) as temporary, open(temporary, "w", encoding="utf-8") as out:
                json.dump([asdict(item) for item in self.items], out, indent=1)
                out.write("\n")
        return EXIT_SKIPPED if self.items else 0
