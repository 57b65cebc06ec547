"""kvt-pulses report: the page's numbers against the module's on random files,
its failure rules, and the page in a real browser."""

import base64
import json
import os
import re

import kvt_pulse_reader as kvt
import numpy as np
import pytest
from conftest import MIXED
from pulse_file_builder import Aperture, build
from reference_model import random_file, random_filter

pytest.importorskip("plotly")
from kvt_pulse_tools import cli, report, synthesize
from kvt_pulse_tools.html_report.figures import tile_size

MAPS = ("num_pulses", "mean_snr", "pulse_rate_hz", "mean_dur_s", "mean_ipd_s")
SEEDS = range(int(os.environ.get("KVT_SEEDS", "12")))


def page_data(path):
    """The JSON block that the page draws its figures from."""
    text = re.search(r'id="kvt-report-data">(.*?)</script>', path.read_text("utf-8"), re.DOTALL).group(1)
    return json.loads(text.replace("<\\/", "</"))


def unpack(packed, shared):
    packed = shared[packed["ref"]] if "ref" in packed else packed
    dtype = "u1" if packed["dtype"] == "m1" else "<" + packed["dtype"]
    return np.frombuffer(base64.b64decode(packed["b64"]), dtype).reshape(packed["shape"])


def exact_quantiles(values, qs):
    finite = values[np.isfinite(values)]
    return np.quantile(finite, qs, method="inverted_cdf") if finite.size else np.full(len(qs), np.nan)


@pytest.mark.parametrize("seed", SEEDS)
def test_numbers_equal_the_modules(tmp_path, seed):
    rng = np.random.default_rng(seed)
    model = random_file(rng)
    path = model.write(tmp_path / "pulses.bin")
    kw = random_filter(rng, model) if seed % 2 else None
    report([path], tmp_path / "r.html", pulse_filter_kwargs=kw)
    assert (tmp_path / "r.html").stat().st_size < 10_000_000  # maps of at most MAX_CELLS tiles, however odd the sensor
    data = page_data(tmp_path / "r.html")
    run = data["runs"][0]
    with kvt.PulseReader(str(path)) as reader:
        summary = reader.summarize(pulse_filter_kwargs=kw, errors="skip")
        pulses = reader.read_pulses(pulse_filter_kwargs=kw, errors="skip")
        card = reader._repr_html_()
        assert f"{len(reader.apertures)} in the index" in card and "&lt;" not in card
    assert "(closed)" in reader._repr_html_()
    assert [n for n, _ in run["skipped"]] == summary.attrs["skipped_apertures"]
    assert run["pulses"] == len(pulses) == summary["num_pulses"].sum()
    assert run["kinds"] == {k: summary["num_" + ("pulses" if k == "pulse" else k)].sum() for k in run["kinds"]}
    assert [row["aperture_index"] for row in run["top"]] == list(summary.nlargest(10, "num_pulses")["aperture_index"])
    # Medians and quartiles from fine bins: within 1/128 of the exact values.
    for column, got in run["quartiles"].items():
        values = pulses[column].to_numpy(np.float64)
        assert got["finite"] + got["nonfinite"] == values.size
        assert got["finite"] == np.isfinite(values).sum()
        expected = exact_quantiles(values, [0.25, 0.5, 0.75])
        got = np.array(got["quartiles"], dtype=np.float64)
        assert np.allclose(got, expected, rtol=1 / 128, atol=1e-37, equal_nan=True), (seed, column)
    # Per minute: pulses starting in it, apertures with one, their median SNR
    # (within 1/32; at most 2^-16 shows as 0, at least 2^24 as 2^24).
    bins = len(run["minute_pulses"])
    assert bins == max(1, np.ceil(summary.attrs["run_dur_s"] / 60))
    minute = (pulses["start_f"].to_numpy(np.float64) / (float(model.metadata["fps"]) * 60)).astype(np.int64)
    inside = minute < bins
    assert run["minute_pulses"] == np.bincount(minute[inside], minlength=bins).tolist()
    assert run["after_end"] == np.count_nonzero(~inside)
    pairs = set(zip(minute[inside].tolist(), pulses["aperture_index"].to_numpy()[inside].tolist()))
    assert run["minute_active"] == np.bincount([m for m, _ in pairs], minlength=bins).tolist()
    snr = pulses["snr"].to_numpy(np.float64)
    for m, got in enumerate(run["minute_snr"]):
        expected = exact_quantiles(snr[inside][minute[inside] == m], [0.5])[0]
        expected = 0.0 if expected <= 2.0**-16 else min(expected, 2.0**24)
        assert np.isclose(np.nan if got is None else got, expected, rtol=1 / 32, equal_nan=True), (seed, m)
    # Maps: a cell per tile of (x, y) (one aperture wide up to MAX_CELLS sites,
    # the sensor grown to hold every aperture), the mean of its apertures'
    # finite values and the first of their numbers; cells without one absent.
    maps = [f for f in data["figures"] if f["kind"] == "map"]
    y, x = summary["aperture_y"].to_numpy(np.int64), summary["aperture_x"].to_numpy(np.int64)
    tile = tile_size(
        max(int(model.metadata["rows"]), int(y.max(initial=-1)) + 1),
        max(int(model.metadata["cols"]), int(x.max(initial=-1)) + 1),
    )
    y, x = y // tile, x // tile
    cells = summary.replace([np.inf, -np.inf], np.nan).assign(cy=y, cx=x).groupby(["cy", "cx"])
    for figure, column in zip(maps, MAPS, strict=True):
        grid = unpack(figure["data"][0]["z"], data["shared"])
        expected = cells[column].transform("mean").to_numpy(np.float32)
        assert np.array_equal(grid[y, x], expected, equal_nan=True), (seed, column)
        numbers = unpack(figure["data"][0]["customdata"], data["shared"])
        numbers = numbers if tile == 1 else numbers[..., 0]  # a tile's first number leads its hover data
        assert np.array_equal(numbers[y, x], cells["aperture_index"].transform("min").to_numpy()), seed
    absent = unpack({"ref": "cells-0-absent"}, data["shared"]).astype(bool)
    occupied = np.zeros(absent.shape, bool)
    occupied[y, x] = True
    assert np.array_equal(absent, ~occupied) or run["skipped"], seed


@pytest.fixture
def files(tmp_path):
    good = build([Aperture(0, MIXED), Aperture(1, [(3, 2, 10, 20, 1, 2, 3, 4)], x=1), Aperture(4, [], x=1, y=1)])
    # Aperture 0's block header claims 50 records: it runs past the index.
    damaged = build(
        [Aperture(0, MIXED, count=50), Aperture(2, [(3, 2, 10, 20, 1, 2, 3, 4)], x=2), Aperture(4, [], x=1, y=1)]
    )
    paths = {"good": good.write(tmp_path / "good.bin"), "damaged": damaged.write(tmp_path / "damaged.bin")}
    (tmp_path / "bad.bin").write_bytes(b"not a pulse file" * 8)
    (tmp_path / "old.html").write_text("keep me")
    os.link(paths["good"], tmp_path / "link.html")
    return tmp_path


@pytest.mark.parametrize(
    "argv, code, fragment",
    [
        (["{t}/bad.bin"], 1, "kvt-pulses: error: Pulse file header is invalid!"),
        (
            ["{t}/good.bin", "{t}/bad.bin", "--on-bad-file", "skip"],
            0,
            "could not be read: Pulse file header is invalid!",
        ),
        (["{t}/bad.bin", "{t}/bad.bin", "--on-bad-file", "skip"], 1, "kvt-pulses: error: no file could be read"),
        (["{t}/damaged.bin"], 0, "aperture 0: its block at byte"),
        (["{t}/good.bin", "-a", "0,7"], 1, "kvt-pulses: error: 1 selected apertures are not in"),
        (["{t}/good.bin", "-a", "0,7", "--ignore-missing", "--min-snr", "3"], 0, "min_snr=3.0"),
        (["{t}/good.bin", "-o", "{t}/old.html"], 1, "old.html already exists (use --force to replace it)"),
        (["{t}/good.bin", "-o", "{t}/link.html", "--force"], 1, "link.html is one of the inputs"),
        (["{t}/good.bin", "-o", "{t}/no/r.html"], 1, "cannot write {t}/no/r.html: no folder {t}/no"),
        (["{t}/good.bin", "--on-bad-file", "maybe"], 2, "invalid choice: 'maybe'"),
    ],
)
def test_failure_rules(files, capsys, argv, code, fragment):
    argv = [a.format(t=files) for a in argv]
    before = sorted(files.iterdir())
    status = cli.main(["report", *argv] + ([] if "-o" in argv else ["-o", str(files / "r.html")]))
    err = capsys.readouterr().err
    written = sorted(set(files.iterdir()) - set(before))
    assert status == code, err
    if code:
        assert fragment.format(t=files) in err and written == [] and (code == 2 or err.count("\n") == 1)
        assert (files / "old.html").read_text() == "keep me"
    else:
        assert written == [files / "r.html"] and fragment in (files / "r.html").read_text("utf-8")


def test_interrupt_exits_130_and_leaves_nothing(files, capsys, monkeypatch):
    from kvt_pulse_tools.html_report import page

    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(page, "build_page", interrupted)
    before = sorted(files.iterdir())
    assert cli.main(["report", str(files / "good.bin"), "-o", str(files / "r.html")]) == 130
    assert sorted(files.iterdir()) == before


def test_page_in_a_browser(tmp_path):
    webdriver = pytest.importorskip("selenium.webdriver", reason="the browser test needs selenium")
    if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
        pytest.skip("no browser: the test needs Debian's chromium and chromium-driver")
    from selenium.webdriver.support.ui import WebDriverWait

    synthesize(tmp_path / "run.bin", apertures=3000, records=(20, 80), seed=2)
    report(tmp_path / "run.bin", tmp_path / "run.html", title="Browser test")
    with kvt.PulseReader(tmp_path / "run.bin") as reader:
        some = reader.summarize(reader.apertures[100:101])
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,3000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)
    try:
        driver.get((tmp_path / "run.html").as_uri())
        figures = len(page_data(tmp_path / "run.html")["figures"])
        WebDriverWait(driver, 60).until(
            lambda d: (
                d.execute_script("return document.querySelectorAll('.figure.js-plotly-plot .main-svg').length")
                >= figures
            )
        )
        held = driver.execute_script(
            "return Array.from(document.querySelectorAll('div.figure')).map(function (div) {"
            "  return (div.data || []).reduce(function (n, t) { return n + (t.z || t.y || []).length; }, 0); });"
        )
        assert len(held) == figures and all(held), held
        label = driver.execute_script(
            "Plotly.Fx.hover('figure-1', {xval: arguments[0], yval: arguments[1]});"
            "return document.querySelector('#figure-1 .hoverlayer').textContent;",
            int(some["aperture_x"][0]),
            int(some["aperture_y"][0]),
        )
        assert f"aperture {some['aperture_index'][0]}" in label
        shot = tmp_path / "report.png"
        assert driver.save_screenshot(str(shot))
        print(f"screenshot: {shot}")
        assert [e for e in driver.get_log("browser") if e["level"] == "SEVERE"] == []
        urls = [
            json.loads(e["message"])["message"]["params"]["request"]["url"]
            for e in driver.get_log("performance")
            if '"Network.requestWillBeSent"' in e["message"]
        ]
        assert urls and all(url.startswith(("file:", "data:", "blob:")) for url in urls), urls
    finally:
        driver.quit()
