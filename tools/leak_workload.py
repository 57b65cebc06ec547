"""A workload for a leak checker (tools/valgrind-leak-check): every method of
the module, succeeding and failing, a few hundred times each."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import pulse_file_builder as pfb  # noqa: E402
from kvt_pulse_reader import PulseFilter, PulseReader, merge_pulse_files  # noqa: E402

CALLS = int(os.environ.get("KVT_LEAK_CALLS", "200"))


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "pulses.bin")
        records = [pfb.pulse(3, 2, 40, 50, 6, 7, 8, 9), pfb.background(1, 1, 2, 3, 4), pfb.step_up(2, 70000)] * 20
        pfb.PulseFile(apertures=[pfb.Aperture(n, records=records) for n in range(6)]).write(path)
        with open(os.path.join(folder, "broken.bin"), "wb") as broken:
            broken.write(b"KVtP" + bytes(20))
        for n in range(CALLS):
            with PulseReader(path, pulse_filter=PulseFilter(min_snr=0.5)) as reader:
                reader.get_all_records(n % 6)
                reader.get_pulses(n % 6)
                reader.get_pulses(n % 6, pulse_filter_kwargs={"min_intensity": 2.0, "recalc_ipd": True})
                reader.get_pulses(n % 6, include_aperture_index=False, pulse_filter=PulseFilter(mask_s=(0.1, 0.2)))
                reader.metadata, reader.apertures, reader.trimmed
                for failing in (lambda: reader.get_all_records(99), lambda: reader.get_pulses(-1),
                                lambda: reader.get_pulses(0, pulse_filter=3),
                                lambda: reader.get_pulses(0, pulse_filter_kwargs={"min_snr": "x"})):
                    try:
                        failing()
                    except (RuntimeError, TypeError, ValueError, OverflowError):
                        pass
                copy = os.path.join(folder, "copy.bin")
                reader.copy_apertures_to_new_file([1, 3], copy)
                try:
                    reader.copy_apertures_to_new_file([42], copy)
                except RuntimeError:
                    pass
            merged = os.path.join(folder, "merged.bin")
            merge_pulse_files([path, copy], merged)
            os.remove(merged)
            for failing in (lambda: PulseReader(os.path.join(folder, "broken.bin")),
                            lambda: PulseReader(os.path.join(folder, "missing.bin")),
                            lambda: merge_pulse_files([path], path)):
                try:
                    failing()
                except (RuntimeError, OSError):
                    pass


if __name__ == "__main__":
    main()
