import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from pulse_file_builder import Aperture, build  # noqa: E402

# A little of everything, in the words of the records: background, pulse,
# step down, pulse, padding, long-pulse update, pulse, unknown, pulse.
MIXED = [
    (10, 0, 0, 0, 3, 4, 5, 6),
    (5, 20, 100, 200, 10, 20, 4, 8),
    (3, 0, 0, 0, 1, 2, 0xFFFA, 0),
    (4, 10, -50, 80, 1, 2, 3, 16),
    (0xFFFF, 0, 1, 2, 0, 0, 0, 0),
    (7, 0, 5, 6, 70000 & 0xFFFF, 1, 0xFFFD, 9),
    (2, 3, 30, 0, 1, 1, 1, 0),
    (9, 0, 1, 2, 3, 4, 5, 6),
    (1, 1, 7, 7, 7, 7, 0, 7),
]


@pytest.fixture
def small_file(tmp_path):
    """Apertures 0 (mixed records), 1 (one pulse) and 4 (empty) of a 2 x 3 sensor."""
    apertures = [Aperture(0, MIXED), Aperture(1, [(3, 2, 10, 20, 1, 2, 3, 4)], x=1), Aperture(4, [], x=1, y=1)]
    return build(apertures).write(tmp_path / "pulses.bin")


@pytest.fixture
def reader(small_file):
    import kvt_pulse_reader as kvt

    with kvt.PulseReader(str(small_file)) as r:
        yield r
