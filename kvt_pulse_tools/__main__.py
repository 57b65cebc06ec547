"""``python -m kvt_pulse_tools``: the ``kvt-pulses`` command."""

from kvt_pulse_tools.cli import main

raise SystemExit(main())
