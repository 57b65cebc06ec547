"""The Arrow streams read by pyarrow (and DuckDB when installed), against read_pulses and read_records."""

import gc
import sys

import numpy as np
import pytest
from kvt_pulse_reader import PulseReader
from pulse_file_builder import Aperture, build
from reference_model import random_file, random_filter
from test_leaks import rss
from test_whole_run import assert_frames, same, unsorted_file

pa = pytest.importorskip("pyarrow")

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"


def arrow_types(frame):
    """The Arrow schema of a frame of the module, as pyarrow converts it."""
    return pa.Schema.from_pandas(frame, preserve_index=False).remove_metadata()


def assert_records(got, want):
    assert_frames(got.drop(columns=["record_type"]), want.drop(columns=["record_type"]))
    assert same(got["record_type"].cat.codes, want["record_type"].cat.codes)
    if len(got):  # without a batch, no dictionary
        assert list(got["record_type"].cat.categories) == list(want["record_type"].cat.categories)


@pytest.mark.parametrize("seed", range(12))
def test_streams_equal_the_whole_run_methods(tmp_path, seed):
    rng = np.random.default_rng(seed)
    model = random_file(rng)
    readable = model.readable
    selection = None if rng.random() < 0.4 else [int(n) for n in rng.choice(readable, int(rng.integers(0, 9)))]
    kw = None if rng.random() < 0.3 else random_filter(rng, model)
    args = dict(
        pulse_filter_kwargs=kw, errors="skip", threads=int(rng.integers(1, 4)), batch_records=int(rng.integers(0, 120))
    )
    columns = None if rng.random() < 0.6 else ["snr", "aperture_y", "index", "aperture_index"]
    with PulseReader(str(model.write(tmp_path / "pulses.bin"))) as reader:
        stream = reader.stream_pulses(selection, columns=columns, **args)
        want = reader.read_pulses(selection, pulse_filter_kwargs=kw, errors="skip", columns=columns)
        batches = pa.RecordBatchReader.from_stream(stream)
        assert batches.schema == arrow_types(want)
        assert pa.Schema._import_from_c_capsule(stream.__arrow_c_schema__()) == batches.schema
        expected = list(reader.iter_pulses(selection, columns=columns, **args))
        got = list(batches)
        assert len(got) == len(expected)  # the batches of iter_pulses, one for one
        for batch, frame in zip(got, expected):
            assert_frames(batch.to_pandas(), frame)

        records = reader.read_records(selection)
        allocated = pa.total_allocated_bytes()
        table = pa.table(reader.stream_records(selection, batch_records=args["batch_records"]))
        assert pa.total_allocated_bytes() == allocated  # the batches lend the module's own columns
        kinds = table.schema.get_field_index("record_type")
        assert table.schema.remove(kinds) == arrow_types(records.drop(columns=["record_type"]))
        assert table.schema.field(kinds).type == pa.dictionary(pa.int8(), pa.string())
        assert_records(table.to_pandas(), records)


@pytest.mark.parametrize("seed", range(3))
def test_duckdb_reads_the_streams(tmp_path, seed):
    duckdb = pytest.importorskip("duckdb")
    model = random_file(np.random.default_rng(seed))
    with PulseReader(str(model.write(tmp_path / "pulses.bin"))) as reader:
        pulses, records = reader.stream_pulses(batch_records=30), reader.stream_records(batch_records=30)
        assert_frames(duckdb.sql("select * from pulses").df(), reader.read_pulses())
        got, want = duckdb.sql("select * from records").df(), reader.read_records()
        assert_frames(got.drop(columns=["record_type"]), want.drop(columns=["record_type"]))
        assert list(got["record_type"]) == list(want["record_type"].astype(str))


def test_stream_rules(tmp_path):
    path = str(unsorted_file(tmp_path / "p.bin"))
    reader = PulseReader(path)
    stream = reader.stream_pulses(batch_records=1)
    batches = pa.RecordBatchReader.from_stream(stream)
    with pytest.raises(RuntimeError, match="already been exported"):
        stream.__arrow_c_stream__()
    with pytest.raises(RuntimeError, match="already been exported"):
        pa.table(stream)
    first = batches.read_next_batch()
    assert len(reader.read_pulses([2])) == 1  # the reader is free between batches
    unexported = reader.stream_pulses()
    reader.close()
    # pyarrow raises the error the stream reports, in a class of its own choosing.
    with pytest.raises(Exception, match=CLOSED):
        batches.read_next_batch()
    with pytest.raises(RuntimeError, match=CLOSED):
        reader.stream_records()
    with pytest.raises(RuntimeError, match=CLOSED):
        pa.table(unexported)  # made before the close, exported after it
    assert first.column("aperture_index").to_pylist() == [0, 0]

    with PulseReader(path) as reader:
        with pytest.raises(Exception, match="Failed to get pulses: .*aren't sorted"):
            pa.table(reader.stream_pulses(pulse_filter_kwargs={}))
        skipping = pa.table(reader.stream_pulses(pulse_filter_kwargs={}, errors="skip", batch_records=1))
        assert skipping.column("aperture_index").to_pylist() == [0, 0, 2, 5]


def test_memory_of_a_batch_comes_back(tmp_path):
    words = np.zeros((100_000, 8), np.uint16)
    words[:, 0], words[:, 1] = 1, 1
    path = str(build([Aperture(n, words) for n in range(10)]).write(tmp_path / "big.bin"))
    del words
    with PulseReader(path) as reader:
        pa.table(reader.stream_pulses([0]))  # warm up the allocators
        gc.collect()
        before, references, peak = rss(), sys.getrefcount(reader), 0
        for batch in pa.RecordBatchReader.from_stream(reader.stream_pulses(batch_records=1)):
            peak = max(peak, rss() - before)
            assert batch.num_rows == batch.column("index")[-1].as_py() + 1
            del batch
        assert peak < 40 * 2**20  # about a batch of 100,000 pulses of 76 bytes, not the run's 76 MB
        table = pa.table(reader.stream_pulses(batch_records=1))
        # Most of the 76 MB is new memory (some comes from buffers kept for reuse).
        assert table.num_rows == 1_000_000 and rss() - before > 36 * 2**20
        del table
        gc.collect()
        assert rss() - before < 16 * 2**20
        assert sys.getrefcount(reader) == references
