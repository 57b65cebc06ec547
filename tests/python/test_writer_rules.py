"""Rules of the two writers beyond the bytes they write: an empty copy is
refused, a killed copy leaves nothing, other threads run while a writer
works, the new file's mode follows the umask, and an existing destination is
replaced by a copy and refused by a merge."""

import os
import signal
import subprocess
import sys
import threading
import time

import kvt_pulse_reader as kvt
import numpy as np
import pytest
from pulse_file_builder import Aperture, build, default_metadata
from reference_model import copy_bytes, merge_bytes

BLOCKS, RECORDS = 64, 65_536  # 64 blocks of 1 MiB


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    rng = np.random.default_rng(7)
    blocks = [Aperture(n, rng.integers(0, 0x10000, (RECORDS, 8)), x=n % 8, y=n // 8) for n in range(BLOCKS)]
    return build(blocks, dict(default_metadata(), rows=8, cols=8)).write(tmp_path_factory.mktemp("in") / "in.bin")


def write(what, source, output):
    if what == "copy":
        with kvt.PulseReader(str(source)) as reader:
            reader.copy_apertures_to_new_file(range(0, BLOCKS, 2), str(output))
    else:
        kvt.merge_pulse_files([str(source)] * 2, str(output))


@pytest.mark.parametrize("request_, ignore", [([], False), ([], True), ((7, 99), True)])
def test_empty_copy_is_refused(small_file, request_, ignore):
    with kvt.PulseReader(str(small_file)) as reader, pytest.raises(RuntimeError, match="^No apertures to copy$"):
        reader.copy_apertures_to_new_file(request_, str(small_file.parent / "out.bin"), ignore)
    assert os.listdir(small_file.parent) == [small_file.name]


def writing(pid, folder):
    """Whether process `pid` has written more than 1 MiB to a file in `folder`."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                fields = dict(line.split(":", 1) for line in info if ":" in line)
            if (
                os.readlink(f"/proc/{pid}/fd/{fd}").startswith(f"{folder}/")
                and int(fields["pos"]) > 1 << 20
                and int(fields["flags"], 8) & os.O_ACCMODE != os.O_RDONLY
            ):
                return True
        except (OSError, KeyError, ValueError):
            pass
    return False


def test_killed_copy_leaves_nothing(large, tmp_path):
    code = "import kvt_pulse_reader as k, sys; k.PulseReader(sys.argv[1]).copy_apertures_to_new_file(range(64), sys.argv[2])"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(kvt.__file__), *sys.path]))
    for _ in range(5):
        child = subprocess.Popen([sys.executable, "-c", code, str(large), str(tmp_path / "out.bin")], env=env)
        while child.poll() is None and not writing(child.pid, tmp_path):
            pass
        child.kill()
        if child.wait() == -signal.SIGKILL and not (tmp_path / "out.bin").exists():
            break  # killed mid-write
        for name in os.listdir(tmp_path):
            os.unlink(tmp_path / name)
    else:
        pytest.fail("no copy was caught writing")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("what", ["copy", "merge"])
def test_other_threads_run_while_a_writer_works(large, tmp_path, what):
    """With a huge switch interval, the watching thread runs only when the
    writer lets go of the interpreter lock: it sees the writer's output only
    if that happens while the bytes move."""
    seen, stop = threading.Event(), threading.Event()

    def watching():
        while not stop.is_set():
            if writing(os.getpid(), tmp_path):
                seen.set()
            time.sleep(0.0001)

    interval = sys.getswitchinterval()
    worker = threading.Thread(target=watching)
    sys.setswitchinterval(1000.0)
    try:
        worker.start()
        write(what, large, tmp_path / "out.bin")
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        worker.join()
    assert seen.is_set()


@pytest.mark.parametrize("what", ["copy", "merge"])
@pytest.mark.parametrize("mask", [0o022, 0o077, 0o000], ids=oct)
def test_mode_follows_the_umask(large, tmp_path, what, mask):
    old = os.umask(mask)
    try:
        write(what, large, tmp_path / "out.bin")
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "out.bin").st_mode & 0o777 == 0o666 & ~mask


@pytest.mark.parametrize("what", ["copy", "merge"])
def test_existing_destination_replaced_by_a_copy_refused_by_a_merge(small_file, tmp_path, what):
    output = tmp_path / "out.bin"
    output.write_bytes(b"old")
    data = small_file.read_bytes()
    if what == "copy":
        with kvt.PulseReader(str(small_file)) as reader:
            reader.copy_apertures_to_new_file([4, 0], str(output))
        assert output.read_bytes() == copy_bytes(data, [0, 4])
    else:
        with pytest.raises(RuntimeError, match=f"^File {output} already exists$"):
            kvt.merge_pulse_files([str(small_file)], str(output))
        assert output.read_bytes() == b"old" and merge_bytes([data]) != b"old"
    assert sorted(os.listdir(tmp_path)) == ["out.bin", "pulses.bin"]
