"""What the module must make of a pulse file: the format's rules, in NumPy.

    model = random_file(rng, mergeable=False)   a random sound file and its model
    model = Model(data)                         the model of any sound file's bytes
    model.write(path) -> path                   writes model.data
    model.apertures                             the index's numbers in file order, repeats included
    model.readable                              the numbers a lookup finds, ascending, once each
    model.block(n) -> (header, words)           header: {"aperture_index", "aperture_x",
                                                "aperture_y", "aperture_byteloc"}; words (r, 8) u16
    model.records(n) -> dict                    the columns of get_all_records(n), in order
    model.pulses(n, filter_kwargs=None) -> dict the columns of get_pulses(n) with "index" and
                                                without "aperture_index"; raises Unsorted
    random_filter(rng, model) -> dict           random PulseFilter keywords, NaN bounds included
    copy_bytes(data, apertures) -> bytes        what copy_apertures_to_new_file writes
    merge_bytes([data, ...]) -> bytes           what merge_pulse_files writes

Every rule here comes from the format: words are little-endian u16; word 1 not
0 makes a pulse, word 0 = 0xFFFF padding, word 6 a marker, words 2 and 3 both
0 background, else unknown; scaled words are s / 2^(e & 15) + offset in f32
with 0x7FFF, 0x8000 and 0x8001 as +inf, NaN and -inf.
"""

from __future__ import annotations

import json
import struct

import numpy as np
from pulse_file_builder import FIELDS, HEADER, INDEX_MAGIC, Aperture, build, default_metadata

F32 = np.float32
MASK32 = 0xFFFFFFFF
KINDS = ("pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown")
MARKS = (0xFFFD, 0xFFFE, 0xFFFB, 0xFFFA)  # kinds 2 to 5, in word 6
MEASURES = ("bin0_intensity", "bin1_intensity", "bin0_bg_mean", "bin1_bg_mean", "bin0_bg_std", "bin1_bg_std")
RECORD_TYPES = dict(
    ipd_f=np.uint16,
    dur_f=np.uint16,
    **dict.fromkeys(MEASURES, np.float32),
    start_f=np.uint32,
    record_type=list,
    long_pulse_duration_f=np.float64,
    event_f=np.float64,
)
PULSE_TYPES = dict(
    index=np.uint64,
    start_f=np.uint32,
    end_f=np.uint32,
    dur_f=np.uint32,
    dur_s=np.float32,
    ipd_f=np.uint32,
    ipd_s=np.float32,
    snr=np.float32,
    intensity=np.float32,
    bin0_intensity=np.float32,
    intensity_display=np.float32,
    binratio=np.float32,
    bg_mean=np.float32,
    bg_std=np.float32,
    bin0_bg_mean=np.float32,
    bin0_bg_std=np.float32,
)


class Unsorted(Exception):
    """The filter's order check refuses: "The provided pulses aren't sorted!"."""


def kinds(w: np.ndarray) -> np.ndarray:
    """The kind code of every record; later assignments take precedence."""
    kind = np.full(len(w), 7)
    kind[(w[:, 2] == 0) & (w[:, 3] == 0)] = 6
    for code, mark in enumerate(MARKS, start=2):
        kind[w[:, 6] == mark] = code
    kind[w[:, 0] == 0xFFFF] = 1
    kind[w[:, 1] != 0] = 0
    return kind


def decode(w: np.ndarray, encodings) -> dict:
    kind = kinds(w)
    signed = w.view(np.int16).astype(F32)
    marker = (kind >= 2) & (kind <= 5)
    cols = {"ipd_f": w[:, 0].astype(np.uint16), "dur_f": w[:, 1].astype(np.uint16)}
    for j, name in enumerate(MEASURES):
        k = j + 2
        _, exponent, offset = encodings[k]
        scaled = signed[:, k] / F32(1 << (exponent & 15)) + F32(offset)
        scaled[w[:, k] == 0x7FFF] = np.inf
        scaled[w[:, k] == 0x8000] = np.nan
        scaled[w[:, k] == 0x8001] = -np.inf
        use_scaled = (kind == 0) | ((kind == 6) & (k >= 4)) | (marker & (k <= 3))
        value = np.where(use_scaled, scaled, signed[:, k])
        cols[name] = np.where((kind == 6) & (k <= 3), F32(0), value).astype(F32)
    cols["start_f"] = (np.cumsum(w[:, 0], dtype=np.uint64) & MASK32).astype(np.uint32)
    cols["record_type"] = [KINDS[k] for k in kind]
    wide = w[:, 4].astype(np.float64) + 65536.0 * w[:, 5]
    cols["long_pulse_duration_f"] = np.where((kind == 2) | (kind == 3), wide, np.nan)
    cols["event_f"] = np.where((kind == 4) | (kind == 5), wide, np.nan)
    return cols


def normalize(w: np.ndarray, encodings, fps: F32) -> dict:
    rec = decode(w, encodings)
    # The frame after record i is the wrapping sum of words 0 and 1 up to i:
    # a pulse ends dur_f after it starts, and other records have word 1 = 0.
    after = np.cumsum(w[:, 0].astype(np.uint64) + w[:, 1], dtype=np.uint64) & MASK32
    index = np.flatnonzero(w[:, 1] != 0)
    end, dur = after[index], w[index, 1].astype(np.uint64)
    start = (end - dur) & MASK32
    ipd = np.zeros(len(index), np.uint64)
    ipd[1:] = (start[1:] - end[:-1]) & MASK32
    m = {name: rec[name][index] for name in MEASURES}
    with np.errstate(all="ignore"):
        cols = dict(
            index=index.astype(np.uint64),
            start_f=start,
            end_f=end,
            dur_f=dur,
            dur_s=dur.astype(F32) / fps,
            ipd_f=ipd,
            ipd_s=ipd.astype(F32) / fps,
            snr=m["bin1_intensity"] / m["bin1_bg_std"],
            intensity=m["bin1_intensity"],
            bin0_intensity=m["bin0_intensity"],
            intensity_display=m["bin1_intensity"] + m["bin1_bg_mean"],
            binratio=m["bin0_intensity"] / m["bin1_intensity"],
            bg_mean=m["bin1_bg_mean"],
            bg_std=m["bin1_bg_std"],
            bin0_bg_mean=m["bin0_bg_mean"],
            bin0_bg_std=m["bin0_bg_std"],
        )
    return {k: np.asarray(v).astype(PULSE_TYPES[k]) for k, v in cols.items()}


def apply_filter(p: dict, fps: F32, kw: dict) -> dict:
    start, end = p["start_f"], p["end_f"]
    if np.any(start[1:] <= end[:-1]):
        raise Unsorted()
    keep = np.ones(len(start), bool)
    bounds = {
        "min_dur_s": ("dur_s", np.greater_equal),
        "max_dur_s": ("dur_s", np.less_equal),
        "min_snr": ("snr", np.greater_equal),
        "min_intensity": ("intensity", np.greater_equal),
        "min_binratio": ("binratio", np.greater_equal),
        "max_binratio": ("binratio", np.less_equal),
    }
    with np.errstate(all="ignore"):
        for key, (column, compare) in bounds.items():
            if key in kw:
                keep &= compare(p[column], F32(kw[key]))
        if "min_dur_f" in kw:
            keep &= p["dur_f"] >= kw["min_dur_f"]
        per_minute = F32(fps * F32(60))
        if "start_m" in kw:
            keep &= start.astype(F32) / per_minute >= F32(kw["start_m"])
        if "end_m" in kw:
            keep &= end.astype(F32) / per_minute <= F32(kw["end_m"])
        if "mask_s" in kw:
            first, second = (F32(v) for v in kw["mask_s"])
            keep &= (start.astype(F32) / fps > second) | (end.astype(F32) / fps < first)
        out = {k: v[keep] for k, v in p.items()}
        if kw.get("recalc_ipd"):
            ipd = np.zeros(len(out["start_f"]), np.uint64)
            ipd[1:] = (out["start_f"][1:].astype(np.uint64) - out["end_f"][:-1]) & MASK32
            out["ipd_f"], out["ipd_s"] = ipd.astype(np.uint32), ipd.astype(F32) / fps
    return out


def parse_header(data: bytes) -> dict:
    return dict(zip(FIELDS, HEADER.unpack_from(data)))


class Model:
    def __init__(self, data: bytes):
        self.data = data
        self.header = h = parse_header(data)
        self.encodings = [struct.unpack_from("<BBH", data, 48 + 4 * k) for k in range(8)]
        self.metadata_text = data[80 : 80 + h["metadata_length"]]
        self.metadata = json.loads(self.metadata_text)
        self.fps = F32(self.metadata["fps"])
        at = h["index_offset"] + len(INDEX_MAGIC)
        entries = [struct.unpack_from("<IQ", data, at + 12 * i) for i in range(h["num_apertures"])]
        self.apertures = [n for n, _ in entries]
        self.offsets = {n: o for n, o in entries}  # a later entry of a number wins
        self.readable = sorted(n for n, o in self.offsets.items() if o)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.data)
        return path

    def block(self, n: int):
        at = self.offsets[n]
        x, y, number, count = struct.unpack_from("<4I", self.data, at)
        w = np.frombuffer(self.data, "<u2", 8 * count, at + 16).reshape(count, 8)
        return dict(aperture_index=number, aperture_x=x, aperture_y=y, aperture_byteloc=at), w

    def records(self, n: int) -> dict:
        return decode(self.block(n)[1], self.encodings)

    def pulses(self, n: int, filter_kwargs=None) -> dict:
        p = normalize(self.block(n)[1], self.encodings, self.fps)
        return p if filter_kwargs is None else apply_filter(p, self.fps, filter_kwargs)


def copy_bytes(data: bytes, apertures) -> bytes:
    src = Model(data)
    chosen = sorted(set(apertures))
    blocks = []
    for n in chosen:
        at = src.offsets[n]
        blocks.append(data[at : at + 16 + 16 * struct.unpack_from("<I", data, at + 12)[0]])
    h = dict(src.header, num_apertures=len(chosen))
    h["index_offset"] = h["data_offset"] + sum(map(len, blocks))
    entries, at = [], h["data_offset"]
    for n, b in zip(chosen, blocks):
        entries.append(struct.pack("<IQ", n, at))
        at += len(b)
    return b"".join([HEADER.pack(*h.values()), data[48 : h["data_offset"]], *blocks, INDEX_MAGIC, *entries])


def merge_bytes(inputs) -> bytes:
    models = [Model(d) for d in inputs]
    metas = [m.metadata for m in models]
    merged = dict(metas[0])
    rows = sum(m["rows"] for m in metas)
    merged.update(
        rows=rows,
        roi_rows=rows,
        **{k: sum(m[k] for m in metas) for k in ("validWells", "validWellsLeft", "validWellsRight")},
    )
    lo = min(m["roi_offset_col"] for m in metas)
    merged.update(roi_offset_col=lo, roi_cols=max(m["roi_offset_col"] + m["roi_cols"] for m in metas) - lo)
    text = json.dumps(merged, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()
    first = models[0].header
    data_offset = -(-(first["data_offset"] + len(text) - first["metadata_length"]) // 16) * 16
    regions = [m.header["index_offset"] - m.header["data_offset"] for m in models]
    h = dict(
        first,
        num_apertures=sum(len(m.apertures) for m in models),
        metadata_length=len(text),
        data_offset=data_offset,
        index_offset=data_offset + sum(regions),
    )
    head = HEADER.pack(*h.values()) + inputs[0][48:80] + text
    out, index = [head + bytes(data_offset - len(head))], [INDEX_MAGIC]
    rows_before = numbers_before = 0
    base = data_offset
    for m, region in zip(models, regions):
        for n in m.apertures:
            at = m.offsets[n]
            x, y, number, count = struct.unpack_from("<4I", m.data, at)
            out.append(struct.pack("<4I", x, (y + rows_before) & MASK32, (number + numbers_before) & MASK32, count))
            out.append(m.data[at + 16 : at + 16 + 16 * count])
            index.append(struct.pack("<IQ", (n + numbers_before) & MASK32, base + at - m.header["data_offset"]))
        rows_before += m.metadata["rows"]
        numbers_before += m.metadata["rows"] * m.metadata["cols"]
        base += region
    return b"".join(out + index)


def random_records(rng, count: int, touching: float) -> np.ndarray:
    """Records of every kind, with the reserved stored values sprinkled in."""
    w = rng.integers(0, 0x10000, size=(count, 8))
    special = rng.random((count, 8)) < 0.1
    w[special] = rng.choice([0x7FFF, 0x8000, 0x8001, 0, 0xFFFF, 1], special.sum())
    kind = rng.choice(8, count, p=[0.4, 0.05, 0.06, 0.06, 0.06, 0.06, 0.18, 0.13])
    w[:, 0] = np.where(rng.random(count) < 0.8, rng.integers(1, 200, count), rng.integers(1, 0xFFFF, count))
    w[:, 1] = np.where(kind == 0, rng.choice([1, 2, 7, 30, 500, 0xFFFF], count), 0)
    w[(kind == 0) & (rng.random(count) < touching), 0] = 0
    w[kind == 1, 0] = 0xFFFF
    not_marked = (kind == 6) | (kind == 7)
    w[not_marked & np.isin(w[:, 6], MARKS), 6] = 0
    w[kind == 6, 2:4] = 0
    w[(kind == 7) & (w[:, 2] == 0) & (w[:, 3] == 0), 2] = 5
    for code, mark in enumerate(MARKS, start=2):
        w[kind == code, 6] = mark
    return w


def random_file(rng, mergeable: bool = False) -> Model:
    """A random sound file. `mergeable`: numbers below rows x cols, strictly
    ascending, every entry resolvable, as the merge needs."""
    rows, cols = (int(v) for v in rng.integers(1, 5, size=2))
    span = rows * cols if mergeable else rows * cols * 3
    numbers = sorted(rng.choice(span, int(rng.integers(1, min(span, 7) + 1)), replace=False))
    # Numbers spread over the whole u32 range, in an index out of order: the
    # lookup of an index too sparse for a table of every number.
    wide = not mergeable and rng.random() < 0.3
    if wide:
        numbers = sorted({int(n) for n in rng.integers(0, MASK32, len(numbers))})
    touching = 0.05 if rng.random() < 0.3 else 0.0
    apertures = []
    for n in numbers:
        size = rng.choice([0, int(rng.integers(1, 80)), int(rng.integers(1, 80)), 70_000], p=[0.15, 0.42, 0.42, 0.01])
        apertures.append(Aperture(int(n), random_records(rng, int(size), touching), x=int(n) % cols, y=int(n) // cols))
    meta = dict(
        default_metadata(),
        rows=rows,
        cols=cols,
        validWells=int(rng.integers(0, 99)),
        roi_offset_col=int(rng.integers(0, 9)),
        roi_cols=cols,
        fps=[100, 99.5, 1000, 7, 0.25][int(rng.integers(5))],
        duration=float(rng.random() * 99),
        extra={"z": [1.5, "\u00e9"], "a": None},
    )
    encodings = [
        (int(rng.integers(256)), int(rng.integers(256)), int(rng.integers(0x10000)) if rng.random() < 0.5 else 0)
        for _ in range(8)
    ]
    built = build(apertures, meta, encodings)
    changes = {}
    entries = [(a.number, o) for a, o in zip(apertures, built.offsets)]
    if not mergeable and rng.random() < 0.4:
        i = int(rng.integers(len(entries)))
        if rng.random() < 0.5:  # a repeat: the later entry wins
            entries.insert(i + 1, (entries[i][0], built.offsets[int(rng.integers(len(entries)))]))
        else:  # a number the index holds without a block
            entries[i] = (entries[i][0], 0)
            if len(entries) == 1:
                entries.append((entries[0][0] + 1, built.offsets[0]))
        changes["index"] = entries
    if wide:  # the first and last entries stay, the others shuffled, the first repeated
        middle = entries[1:-1]
        rng.shuffle(middle)
        changes["index"] = entries[:1] + middle + entries[:1] + entries[1:][-1:]
    return Model(build(apertures, meta, encodings, **changes).data)


def random_filter(rng, model: Model, apertures=None) -> dict:
    """Random filter keywords, bounds drawn from the pulse values of the given
    apertures (default: all), so that some pulses lie right on a bound."""
    pulses = [model.pulses(n) for n in (model.readable if apertures is None else apertures)]
    values = {k: np.concatenate([p[k] for p in pulses]) for k in PULSE_TYPES}

    def pick(column, divisor=F32(1)):
        v = values[column][np.isfinite(values[column])]
        if len(v) == 0 or rng.random() < 0.08:
            return float("nan") if rng.random() < 0.5 else float(rng.normal() * 100)
        return float(F32(rng.choice(v)) / divisor)

    kw = {}
    per_minute = F32(model.fps * F32(60))
    durations = list(values["dur_f"]) or [0, 3]
    choices = {
        "min_dur_f": lambda: int(rng.choice(durations)),
        "min_dur_s": lambda: pick("dur_s"),
        "max_dur_s": lambda: pick("dur_s"),
        "min_snr": lambda: pick("snr"),
        "min_intensity": lambda: pick("intensity"),
        "min_binratio": lambda: pick("binratio"),
        "max_binratio": lambda: pick("binratio"),
        "start_m": lambda: pick("start_f", per_minute),
        "end_m": lambda: pick("end_f", per_minute),
        "mask_s": lambda: tuple(sorted((pick("end_f", model.fps), pick("start_f", model.fps)))),
        "recalc_ipd": lambda: bool(rng.random() < 0.5),
    }
    for key in rng.choice(list(choices), int(rng.integers(1, 4)), replace=False):
        kw[str(key)] = choices[key]()
    return kw
