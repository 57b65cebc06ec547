"""The kvt-pulses command and the module's mends for people, checked as a user would."""

import importlib.util
import json
import struct
import sys
import warnings

import numpy as np
import pytest
from kvt_pulse_reader import PulseFilter, PulseReader, TruncatedFileError, merge_pulse_files

from kvt_pulse_tools import cli, synthesize


def kvt(capsys, *argv):
    """Runs the command in process: (exit status, stdout, stderr)."""
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "pulses.bin"
    synthesize(path, apertures=120, records=(0, 60), seed=7, fps=50.0, duration=600.0)
    return path


def test_synth_info_and_check_agree_with_the_module(sample, capsys):
    code, out, _ = kvt(capsys, "info", "--json", sample)
    info = json.loads(out)
    with PulseReader(sample) as reader:
        records = [reader.get_all_records(n) for n in reader.apertures]
        kinds = set(np.concatenate([r["record_type"].to_numpy() for r in records]))
        for n in reader.apertures:  # pulses never touch: the order check passes
            reader.get_pulses(n, pulse_filter=PulseFilter())
        expected = (len(reader.apertures), sum(map(len, records)), reader.trimmed)
        ends = reader.read_pulses(columns=["end_f"])  # every pulse inside the run
        assert 0 < ends["end_f"].max() <= ends.attrs["run_dur_f"]
    assert code == 0 and (info["apertures"], info["records"], info["trimmed"]) == expected
    assert (info["fps"], info["duration"], info["file_size"]) == (50.0, 600.0, sample.stat().st_size)
    assert len(kinds) == 8
    assert kvt(capsys, "check", "--pulses", sample)[:2] == (0, "")


def _entry(data, k):
    """(position of index entry k, (aperture, block offset))."""
    at = struct.unpack_from("<Q", data, 40)[0] + 8 + 12 * k
    return at, struct.unpack_from("<IQ", data, at)


def _blocks(data):
    """(block offset, records) of every aperture, in index order."""
    offsets = [_entry(data, k)[1][1] for k in range(struct.unpack_from("<Q", data, 8)[0])]
    return [(at, struct.unpack_from("<I", data, at + 12)[0]) for at in offsets]


def _swap_entries(data):
    first, second = _entry(data, 3)[0], _entry(data, 4)[0]
    data[first : first + 12], data[second : second + 12] = data[second : second + 12], data[first : first + 12]


def _touching_pulses(data):
    # A pulse record right after another one gets w0 = 0: it starts where that one ends.
    for at, count in _blocks(data):
        words = np.frombuffer(bytes(data[at + 16 : at + 16 + 16 * count]), "<u2").reshape(-1, 8)
        follows = np.flatnonzero((words[:-1, 1] != 0) & (words[1:, 1] != 0))
        if follows.size:
            data[at + 16 * (int(follows[0]) + 2) : at + 16 * (int(follows[0]) + 2) + 2] = b"\0\0"
            return


def _block_grows(data, k):
    at, count = _blocks(data)[k]
    data[at + 12 : at + 16] = struct.pack("<I", count + 1)


DAMAGES = [
    ("magic", lambda d: d.__setitem__(slice(0, 4), b"KVtX"), "header: magic"),
    ("record size", lambda d: d.__setitem__(slice(28, 32), struct.pack("<I", 8)), "header: record_size"),
    ("metadata", lambda d: d.__setitem__(80, ord("[")), "metadata: not UTF-8 JSON"),
    ("index magic", lambda d: d.__setitem__(_entry(d, 0)[0] - 8, ord("X")), "no index magic"),
    ("index order", _swap_entries, "entries must ascend"),
    ("trailing bytes", lambda d: d.extend(b"\0" * 5), "after its index"),
    ("cut short", lambda d: d.__delitem__(slice(-5, None)), "past the end of the file"),
    (
        "block header",
        lambda d: d.__setitem__(slice(_entry(d, 2)[1][1] + 8, _entry(d, 2)[1][1] + 12), b"\xff" * 4),
        "names aperture",
    ),
    ("block end", lambda d: _block_grows(d, -1), "past the index"),
    ("overlap", lambda d: _block_grows(d, 5), "overlaps the block"),
    ("pulses", _touching_pulses, "touch or overlap"),
]


@pytest.mark.parametrize("damage, fragment", [d[1:] for d in DAMAGES], ids=[d[0] for d in DAMAGES])
def test_check_names_each_fault_on_one_line(sample, tmp_path, capsys, damage, fragment):
    data = bytearray(sample.read_bytes())
    damage(data)
    damaged = tmp_path / "damaged.bin"
    damaged.write_bytes(bytes(data))
    code, out, _ = kvt(capsys, "check", "--pulses", sample, damaged)
    assert code == 1
    lines = out.splitlines()
    assert lines[0].startswith(f"{damaged}: ") and fragment in lines[0], out
    hint = [
        f"{damaged}: the file looks cut short or damaged: `kvt-pulses recover {damaged} -o NEW_FILE` can "
        "salvage its sound blocks into a new file"
    ]
    assert lines[1:] == hint if fragment == "past the end of the file" else lines[1:] in ([], hint), out
    found = [line[len(f"{damaged}: ") :] for line in lines]
    code, out, _ = kvt(capsys, "check", "--json", "--pulses", damaged)
    assert code == 1 and json.loads(out) == [
        {"file": str(damaged), "problems": found[:1], "hint": (found[1:] or [None])[0]}
    ]


def test_subset_and_merge_write_what_the_module_writes(sample, tmp_path, capsys):
    with PulseReader(sample) as reader:
        chosen = [n for n in reader.apertures if n <= 40 or 60 <= n <= 80]
        reader.copy_apertures_to_new_file(chosen, tmp_path / "copy.bin")
    code, _, err = kvt(capsys, "subset", sample, "-o", tmp_path / "subset.bin", "-a", "0-40,60-80", "--ignore-missing")
    assert code == 0 and f"wrote {len(chosen)} apertures" in err
    assert (tmp_path / "subset.bin").read_bytes() == (tmp_path / "copy.bin").read_bytes()
    merge_pulse_files([sample, tmp_path / "copy.bin"], tmp_path / "merged.bin")
    assert kvt(capsys, "merge", sample, tmp_path / "copy.bin", "-o", tmp_path / "cli.bin")[0] == 0
    assert (tmp_path / "cli.bin").read_bytes() == (tmp_path / "merged.bin").read_bytes()
    where = "num_pulses >= 30 and mean_snr > 9"
    with PulseReader(sample) as reader:
        chosen = reader.summarize().query(where)["aperture_index"].to_numpy()
        reader.copy_apertures_to_new_file(chosen, tmp_path / "where_copy.bin")
    assert kvt(capsys, "subset", sample, "-o", tmp_path / "where.bin", "--where", where)[0] == 0
    assert (tmp_path / "where.bin").read_bytes() == (tmp_path / "where_copy.bin").read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "cli.bin",
        "copy.bin",
        "merged.bin",
        "subset.bin",
        "where.bin",
        "where_copy.bin",
    ]


TABLES = [
    ("summary", "summary.parquet", lambda r: r.summarize(pulse_filter_kwargs={"min_snr": 5.0})),
    ("pulses", "pulses.csv", lambda r: r.read_pulses(pulse_filter_kwargs={"min_snr": 5.0})),
    ("records", "records.arrow", lambda r: r.read_records()),
    ("records", None, lambda r: r.read_records()),
]


@pytest.mark.parametrize("command, out, expected", TABLES, ids=[f"{t[0]}-{t[1]}" for t in TABLES])
def test_tables_equal_the_module_methods(sample, tmp_path, capsys, command, out, expected):
    import io

    import pandas as pd

    pa = pytest.importorskip("pyarrow")
    argv = [command, sample, "--min-snr", "5"][: 4 if command != "records" else 2]
    code, text, _ = kvt(capsys, *argv, *(["-o", tmp_path / out] if out else []))
    assert code == 0
    if out is None:
        found = pd.read_csv(io.StringIO(text), sep="\t")
    elif out.endswith(".csv"):
        found = pd.read_csv(tmp_path / out)
    elif out.endswith(".arrow"):
        found = pa.ipc.open_file(tmp_path / out).read_pandas()
    else:
        found = pd.read_parquet(tmp_path / out)
    with PulseReader(sample) as reader:
        want = expected(reader)
    if out is None or out.endswith(".csv"):  # text: floats read back as double, kinds as words
        want = want.astype({c: "float64" for c in want.columns if want[c].dtype.kind == "f"})
        if "record_type" in want:
            want["record_type"] = want["record_type"].astype(str)
    pd.testing.assert_frame_equal(
        found,
        want,
        check_dtype=out is not None and not out.endswith(".csv"),
        check_exact=False,
        rtol=1e-6,
        check_categorical=False,
    )


@pytest.mark.parametrize("what", [["--map", "mean_snr"], ["--aperture", "2"], ["--hist", "dur_s"]])
def test_plots_are_pictures(sample, tmp_path, capsys, what):
    image = pytest.importorskip("matplotlib.image")
    assert kvt(capsys, "plot", sample, "-o", tmp_path / "p.png", *what)[0] == 0
    pixels = image.imread(tmp_path / "p.png")
    assert pixels.shape[:2] == (500, 800)
    colours = {tuple(c) for c in np.unique((pixels[..., :3] * 255).round().reshape(-1, 3), axis=0).astype(int)}
    assert len(colours) > 50  # not blank
    if what[0] == "--map":  # dead (absent) and quiet (no pulses) apertures each in a colour of their own
        from matplotlib.colors import to_rgb

        from kvt_pulse_tools import plots

        above_legend = {tuple(c) for c in (pixels[:440, :, :3] * 255).round().astype(int).reshape(-1, 3)}
        assert {
            tuple(round(v * 255) for v in to_rgb(c)) for c in (plots.ABSENT_COLOUR, plots.NO_PULSES_COLOUR)
        } <= above_legend


@pytest.mark.parametrize("column", ["dur_f", "snr"])
def test_histograms_read_in_batches_bin_the_whole_column(sample, column):
    from kvt_pulse_tools import plots

    with PulseReader(sample) as reader:
        count, bins, counts = plots.histogram_bins(reader, column, {"min_snr": 2.0}, batch_records=300)
        data = reader.read_pulses(pulse_filter_kwargs={"min_snr": 2.0}, columns=[column])[column].to_numpy(float)
    data = data[np.isfinite(data)]
    cap = np.percentile(data, 99.5)
    shown = data[data <= (cap if column == "dur_f" else bins[-1])]  # 100 bins: the cap within a fine bin
    np.testing.assert_array_equal(counts, np.histogram(shown, bins)[0])
    lower = np.sort(data)[int(0.995 * (data.size - 1))]  # 100 bins: capped at the upper edge of this value's fine bin
    assert count == data.size and (
        len(counts) == len(np.unique(shown))
        if column == "dur_f"
        else len(counts) == 100 and 0 <= bins[-1] - lower <= np.ptp(data) / 2**16 * 1.001
    )


WRITERS = {  # each writing command, with the extension of an output it can write
    "subset": (["subset", "{i}", "-a", "0-5", "--ignore-missing", "-o{o}"], ".bin"),
    "merge": (["merge", "{i}", "-o{o}"], ".bin"),
    "pulses": (["pulses", "{i}", "-o{o}"], ".parquet"),
    "records": (["records", "{i}", "-o{o}"], ".csv"),
    "summary": (["summary", "{i}", "-o{o}"], ".tsv"),
    "plot": (["plot", "{i}", "--hist", "dur_s", "-o{o}"], ".svg"),
    "info": (["info", "{i}", "-o{o}"], ".json"),
    "synth": (["synth", "{o}", "--apertures", "5"], ".bin"),
    "dataset": (["summary", "{i}", "-o{o}/"], "/"),
    "report": (["report", "{i}", "-o{o}"], ".html"),
}


@pytest.mark.parametrize(
    "command, how",
    [(c, h) for c in WRITERS for h in ("input", "symlink", "hardlink", "existing") if c != "synth" or h == "existing"],
)
def test_no_command_writes_onto_an_input_or_replaces_a_file_unasked(sample, tmp_path, capsys, command, how):
    argv, extension = WRITERS[command]
    source = tmp_path / "run.bin"
    source.write_bytes(sample.read_bytes())
    if how == "existing":
        out = tmp_path / f"old{extension.strip('/')}"
        out.mkdir() if extension == "/" else out.write_bytes(b"old")
    elif command == "dataset":  # a dataset's folder may not hold an input, however spelt
        out = {"input": tmp_path, "hardlink": tmp_path / ".." / tmp_path.name, "symlink": tmp_path / "link"}[how]
        out.symlink_to(tmp_path) if how == "symlink" else None
    else:
        out = source if how == "input" else tmp_path / "link"
        out.symlink_to(source) if how == "symlink" else out.hardlink_to(source) if how == "hardlink" else None
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    argv = [a.format(i=source, o=out) for a in argv]
    code, _, err = kvt(capsys, *argv, *(["--force"] if how != "existing" else []))  # never onto an input
    assert (code, err.count("\n")) == (1, 1) and err.startswith("kvt-pulses: error: "), err
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    if how == "existing" and (command != "report" or importlib.util.find_spec("plotly")):  # asked to, it replaces
        assert kvt(capsys, *argv, "--force", "-q")[0] == 0 and (out.is_dir() or out.read_bytes() != b"old")


@pytest.mark.parametrize(
    "extension, magic",
    [(".png", b"\x89PNG"), (".svg", b"<?xml"), (".pdf", b"%PDF"), (".jpeg", b"\xff\xd8"), (".gif", None)],
)
def test_plots_are_written_in_the_format_their_extension_names(sample, tmp_path, capsys, extension, magic):
    code, _, err = kvt(capsys, "plot", sample, "--aperture", "2", "-o", tmp_path / f"p{extension}")
    assert code == (0 if magic else 1) and (magic is not None or "cannot write a picture as" in err)
    assert [p.read_bytes()[: len(magic)] for p in tmp_path.iterdir()] == ([magic] if magic else [])


@pytest.mark.parametrize(
    "argv, code, fragment",
    [
        (
            ["info", "{tmp}/missing.bin"],
            1,
            "kvt-pulses: error: No such file or directory (os error 2); in the file '{tmp}",
        ),
        (["summary", "{tmp}"], 1, "kvt-pulses: error: Is a directory (os error 21); in the file '{tmp}'"),
        (["pulses", "{here}"], 1, "kvt-pulses: error: Pulse file header is invalid!; in the file '{here}' ("),
        (["records", "{sample}", "-o", "{tmp}/none/r.csv"], 1, "kvt-pulses: error: cannot write {tmp}/none/r.csv"),
        (
            ["summary", "{sample}", "-o", "/sys/s.csv"],
            1,
            "kvt-pulses: error: cannot write /sys/s.csv: Permission denied\n",
        ),
        (
            ["subset", "{sample}", "-a", "1", "-o", "/sys/s.bin"],
            1,
            "error: cannot write /sys/s.bin: Permission denied\n",
        ),
        (
            ["subset", "{sample}", "-a", "1", "-o", "{tmp}", "--force"],
            1,
            "kvt-pulses: error: cannot write {tmp}: Is a directory\n",
        ),
        (["merge", "{sample}", "-o", "{sample}"], 1, "kvt-pulses: error: {sample} is one of the inputs"),
        (["subset", "{sample}", "-o", "{tmp}/s.bin", "-a", "5000"], 1, "are not in"),
        (["subset", "{sample}", "-o", "{tmp}/s.bin", "-a", "3-x"], 2, "invalid aperture selection"),
        (["synth", "{tmp}/s.bin", "--records", "9-2"], 1, "kvt-pulses: error: records must be"),
        ([], 2, "required: COMMAND"),
    ],
)
def test_errors_and_exit_codes(sample, tmp_path, capsys, argv, code, fragment):
    fill = {"tmp": tmp_path, "sample": sample, "here": __file__}
    status, _, err = kvt(capsys, *(a.format(**fill) for a in argv))
    assert (
        status == code and fragment.format(**fill) in err and err.count("\n") == (1 if code == 1 else err.count("\n"))
    )
    assert list(tmp_path.iterdir()) == []


def test_interrupt_exits_130_and_leaves_no_file(tmp_path, capsys, monkeypatch):
    def interrupted(written, size=0):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "progress_bar", lambda *a, **k: _Bar(interrupted))
    assert kvt(capsys, "synth", tmp_path / "s.bin")[0] == 130
    assert list(tmp_path.iterdir()) == []


class _Bar:
    def __init__(self, update):
        self.update = update

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_missing_optional_library_names_the_extra(sample, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    code, _, err = kvt(capsys, "summary", sample, "-o", tmp_path / "s.parquet")
    assert (code, err) == (
        1,
        "kvt-pulses: error: writing Parquet needs pyarrow: pip install 'kvt_pulse_reader[arrow]'\n",
    )
    assert list(tmp_path.iterdir()) == []


def test_file_names_take_path_objects_but_not_bytes(sample, tmp_path):
    with PulseReader(sample) as reader:
        reader.copy_apertures_to_new_file(reader.apertures[:3], tmp_path / "c.bin")
        with pytest.raises(TypeError, match="^argument 'file_name': 'bytes' object cannot be converted to 'PyString'$"):
            reader.copy_apertures_to_new_file([0], bytes(tmp_path / "b.bin"))
    merge_pulse_files([tmp_path / "c.bin"], tmp_path / "m.bin")
    assert PulseReader(tmp_path / "m.bin").apertures == PulseReader(str(tmp_path / "c.bin")).apertures


def test_unknown_filter_keywords_warn_and_are_ignored(sample):
    with pytest.warns(UserWarning, match="unknown keyword 'minsnr'; did you mean 'min_snr'"):
        PulseFilter(minsnr=5)
    with PulseReader(sample) as reader, pytest.warns(UserWarning, match="'bogus'"):
        assert len(reader.get_pulses(0, pulse_filter_kwargs={"bogus": 1})) == len(reader.get_pulses(0))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        PulseFilter(min_snr=5, mask_s=(1.0, 2.0), recalc_ipd=True)


def test_errors_note_where_the_file_is_cut(sample, tmp_path):
    cut = tmp_path / "cut.bin"
    cut.write_bytes(sample.read_bytes())
    blocks = _blocks(bytearray(cut.read_bytes()))
    k = max(range(len(blocks)), key=lambda k: blocks[k][1])
    block = blocks[k][0]
    with PulseReader(cut) as reader:
        last = reader.apertures[k]
        with open(cut, "r+b") as f:
            f.truncate(block + 20)
        with pytest.raises(TruncatedFileError) as info:
            reader.get_all_records(last)
    assert str(info.value) == "Failed to get records: failed to fill whole buffer"
    assert (
        f"in aperture {last} of the file '{cut}' ({block + 20} bytes long): its block at byte {block}"
        in info.value.__notes__[0]
    )
    assert info.value.__notes__[0].endswith(
        "past the end of the file: the file was cut short or the block's header is "
        "damaged; `kvt-pulses recover` can salvage the apertures it still holds"
    )
