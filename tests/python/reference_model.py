"""What the reader should make of the records a test wrote.

The tests compute their expected columns here, from the words they put into
the file, with NumPy single-precision arithmetic, so that a column can be
compared value for value (and bit for bit where it matters).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from pulse_file_builder import EncodingRecord

F32 = np.float32

KIND_NAMES = ("pulse", "padding", "long_pulse_update", "long_pulse_dropped",
              "step_up", "step_down", "background", "unknown")

RECORD_COLUMNS = (
    ("ipd_f", np.uint16), ("dur_f", np.uint16),
    ("bin0_intensity", np.float32), ("bin1_intensity", np.float32),
    ("bin0_bg_mean", np.float32), ("bin1_bg_mean", np.float32),
    ("bin0_bg_std", np.float32), ("bin1_bg_std", np.float32),
    ("start_f", np.uint32), ("record_type", None),
    ("long_pulse_duration_f", np.float64), ("event_f", np.float64),
)

PULSE_COLUMNS = (
    ("index", np.uint64), ("start_f", np.uint32), ("end_f", np.uint32),
    ("dur_f", np.uint32), ("dur_s", np.float32), ("ipd_f", np.uint32),
    ("ipd_s", np.float32), ("snr", np.float32), ("intensity", np.float32),
    ("bin0_intensity", np.float32), ("intensity_display", np.float32),
    ("binratio", np.float32), ("bg_mean", np.float32), ("bg_std", np.float32),
    ("bin0_bg_mean", np.float32), ("bin0_bg_std", np.float32),
)


def signed(word: int) -> int:
    return word - 0x10000 if word >= 0x8000 else word


def scaled(word: int, enc: EncodingRecord) -> np.float32:
    if word == 0x7FFF:
        return F32(np.inf)
    if word == 0x8000:
        return np.array([0x7FC00000], dtype=np.uint32).view(np.float32)[0]
    if word == 0x8001:
        return F32(-np.inf)
    scale = F32(1 << (enc.scale_exponent & 15))
    quotient = F32(signed(word)) / scale
    return F32(quotient + F32(enc.offset & 0xFFFF))


def plain(word: int) -> np.float32:
    return F32(signed(word))


@dataclass
class Decoded:
    kind: str
    ipd_f: int
    dur_f: int
    values: Tuple[np.float32, ...]      # the six measurements, in column order
    long_pulse_duration_f: Optional[int]
    event_f: Optional[int]


def decode(words: Sequence[int], encodings: Sequence[EncodingRecord]) -> Decoded:
    w = [int(x) & 0xFFFF for x in words]
    D = lambda k: scaled(w[k], encodings[k])  # noqa: E731
    R = lambda k: plain(w[k])  # noqa: E731
    wide = w[4] + 65536 * w[5]
    if w[1] != 0:
        kind = "pulse"
    elif w[0] == 0xFFFF:
        kind = "padding"
    elif w[6] == 0xFFFD:
        kind = "long_pulse_update"
    elif w[6] == 0xFFFE:
        kind = "long_pulse_dropped"
    elif w[6] == 0xFFFB:
        kind = "step_up"
    elif w[6] == 0xFFFA:
        kind = "step_down"
    elif w[2] == 0 and w[3] == 0:
        kind = "background"
    else:
        kind = "unknown"

    lpd = ev = None
    if kind == "pulse":
        values = tuple(D(k) for k in range(2, 8))
    elif kind in ("padding", "unknown"):
        values = tuple(R(k) for k in range(2, 8))
    elif kind == "background":
        values = (F32(0), F32(0), D(4), D(5), D(6), D(7))
    else:
        marker_std = {"long_pulse_update": -3.0, "long_pulse_dropped": -2.0,
                      "step_up": -5.0, "step_down": -6.0}[kind]
        values = (D(2), D(3), R(4), R(5), F32(marker_std), R(7))
        if kind.startswith("long_pulse"):
            lpd = wide
        else:
            ev = wide
    return Decoded(kind, w[0], w[1], values, lpd, ev)


def expected_record_columns(words_list: Sequence[Sequence[int]],
                            encodings: Sequence[EncodingRecord]
                            ) -> Dict[str, object]:
    decoded = [decode(w, encodings) for w in words_list]
    n = len(decoded)
    cols: Dict[str, object] = {
        "ipd_f": np.array([d.ipd_f for d in decoded], dtype=np.uint16),
        "dur_f": np.array([d.dur_f for d in decoded], dtype=np.uint16),
    }
    names = ("bin0_intensity", "bin1_intensity", "bin0_bg_mean",
             "bin1_bg_mean", "bin0_bg_std", "bin1_bg_std")
    for j, name in enumerate(names):
        cols[name] = np.array([d.values[j] for d in decoded],
                              dtype=np.float32).reshape(n)
    total = 0
    start = []
    for d in decoded:
        total = (total + d.ipd_f) & 0xFFFFFFFF
        start.append(total)
    cols["start_f"] = np.array(start, dtype=np.uint32)
    cols["record_type"] = [d.kind for d in decoded]
    cols["long_pulse_duration_f"] = np.array(
        [np.nan if d.long_pulse_duration_f is None else d.long_pulse_duration_f
         for d in decoded], dtype=np.float64)
    cols["event_f"] = np.array(
        [np.nan if d.event_f is None else d.event_f for d in decoded],
        dtype=np.float64)
    return cols


def expected_pulses(words_list: Sequence[Sequence[int]],
                    encodings: Sequence[EncodingRecord],
                    fps: float) -> List[Dict[str, object]]:
    """The pulses of an aperture, one dict per pulse, field by field."""
    fps32 = F32(fps)
    counter = 0
    prev_end: Optional[int] = None
    pulses = []
    for i, words in enumerate(words_list):
        d = decode(words, encodings)
        counter = (counter + d.ipd_f) & 0xFFFFFFFF
        if d.kind != "pulse":
            continue
        start = counter
        end = (start + d.dur_f) & 0xFFFFFFFF
        ipd = 0 if prev_end is None else (start - prev_end) & 0xFFFFFFFF
        b0i, b1i, b0m, b1m, b0s, b1s = d.values
        with np.errstate(all="ignore"):
            pulses.append({
                "index": i, "start_f": start, "end_f": end, "dur_f": d.dur_f,
                "dur_s": F32(F32(d.dur_f) / fps32), "ipd_f": ipd,
                "ipd_s": F32(F32(ipd) / fps32),
                "snr": F32(b1i / b1s), "intensity": b1i,
                "bin0_intensity": b0i,
                "intensity_display": F32(b1i + b1m),
                "binratio": F32(b0i / b1i), "bg_mean": b1m, "bg_std": b1s,
                "bin0_bg_mean": b0m, "bin0_bg_std": b0s,
            })
        prev_end = end
        counter = end
    return pulses


def pulse_columns(pulses: Sequence[Dict[str, object]]) -> Dict[str, np.ndarray]:
    return {name: np.array([p[name] for p in pulses], dtype=dtype)
            for name, dtype in PULSE_COLUMNS}
