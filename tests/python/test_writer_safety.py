"""The writers leave no partial output: a write that fails, a writer killed
mid-write, a destination that appears meanwhile. Writers run in a child
process whose file-size limit (RLIMIT_FSIZE) fails or kills them halfway."""

import json
import os
import signal
import subprocess
import sys
import time

import kvt_pulse_reader
import numpy as np
import pytest
from pulse_file_builder import Aperture, build, default_metadata
from reference_model import copy_bytes, merge_bytes

CHILD = r"""
import json, resource, signal, sys
import kvt_pulse_reader as kvt
a = json.loads(sys.argv[1])
if a.get("limit"):
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL if a.get("die") else signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (a["limit"], a["limit"]))
try:
    if a["what"] == "copy":
        kvt.PulseReader(a["inputs"][0]).copy_apertures_to_new_file(a["apertures"], a["output"])
    else:
        kvt.merge_pulse_files(a["inputs"], a["output"])
    print(json.dumps(None))
except RuntimeError as exc:
    print(json.dumps(str(exc)))
"""


def start(**args):
    env = dict(
        os.environ,
        PYTHONPATH=os.path.dirname(kvt_pulse_reader.__file__) + os.pathsep + os.environ.get("PYTHONPATH", ""),
    )
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, json.dumps(args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )


def sensor_file(folder, side, records):
    rng = np.random.default_rng(side)
    apertures = [
        Aperture(n, rng.integers(0, 0x10000, (records, 8)), x=n % side, y=n // side) for n in range(side * side)
    ]
    meta = dict(default_metadata(), rows=side, cols=side)
    return build(apertures, meta).write(folder / f"in{side}.bin")


@pytest.mark.parametrize("what", ["copy", "merge"])
@pytest.mark.parametrize("die", [False, True])
def test_failed_or_killed_writer_leaves_nothing(tmp_path, what, die):
    source = sensor_file(tmp_path, 10, 500)
    output = tmp_path / "out.bin"
    if what == "copy":
        output.write_bytes(b"old")  # a copy replaces its destination only on success
        expected = copy_bytes(source.read_bytes(), range(100))
    else:
        expected = merge_bytes([source.read_bytes()] * 2)
    args = dict(what=what, inputs=[str(source)] * 2, apertures=list(range(100)), output=str(output))
    child = start(**args, limit=256 * 1024, die=die)
    out, err = child.communicate(timeout=120)
    if die:
        assert child.returncode == -signal.SIGXFSZ, err
    else:
        assert json.loads(out) == "File too large (os error 27)", err
    assert (output.read_bytes() == b"old") if what == "copy" else not output.exists()
    leftovers = set(os.listdir(tmp_path)) - {source.name, output.name}
    assert all(name.startswith(".out.bin") for name in leftovers) and (die or not leftovers), leftovers
    child = start(**args, limit=len(expected))
    assert json.loads(child.communicate(timeout=120)[0]) is None
    assert output.read_bytes() == expected


def written_by(pid, inputs):
    """The largest position of a descriptor that process `pid` writes through."""
    largest = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                fields = dict(line.split(":", 1) for line in info if ":" in line)
            if int(fields["flags"], 8) & os.O_ACCMODE != os.O_RDONLY:
                largest = max(largest, int(fields["pos"]))
        except (OSError, KeyError, ValueError):
            pass
    return largest


def input_modes(pid, path):
    modes = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == str(path):
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    modes += [int(line.split()[1], 8) & os.O_ACCMODE for line in info if line.startswith("flags")]
        except OSError:
            pass
    return modes


def stopped_merge(source, output):
    """A merge stopped while it writes, or None if every try ended first."""
    for copies in (4, 8, 16, 32):
        child = start(what="merge", inputs=[str(source)] * copies, output=str(output))
        deadline = time.monotonic() + 60
        while child.poll() is None and time.monotonic() < deadline:
            if written_by(child.pid, source) > 1 << 20:
                os.kill(child.pid, signal.SIGSTOP)
                return child
        child.kill()
        child.communicate()
        if output.exists():
            output.unlink()
    return None


def test_destination_appearing_during_a_merge_is_kept(tmp_path):
    source = sensor_file(tmp_path, 8, 8192)
    output = tmp_path / "out.bin"
    child = stopped_merge(source, output)
    if child is None:
        pytest.fail("no merge was caught writing")
    try:
        time.sleep(0.05)
        assert input_modes(child.pid, source) and set(input_modes(child.pid, source)) == {os.O_RDONLY}
        assert not output.exists()
        output.write_bytes(b"theirs")
    finally:
        os.kill(child.pid, signal.SIGCONT)
    out, err = child.communicate(timeout=120)
    assert json.loads(out) == f"File {output} already exists", err
    assert output.read_bytes() == b"theirs"
    assert sorted(os.listdir(tmp_path)) == sorted([source.name, output.name])
