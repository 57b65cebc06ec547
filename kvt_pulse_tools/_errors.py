"""The tools' one exception for a failure to report as one line, and the
import of optional libraries that names the extra which brings them."""

import importlib
from typing import Any


class ToolError(Exception):
    """A failure to report as one line, without a traceback: an unknown table
    format, a missing optional library, a selection the file does not hold."""


def require(module: str, purpose: str, extra: str) -> Any:
    """Imports an optional library, or fails naming the extra that brings it:
    "writing Parquet needs pyarrow: pip install 'kvt_pulse_reader[arrow]'"."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise ToolError(f"{purpose} needs {top}: pip install 'kvt_pulse_reader[{extra}]'") from None
