"""A tour of the Python API on a synthetic run, checked by ``mypy --strict``.

    python examples/tour.py [FOLDER]

Writes a sample file, checks it, reads one aperture and the whole run,
summarises every aperture, keeps the busiest ones in a new file and merges
two files into one.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import pandas as pd
from kvt_pulse_reader import PulseFilter, PulseReader, merge_pulse_files

from kvt_pulse_tools import check_file, synthesize


def tour(folder: Path) -> None:
    sample = folder / "pulses.bin"
    written = synthesize(sample, apertures=2000, records=(50, 400), seed=1)
    print(f"wrote {written.apertures} apertures, {written.records} records to {sample}")
    problems: list[str] = check_file(sample, pulses=True)
    print("problems:", problems or "none")

    bright = PulseFilter(min_snr=5.0, min_dur_f=2)
    with PulseReader(sample, pulse_filter=bright) as reader:  # a path object or a str
        first: int = reader.apertures[0]
        one: pd.DataFrame = reader.get_pulses(first)  # the reader's default filter applies
        print(f"aperture {first}: {len(one)} pulses kept of {len(reader.get_all_records(first))} records")

        pulses = reader.read_pulses(columns=["aperture_index", "start_f", "dur_s", "snr"])
        print(f"the whole run: {len(pulses)} pulses, mean duration {pulses['dur_s'].mean():.3f} s")

        summary = reader.summarize(pulse_filter_kwargs={"min_snr": 5.0})
        busiest = summary.nlargest(100, "num_pulses")["aperture_index"].to_numpy()
        print(summary[["aperture_index", "num_pulses", "mean_snr", "pulse_rate_hz"]].head())

        batches = sum(len(batch) for batch in reader.iter_pulses(batch_records=200_000))
        print(f"{batches} pulses read in batches")
        reader.copy_apertures_to_new_file(busiest, folder / "busiest.bin")

    merge_pulse_files([sample, folder / "busiest.bin"], folder / "merged.bin")
    with PulseReader(folder / "merged.bin") as merged:
        print(f"merged: {len(merged.apertures)} apertures, {merged.metadata['rows']} rows")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        tour(Path(sys.argv[1]))
    else:
        with tempfile.TemporaryDirectory() as folder:
            tour(Path(folder))
