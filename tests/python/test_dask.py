"""Pulse files as Dask DataFrames, on a two-process cluster on the loopback."""

import struct

import pytest

pytest.importorskip("dask.dataframe", exc_type=ImportError)  # also a dask that finds no usable pyarrow
distributed = pytest.importorskip("distributed", exc_type=ImportError)

import kvt_pulse_reader  # noqa: E402
import pandas as pd  # noqa: E402
from kvt_pulse_reader import InvalidFileError, TruncatedFileError  # noqa: E402

from kvt_pulse_tools import cli, synthesize  # noqa: E402
from kvt_pulse_tools import dask as kvt_dask  # noqa: E402


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("runs")
    paths = [folder / f"r{k}.bin" for k in range(3)]
    for k, path in enumerate(paths):
        synthesize(path, apertures=60, records=(20, 200), seed=k)
    return paths


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def _file_by_file(runs, method, apertures, **kwargs):
    frames = []
    for path in runs:
        with kvt_pulse_reader.PulseReader(path) as reader:
            held = [n for n in apertures if n in reader.apertures] if apertures else None
            frame = getattr(reader, method)(held, **kwargs)
        frame.insert(0, "run", path.stem)
        frames.append(frame)
    expected = pd.concat(frames, ignore_index=True)
    expected["run"] = expected["run"].astype(pd.CategoricalDtype([path.stem for path in runs]))
    return expected


@pytest.mark.parametrize(
    "table, apertures, filter_kwargs, partition_records",
    [
        ("pulses", None, {"min_snr": 3.0, "recalc_ipd": True}, 2000),
        ("records", [7, 3, 3, 50, 8, 9, 1000], None, 100),
        ("summary", None, {"min_dur_f": 2}, 1500),
        ("summary", [40, 2, 41], None, 1),
    ],
)
def test_tables_equal_the_module_methods_file_by_file(runs, client, table, apertures, filter_kwargs, partition_records):
    method = kvt_dask.METHODS[table]
    kwargs = {} if table == "records" else {"pulse_filter_kwargs": filter_kwargs}
    frame = getattr(kvt_dask, method)(
        [str(path) for path in runs], apertures, partition_records=partition_records, ignore_missing=True, **kwargs
    )
    expected = _file_by_file(runs, method, apertures, **kwargs)
    assert frame.npartitions > len(runs)
    got = frame.compute().reset_index(drop=True)
    got.attrs = expected.attrs = {}
    pd.testing.assert_frame_equal(got, expected)
    pd.testing.assert_frame_equal(frame._meta, expected.iloc[:0])


def test_projection_reads_only_the_asked_columns(runs, monkeypatch):
    real, asked = kvt_pulse_reader.PulseReader, []

    class Recording:
        def __init__(self, path):
            self._reader = real(path)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self._reader.close()

        def read_pulses(self, apertures, **kwargs):
            asked.append(kwargs["columns"])
            return self._reader.read_pulses(apertures, **kwargs)

    frame = kvt_dask.read_pulses(runs, partition_records=3000)
    monkeypatch.setattr(kvt_pulse_reader, "PulseReader", Recording)
    sizes = frame.groupby("run", observed=True).size().compute(scheduler="sync")
    snr = frame[["snr", "run"]].compute(scheduler="sync")
    monkeypatch.undo()
    expected = _file_by_file(runs, "read_pulses", None)
    assert sizes.to_dict() == expected.groupby("run", observed=True).size().to_dict()
    assert list(snr.columns) == ["snr", "run"]
    pd.testing.assert_series_equal(snr["snr"].reset_index(drop=True), expected["snr"])
    assert asked == [["aperture_index"]] * frame.npartitions + [["snr"]] * frame.npartitions


def _bad_header(data):
    data[0:4] = b"XXXX"


def _bad_block(data):
    data_offset = struct.unpack_from("<Q", data, 32)[0]
    struct.pack_into("<I", data, data_offset + 12, 1 << 30)  # the first block's record count


@pytest.mark.parametrize(
    "damage, at_build, error",
    [(None, True, FileNotFoundError), (_bad_header, True, InvalidFileError), (_bad_block, False, TruncatedFileError)],
)
def test_a_missing_or_corrupt_file_fails_naming_it(runs, tmp_path, client, damage, at_build, error):
    bad = tmp_path / "bad_run.bin"
    if damage is not None:
        data = bytearray(runs[0].read_bytes())
        damage(data)
        bad.write_bytes(data)
    with pytest.raises(error) as caught:
        frame = kvt_dask.summarize([*runs, bad])
        assert not at_build, "the frame was built"
        frame.compute()
    assert str(bad) in str(caught.value)  # in the message itself, not only in a note


@pytest.mark.parametrize(
    "table, files, cluster",
    [
        ("pulses", 2, ["--workers", "2"]),
        ("pulses", 2, []),
        ("summary", 1, ["--scheduler", None]),
    ],
)
def test_command_on_a_cluster_writes_what_one_machine_writes(runs, client, tmp_path, capsys, table, files, cluster):
    cluster = [client.scheduler.address if option is None else option for option in cluster]
    options = ["--min-snr", "2", "-a", "0-30,45", "--ignore-missing", "-q", "--force"]
    expected = []
    for path in runs[:files]:
        assert cli.main([table, str(path), "-o", str(tmp_path / "one.parquet"), *options]) == 0
        frame = pd.read_parquet(tmp_path / "one.parquet")
        expected.append(frame.assign(run=path.stem) if files > 1 else frame)
    assert cli.main([table, *map(str, runs[:files]), "-o", str(tmp_path / "all.parquet"), *options, *cluster]) == 0
    got = pd.read_parquet(tmp_path / "all.parquet")
    if files > 1:
        assert list(got.columns)[0] == "run"
        got["run"] = got["run"].astype(str)
    pd.testing.assert_frame_equal(got, pd.concat(expected, ignore_index=True)[got.columns])


def test_absent_and_repeated_index_entries_read_as_the_module_reads_them(tmp_path):
    from conftest import MIXED
    from pulse_file_builder import Aperture, build

    apertures = [Aperture(0, MIXED), Aperture(1, MIXED[:2], x=1), Aperture(2, MIXED[3:], x=2)]
    offsets = build(apertures).offsets
    path = build(apertures, index=[(0, offsets[0]), (1, 0), (2, offsets[1]), (2, offsets[2])]).write(
        tmp_path / "quirks.bin"
    )  # 1 absent; 2 twice, the later entry winning
    with kvt_pulse_reader.PulseReader(path) as reader:  # the module's block plan, which the planning reads
        table = reader.block_table()
        assert reader.block_table([2, 0])["aperture"].tolist() == [2, 0]
    assert [table[k].tolist() for k in ("aperture", "offset", "num_records")] == [
        [0, 2],
        [offsets[0], offsets[2]],
        [len(MIXED), len(MIXED) - 3],
    ]
    got = kvt_dask.read_records(path, partition_records=1).compute(scheduler="sync")
    assert got["aperture_index"].tolist() == [0] * len(MIXED) + [2] * (len(MIXED) - 3)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), _file_by_file([path], "read_records", None))


@pytest.mark.parametrize(
    "cluster, out", [([], "t.parquet"), ([], "t/"), (["--scheduler"], "t/"), (["--workers", "2"], "t.csv")]
)
def test_bad_files_and_apertures_are_skipped_listed_and_exit_3(runs, client, tmp_path, capsys, cluster, out):
    import json

    cluster = cluster + [client.scheduler.address] if cluster == ["--scheduler"] else cluster
    damaged, garbage = tmp_path / "damaged.bin", tmp_path / "garbage.bin"
    data = bytearray(runs[1].read_bytes())
    _bad_block(data)
    damaged.write_bytes(data)
    garbage.write_bytes(b"not a pulse file")
    argv = ["pulses", str(runs[0]), str(garbage), str(damaged), "-o", f"{tmp_path}/{out}", "-q", *cluster]
    assert cli.main(argv) == 1 and not (tmp_path / out).exists()
    assert cli.main([*argv, "--on-bad-file", "skip", "--skipped", str(tmp_path / "s.json")]) == 3
    with kvt_pulse_reader.PulseReader(damaged) as reader:
        first, rest = reader.apertures[0], reader.apertures[1:]
    listed = [(item["file"], item["aperture"]) for item in json.loads((tmp_path / "s.json").read_text())]
    assert listed == [(str(garbage), None), (str(damaged), first)]
    assert capsys.readouterr().err.count("kvt-pulses: skipped ") == 2
    got = pd.read_csv(tmp_path / out) if out.endswith(".csv") else pd.read_parquet(tmp_path / out)
    expected = pd.concat(
        [_file_by_file([runs[0]], "read_pulses", None), _file_by_file([damaged], "read_pulses", rest)],
        ignore_index=True,
    )
    got["run"] = got["run"].astype(str)
    expected["run"] = expected["run"].astype(str)
    pd.testing.assert_frame_equal(got, expected, check_dtype=not out.endswith(".csv"), check_exact=False)
    with pytest.warns(kvt_dask.SkippedWarning, match="garbage"):
        frame = kvt_dask.read_pulses([runs[0], garbage, damaged], on_bad_file="skip")
    assert len(frame.compute(scheduler="sync")) == len(got)
