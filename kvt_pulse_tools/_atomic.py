"""Output files that appear whole or not at all.

Every file the tools write is written beside its destination under a
temporary name and renamed into place once complete, so an interrupted
command (an error, Ctrl-C, a killed process) never leaves a partial file under
the name the user asked for.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator
from pathlib import Path
from typing import Union

from kvt_pulse_tools._errors import ToolError

PathArg = Union[str, "os.PathLike[str]"]


def temporary_name(destination: PathArg) -> Path:
    """A fresh hidden name in the destination's folder (the file is not made)."""
    target = Path(destination)
    return target.with_name(f".{target.name}.{os.getpid()}-{secrets.token_hex(4)}.tmp")


@contextlib.contextmanager
def atomic_output(destination: PathArg) -> Iterator[Path]:
    """Yields a temporary path beside ``destination`` to write; on success the
    file is renamed into place (replacing an older one) and the folder synced,
    on failure it is removed."""
    temporary = temporary_name(destination)
    try:
        yield temporary
        os.replace(temporary, destination)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        # A failure on the temporary name is reported under the user's name.
        if isinstance(error, OSError) and str(temporary) in (str(error.filename), str(error.filename2)):
            reason = error.strerror or str(error)
            raise ToolError(f"cannot write {destination}: {reason}") from error
        raise
    _sync_folder(Path(destination).parent)


def _sync_folder(folder: Path) -> None:
    with contextlib.suppress(OSError):
        descriptor = os.open(folder if str(folder) else ".", os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


@contextlib.contextmanager
def atomic_folder(destination: PathArg) -> Iterator[Path]:
    """Like :func:`atomic_output` for a folder (a Parquet dataset): yields a
    fresh temporary folder beside ``destination`` to fill; on success it
    takes the destination's name (an older file or folder there is moved
    aside, then removed), on failure it is removed."""
    import shutil

    target = Path(os.fspath(destination).rstrip("/" + os.sep) or os.fspath(destination))
    temporary = temporary_name(target)
    os.mkdir(temporary)
    try:
        yield temporary
        if os.path.lexists(target):
            old = temporary_name(target)
            os.rename(target, old)
            os.rename(temporary, target)
            if old.is_dir() and not old.is_symlink():
                shutil.rmtree(old, ignore_errors=True)
            else:
                os.unlink(old)
        else:
            os.rename(temporary, target)
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise
    _sync_folder(target.parent)
