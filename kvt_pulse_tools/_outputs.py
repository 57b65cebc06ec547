"""The one rule every writing command obeys before it writes: never onto one
of its inputs, and never over an existing file unless asked to.

:func:`refuse_unsafe_output` is called by every subcommand that writes a file
or a folder (``synth``, ``info -o``, ``subset``, ``merge``, ``summary``,
``pulses``, ``records``, ``plot``, ``recover``, ``report``) with its
destination, its inputs and its ``--force`` option, before anything is
opened for writing. An input is recognised by its device and inode, so a
symbolic link, a hard link, ``./`` or ``..`` spellings all count as the
input itself; ``--force`` never lets a command write onto an input.

The module's own writers keep their rules: ``copy_apertures_to_new_file``
replaces an existing destination, ``merge_pulse_files`` refuses one, and both
refuse their own source. The commands write through a temporary name beside
the destination (:mod:`kvt_pulse_tools._atomic`) and rename it into place, so
this check, done first, is what keeps a renamed file from landing on an input.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Union

from kvt_pulse_tools._errors import ToolError

PathArg = Union[str, "os.PathLike[str]"]


def _identity(path: PathArg) -> tuple[int, int] | None:
    """(device, inode) of the file that ``path`` names, links followed; None
    when there is none."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def is_folder_output(path: PathArg) -> bool:
    """Whether an output names a folder: it ends with a path separator, or is
    an existing folder."""
    name = os.fspath(path)
    return name.endswith(("/", os.sep)) or os.path.isdir(name)


def refuse_unsafe_output(destination: PathArg, inputs: Iterable[PathArg], *, force: bool = False) -> None:
    """Raises ToolError (one line, exit status 1) when ``destination`` is one
    of ``inputs`` (same device and inode, however spelt or linked), lies
    inside a folder output that holds an input, or already exists and
    ``force`` is false. Touches nothing."""
    name = os.fspath(destination)
    target = _identity(name)
    folder = is_folder_output(name)
    for source in inputs:
        source_name = os.fspath(source)
        same = target is not None and _identity(source_name) == target
        inside = folder and target is not None and _inside(source_name, name)
        if same or inside:
            raise ToolError(f"{name} {'is' if same else 'holds'} one of the inputs ({source_name}): not overwritten")
    if not force and os.path.lexists(name.rstrip("/" + os.sep) or name):
        raise ToolError(f"{name} already exists (use --force to replace it)")


def _inside(path: str, folder: str) -> bool:
    real_folder = os.path.realpath(folder)
    return os.path.commonpath([os.path.realpath(path), real_folder]) == real_folder
