import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pulse_file_builder as pfb  # noqa: E402
from pulse_file_builder import Aperture, PulseFile  # noqa: E402


@pytest.fixture
def metadata():
    """The default run metadata: 100 fps, 60 s, a 2 x 3 sensor."""
    return pfb.default_metadata()


@pytest.fixture
def make_file(tmp_path):
    """Write a pulse file into the test's folder: make_file(PulseFile(...)).

    Returns the BuiltPulseFile (path, bytes, block offsets)."""
    counter = iter(range(1_000_000))

    def make(pulse_file=None, name=None, **kwargs):
        if pulse_file is None:
            pulse_file = PulseFile(**kwargs)
        elif kwargs:
            raise TypeError("give a PulseFile or keyword arguments, not both")
        path = tmp_path / (name or f"pulses_{next(counter)}.bin")
        path.parent.mkdir(parents=True, exist_ok=True)
        return pulse_file.write(path)

    return make


def mixed_records():
    """A little of everything: pulses around other kinds of record."""
    return [
        pfb.background(10, w4=3, w5=4, w6=5, w7=6),
        pfb.pulse(5, 20, w2=100, w3=200, w4=10, w5=20, w6=4, w7=8),
        pfb.step_down(3, 131073),
        pfb.pulse(4, 10, w2=-50, w3=80, w4=1, w5=2, w6=3, w7=16),
        pfb.padding(w2=1, w3=2),
        pfb.long_pulse_update(7, 70000, w2=5, w3=6, w7=9),
        pfb.pulse(2, 3, w2=30, w3=0, w4=1, w5=1, w6=1, w7=0),
        pfb.raw(9, 0, 1, 2, 3, 4, 5, 6),
        pfb.pulse(1, 1, w2=7, w3=7, w4=7, w5=7, w6=0, w7=7),
    ]


@pytest.fixture
def simple_file(make_file):
    """Three apertures on a 2 x 3 sensor, aperture 0 with mixed records."""
    return make_file(PulseFile(apertures=[
        Aperture(0, x=0, y=0, records=mixed_records()),
        Aperture(1, x=1, y=0, records=[pfb.pulse(3, 2, 10, 20, 1, 2, 3, 4)]),
        Aperture(4, x=1, y=1, records=[]),
    ]))


@pytest.fixture
def reader(simple_file):
    import kvt_pulse_reader as kvt

    r = kvt.PulseReader(str(simple_file.path))
    yield r
    r.close()
