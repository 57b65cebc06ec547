"""Tools for pulse files beside the ``kvt_pulse_reader`` module: the
``kvt-pulses`` command, structural checks, synthetic sample files and HTML
reports.

    >>> from kvt_pulse_tools import synthesize, check_file
    >>> written = synthesize("sample.bin", apertures=500, records=(50, 300), seed=1)
    >>> check_file("sample.bin", pulses=True)
    []
"""

from __future__ import annotations

from kvt_pulse_tools.check import check_file
from kvt_pulse_tools.html_report import report
from kvt_pulse_tools.synth import SynthSummary, synthesize

__version__ = "0.1.0"
__all__ = ["SynthSummary", "__version__", "check_file", "report", "synthesize"]
