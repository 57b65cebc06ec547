"""Writes a small synthetic pulse file and prints the pulses of one aperture.

The file holds two apertures. Each record is eight little-endian u16 words:
w0 frames since the previous record, w1 the pulse duration (0: not a pulse),
w2..w7 the two time bins' intensity, background mean and background deviation.
"""

import json
import os
import struct
import sys
import tempfile

from kvt_pulse_reader import PulseReader


def pulse(ipd, dur, intensity, bg_std):
    return struct.pack("<8H", ipd, dur, intensity // 2, intensity, 10, 12, bg_std, bg_std)


def background(ipd):
    return struct.pack("<8H", ipd, 0, 0, 0, 10, 12, 3, 4)


def write_pulse_file(path, apertures, metadata):
    text = json.dumps(metadata).encode()
    data_offset = (80 + len(text) + 15) // 16 * 16
    blocks, index, position = b"", [], data_offset
    for number, (x, y, records) in apertures.items():
        block = struct.pack("<4I", x, y, number, len(records)) + b"".join(records)
        index.append(struct.pack("<IQ", number, position))
        blocks += block
        position += len(block)
    header = struct.pack("<4sIQIBBHIIQQ", b"KVtP", 0, len(apertures), len(text), 1, 4, 8, 0, 16, data_offset, position)
    encodings = struct.pack("<BBH", 0, 0, 0) * 8  # scale 1, offset 0 for every word
    padding = b"\0" * (data_offset - 80 - len(text))
    with open(path, "wb") as out:
        out.write(header + encodings + text + padding + blocks + b"$INDX$\r\n" + b"".join(index))


def main():
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "pulses.bin")
    write_pulse_file(
        path,
        {
            0: (0, 0, [background(100), pulse(20, 5, 400, 20), pulse(30, 12, 900, 25), background(50)]),
            1: (1, 0, [pulse(7, 3, 300, 30)]),
        },
        {"fps": 100, "duration": 60},
    )
    with PulseReader(path) as reader:
        print("apertures:", reader.apertures)
        pulses = reader.get_pulses(0)
        print(pulses.to_string())
        print("attrs:", pulses.attrs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
