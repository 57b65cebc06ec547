"""recover_pulse_file and `kvt-pulses recover` on random files cut and damaged
in many ways, against the reference model; and the inputs it refuses."""

import os
import struct

import kvt_pulse_reader as kvt
import numpy as np
import pytest
from pulse_file_builder import Aperture, build
from reference_model import Model, random_file

from kvt_pulse_tools.check import check_file
from kvt_pulse_tools.cli import main

SEEDS = range(int(os.environ.get("KVT_SEEDS", 40)))
DAMAGES = (
    "cut",
    "zeroed index",
    "index offset 0",
    "index offset past end",
    "garbage after index",
    "zeros after last block",
    "count too large",
    "count runs into next",
    "old blocks after data",
)


def damage(rng, model, blocks, kind):
    """The damaged bytes, the numbers whose blocks must come back, the numbers
    reported lost, the cut block (number, complete records) and whether the
    index survives."""
    data, h, numbers = model.data, model.header, [n for n, _, _ in blocks]
    end = h["index_offset"]
    if kind == "cut":
        cut = int(rng.integers(h["data_offset"] + 1, len(data)))
        whole = [n for n, at, size in blocks if at + size <= cut]
        cut_block = [(n, (cut - at - 16) // 16) for n, at, size in blocks if at + 16 <= cut < at + size]
        return data[:cut], whole, [n for n, _ in cut_block], (cut_block or [None])[0], False
    # Blocks of zero bytes alone (aperture 0, no records) before zeros are
    # taken for preallocated space.
    kept = numbers if any(data[h["data_offset"] : end]) else []
    if kind == "zeroed index":
        return data[:end] + bytes(len(data) - end), kept, [], None, False
    if kind.startswith("index offset"):
        at = 0 if kind.endswith("0") else len(data) + int(rng.integers(0, 99))
        return data[:40] + struct.pack("<Q", at) + data[48:], numbers, [], None, True
    if kind == "garbage after index":
        return data + rng.bytes(int(rng.integers(1, 300))), numbers, [], None, True
    if kind == "zeros after last block":
        return data[:end] + bytes(int(rng.integers(1, 5000))), kept, [], None, False
    if kind == "old blocks after data":  # a shorter run written over an older one
        return data[:end] + data[h["data_offset"] : end], numbers, [], None, False
    # The last block's count runs past the end of the data, as a cut block's does.
    i = int(rng.integers(len(blocks)))
    n, at, size = blocks[i]
    records = (size - 16) // 16 + (int(rng.integers(1, 4)) if kind == "count runs into next" else 2**31)
    damaged = data[: at + 12] + struct.pack("<I", records) + data[at + 16 :]
    last = (n, (size - 16) // 16) if i == len(blocks) - 1 else None
    return damaged, numbers[:i] + numbers[i + 1 :], [n], last, True


@pytest.mark.parametrize("seed", SEEDS)
def test_recovery_keeps_every_sound_block(tmp_path, seed):
    rng = np.random.default_rng(70_000 + seed)
    model = random_file(rng, mergeable=True)
    blocks = [(n, model.offsets[n], 16 + 16 * len(model.block(n)[1])) for n in model.readable]
    kind = DAMAGES[seed % len(DAMAGES)]
    data, kept, lost, cut, index_survives = damage(rng, model, blocks, kind)
    keep_partial = bool(rng.random() < 0.5)
    (tmp_path / "damaged.bin").write_bytes(data)
    out = tmp_path / "recovered.bin"
    if cut is not None and keep_partial:
        kept, lost = sorted(kept + [cut[0]]), []
    if not kept:
        with pytest.raises(RuntimeError, match="No aperture block could be recovered"):
            kvt.recover_pulse_file(tmp_path / "damaged.bin", out, keep_partial=keep_partial)
        assert not out.exists()
        return
    report = kvt.recover_pulse_file(tmp_path / "damaged.bin", out, keep_partial=keep_partial)
    recovered = Model(out.read_bytes())
    assert recovered.readable == kept, (seed, kind, report)
    for n in kept:
        got, want = recovered.block(n), model.block(n)
        assert {k: v for k, v in got[0].items() if k != "aperture_byteloc"} == {
            k: v for k, v in want[0].items() if k != "aperture_byteloc"
        }, (seed, kind)
        assert np.array_equal(got[1], want[1][: len(got[1])]), (seed, kind)
        assert len(got[1]) == (cut[1] if cut and n == cut[0] else len(want[1])), (seed, kind)
    assert report["apertures_lost"] == lost, (seed, kind, report)
    assert report["index_rebuilt"] == (not index_survives), (seed, kind, report)
    assert (report["partial_block"] or {}).get("aperture") == (cut[0] if cut else None), (seed, kind)
    stored = recovered.header["index_offset"] - recovered.header["data_offset"]
    assert report["apertures_kept"] == len(kept) and 16 * report["records_kept"] == stored - 16 * len(kept)
    index_used = 8 + 12 * model.header["num_apertures"] if index_survives else 0
    assert report["bytes_discarded"] == len(data) - len(out.read_bytes()) + 8 + 12 * len(kept) - index_used
    # Sound, but for pulses that touch in the original too.
    assert set(check_file(out, pulses=True)) <= set(check_file(model.write(tmp_path / "o.bin"), pulses=True))


def _file(tmp_path):
    return build([Aperture(0, [(1, 2, 3, 4, 5, 6, 7, 8)]), Aperture(4, [], x=1, y=1)]).write(tmp_path / "in.bin")


def _write(data):
    return lambda p: p.write_bytes(data(p.read_bytes()))


CASES = {
    "empty file": (_write(lambda d: b""), "out.bin", "The file is 0 bytes long"),
    "shorter than header": (_write(lambda d: d[:40]), "out.bin", "shorter than the 80 bytes"),
    "metadata cut": (_write(lambda d: d[:120]), "out.bin", r"The metadata \(\d+ bytes from byte 80\) runs past"),
    "random bytes": (_write(lambda d: np.random.default_rng(5).bytes(4000)), "out.bin", "header is invalid!"),
    "destination exists": (lambda p: (p.parent / "out.bin").write_bytes(b"keep"), "out.bin", "out.bin already exists"),
    "destination is the input": (lambda p: None, "in.bin", "onto itself"),
    "through a symlink": (lambda p: (p.parent / "link.bin").symlink_to(p), "link.bin", "onto itself"),
    "through a hard link": (lambda p: os.link(p, p.parent / "hard.bin"), "hard.bin", "onto itself"),
}


@pytest.mark.parametrize("case", CASES)
def test_recovery_refuses(tmp_path, capsys, case):
    prepare, destination, message = CASES[case]
    path = _file(tmp_path)
    prepare(path)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    with pytest.raises(RuntimeError, match=message):
        kvt.recover_pulse_file(path, tmp_path / destination)
    assert main(["recover", str(path), "-o", str(tmp_path / destination)]) == 1
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and error.startswith("kvt-pulses: error: Failed to recover"), error
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
