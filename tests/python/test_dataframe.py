"""The DataFrames the reader returns: attrs, and what a replaced pandas does."""

import pandas as pd
import pytest

import pulse_file_builder as pfb
from kvt_pulse_reader import PulseReader
from pulse_file_builder import Aperture, PulseFile

ATTR_KEYS = ["aperture_index", "aperture_x", "aperture_y", "aperture_byteloc",
             "source", "analysis_id", "frame_dur_s", "run_dur_f", "run_dur_s"]
RUN_KEYS = ATTR_KEYS[4:]


@pytest.fixture
def geometry_file(make_file):
    records = [pfb.pulse(2, 3, 10, 20, 1, 2, 3, 4), pfb.background(4),
               pfb.pulse(1, 5, 30, 10, 1, 2, 3, 4)]
    return make_file(PulseFile(apertures=[
        Aperture(0, x=0, y=0, records=records),
        Aperture(2, x=2, y=0, records=records),
        # A block whose own number differs from its index entry.
        Aperture(5, x=2 ** 32 - 1, y=2 ** 31, block_aperture_index=4_000_000_000,
                 records=records),
    ]), name="run.7/pulses.bin")


def read(reader, method, aperture):
    return getattr(reader, method)(aperture)


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
@pytest.mark.parametrize("aperture, header", [
    (0, (0, 0, 0)),
    (2, (2, 2, 0)),
    (5, (4_000_000_000, 2 ** 32 - 1, 2 ** 31)),
])
def test_attrs(geometry_file, method, aperture, header):
    r = PulseReader(str(geometry_file.path))
    attrs = read(r, method, aperture).attrs
    assert list(attrs) == ATTR_KEYS
    assert (attrs["aperture_index"], attrs["aperture_x"],
            attrs["aperture_y"]) == header
    assert attrs["aperture_byteloc"] == geometry_file.offset_of(aperture)
    assert attrs["source"] == "pulses.bin"
    assert attrs["analysis_id"] == str(geometry_file.path).split(".")[0]
    assert attrs["frame_dur_s"] == 0.009999999776482582
    assert attrs["run_dur_f"] == 6000
    assert attrs["run_dur_s"] == 60.0
    assert all(type(attrs[k]) is int for k in ATTR_KEYS[:4])


def test_each_frame_has_its_own_attrs(geometry_file):
    r = PulseReader(str(geometry_file.path))
    first = r.get_all_records(0)
    first.attrs["source"] = "changed"
    first.attrs["extra"] = 1
    del first.attrs["run_dur_f"]
    for frame in (r.get_all_records(0), r.get_pulses(2), r.get_all_records(0)):
        assert frame.attrs is not first.attrs
        assert list(frame.attrs) == ATTR_KEYS
        assert frame.attrs["source"] == "pulses.bin"
        assert frame.attrs["run_dur_f"] == 6000
    a, b = r.get_all_records(0).attrs, r.get_pulses(5).attrs
    assert a is not b
    assert {k: a[k] for k in RUN_KEYS} == {k: b[k] for k in RUN_KEYS}


def test_metadata_is_not_part_of_attrs(geometry_file):
    r = PulseReader(str(geometry_file.path))
    attrs = r.get_all_records(0).attrs
    assert "fps" not in attrs and "duration" not in attrs
    assert r.metadata["fps"] == 100


class Refused(Exception):
    pass


def refusing(*args, **kwargs):
    raise Refused("no frames today")


class FrameStandIn:
    """Takes what the reader gives a DataFrame; its set_index refuses."""

    def __init__(self, columns):
        self.columns = columns

    def pop(self, name):
        return self.columns.pop(name)

    def set_index(self, column):
        raise Refused("no index today")


def test_replaced_dataframe_that_raises(geometry_file, monkeypatch):
    r = PulseReader(str(geometry_file.path))
    before = r.get_pulses(0)
    with monkeypatch.context() as m:
        m.setattr(pd, "DataFrame", refusing)
        for call in (lambda: r.get_all_records(0), lambda: r.get_pulses(0),
                     lambda: r.get_pulses(2, include_aperture_index=False)):
            with pytest.raises(Refused, match="no frames today"):
                call()
        assert r.apertures == [0, 2, 5]
        assert r.trimmed is False
        # set_index failing in get_pulses passes through as well.
        m.setattr(pd, "DataFrame", FrameStandIn)
        with pytest.raises(Refused, match="no index today"):
            r.get_pulses(0)
        assert type(r.get_all_records(0)) is FrameStandIn
    pd.testing.assert_frame_equal(r.get_pulses(0), before)
    assert len(r.get_all_records(5)) == 3


def test_dataframe_is_looked_up_at_every_call(geometry_file, monkeypatch):
    r = PulseReader(str(geometry_file.path))
    calls = []
    original = pd.DataFrame

    def counting(columns):
        calls.append(list(columns))
        return original(columns)

    monkeypatch.setattr(pd, "DataFrame", counting)
    r.get_all_records(0)
    r.get_pulses(0)
    assert [names[0] for names in calls] == ["ipd_f", "index"]
