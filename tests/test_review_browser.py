"""The review page in a real browser (headless Chromium through Selenium):
picks are added, moved, invalidated and removed with the mouse, undone and
redone with the keyboard and the buttons, saved, and read back from disk.

The tests skip, saying why, where Chromium or Selenium is missing or
Chromium cannot start; with MOLVAK_REQUIRE_BROWSER=1 (set by tools/test.sh)
they fail instead, so that a CI run cannot pass without them.
"""
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

from molvak import DispersionCurve
from molvak._review import _data
from molvak._review._server import ReviewServer
from review_data import make_folder, read_csv, ridge, wait_for

REQUIRE = os.environ.get("MOLVAK_REQUIRE_BROWSER") == "1"


def _unavailable(reason):
    if REQUIRE:
        pytest.fail(f"{reason}; MOLVAK_REQUIRE_BROWSER=1 asks for the browser tests")
    pytest.skip(reason)


@pytest.fixture(scope="module")
def driver():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the browser tests run in the plain run of the suite, not under a "
                    "preloaded sanitizer runtime")
    try:
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        _unavailable("selenium is not installed (pip install '.[test]')")
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    chromedriver = shutil.which("chromedriver")
    if browser is None or chromedriver is None:
        _unavailable("chromium or chromedriver is not installed (tools/chromium.sh installs "
                     "Debian's chromium and chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1400,900", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    try:
        d = webdriver.Chrome(service=Service(chromedriver), options=options)
    except WebDriverException as exc:
        _unavailable(f"chromium did not start: {exc.msg}")
    d.set_script_timeout(20)
    yield d
    d.quit()


def open_page(d, server, item):
    d.get(server.url)
    wait_for(d, f"document.documentElement.dataset.drawn === {item!r}")


class Page:
    """Mouse and keyboard on the review page, in data coordinates."""

    def __init__(self, d):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        self.d, self.Keys, self.ActionChains = d, Keys, ActionChains
        self.canvas = d.find_element(By.ID, "image")
        self.By = By

    def _offset(self, f, v):
        x, y = self.d.execute_script("return window.molvakReview.toPixel(arguments[0], "
                                     "arguments[1]);", f, v)
        size = self.canvas.size
        return round(x - size["width"] / 2), round(y - size["height"] / 2)

    def click(self, f, v):
        self.ActionChains(self.d).move_to_element_with_offset(self.canvas, *self._offset(f, v)) \
            .click().perform()

    def drag(self, corner, other, shift=False):
        (x0, y0), (x1, y1) = self._offset(*corner), self._offset(*other)
        a = self.ActionChains(self.d)
        if shift:
            a = a.key_down(self.Keys.SHIFT)
        a = a.move_to_element_with_offset(self.canvas, x0, y0).click_and_hold()
        for _ in range(1, 5):
            a = a.move_by_offset(round((x1 - x0) / 4), round((y1 - y0) / 4))
        a = a.release()
        if shift:
            a = a.key_up(self.Keys.SHIFT)
        a.perform()

    def key(self, key, ctrl=False):
        a = self.ActionChains(self.d)
        if ctrl:
            a = a.key_down(self.Keys.CONTROL).send_keys(key).key_up(self.Keys.CONTROL)
        else:
            a = a.send_keys(key)
        a.perform()

    def button(self, name):
        self.d.find_element(self.By.ID, name).click()

    def rows(self):
        return self.d.execute_script("return window.molvakReview.rows();")


def at(rows, f, mode=0):
    found = [r for r in rows if r["frequency"] == f and r["mode"] == mode]
    assert len(found) <= 1
    return found[0] if found else None


def test_edit_save_and_reload(driver, tmp_path):
    made = make_folder(tmp_path / "results", n=3, fmin=10, fmax=40)
    stem, g, image = made[0]
    item = stem.name
    # the automatic pick at 20 Hz sits off the ridge, for the page to move back
    original = Path(f"{stem}.csv")
    picks = _data.read_picks(original)
    k20 = int(np.flatnonzero(picks.numeric["frequency"] == 20.0)[0])
    picks.numeric["velocity"][k20] *= 1.15
    _data.write_picks(original, picks)
    before = original.read_bytes()
    count = len(picks)
    valid_before = dict(zip(picks.numeric["frequency"], picks.numeric["valid"]))

    with ReviewServer(tmp_path / "results").start() as server:
        open_page(driver, server, item)
        page = Page(driver)
        rows = page.rows()
        assert len(rows) == count and not any(r["edited"] for r in rows)

        # move: a click near the ridge at 20 Hz puts that pick on the peak
        page.click(20.0, ridge(image, 20.0) * 0.97)
        rows = page.rows()
        assert len(rows) == count
        assert at(rows, 20.0)["velocity"] == pytest.approx(ridge(image, 20.0), rel=2e-5)
        assert at(rows, 20.0)["edited"] == 1

        # add: a click at 50 Hz, where there is no pick, 3 % above the ridge
        page.click(50.0, ridge(image, 50.0) * 1.03)
        rows = page.rows()
        assert len(rows) == count + 1
        assert at(rows, 50.0)["velocity"] == pytest.approx(ridge(image, 50.0), rel=2e-5)
        assert at(rows, 50.0)["velocity"] == pytest.approx(g.velocity(50.0), rel=0.01)

        # a box invalidates the picks from 12 to 14 Hz
        page.drag((11.8, 100.0), (14.2, 700.0))
        rows = page.rows()
        boxed = [r for r in rows if 12.0 <= r["frequency"] <= 14.0]
        assert len(boxed) == 5 and all(r["valid"] == 0 and r["edited"] == 1 for r in boxed)
        assert all(r["valid"] == valid_before.get(r["frequency"], 1) for r in rows if r not in boxed)

        # shift+drag removes the picks from 30 to 32 Hz
        page.drag((29.8, 100.0), (32.2, 700.0), shift=True)
        assert len(page.rows()) == count + 1 - 5
        assert not [r for r in page.rows() if 30.0 <= r["frequency"] <= 32.0]

        # undo and redo, by keys and by buttons
        page.key("z", ctrl=True)
        assert len(page.rows()) == count + 1
        page.button("redo")
        assert len(page.rows()) == count - 4
        page.button("undo")
        page.key("y", ctrl=True)
        assert len(page.rows()) == count - 4

        # mode 1: a click adds a second pick at 25 Hz, the fundamental stays
        page.key("1")
        page.click(25.0, ridge(image, 25.0))
        rows = page.rows()
        assert at(rows, 25.0, mode=1)["velocity"] == pytest.approx(ridge(image, 25.0), rel=2e-5)
        assert at(rows, 25.0, mode=0)["edited"] == 0
        # a box in "sets the mode" gives the picks from 35 to 36 Hz mode 1
        from selenium.webdriver.support.select import Select
        Select(driver.find_element(page.By.ID, "boxaction")).select_by_value("mode")
        page.drag((34.8, 100.0), (36.2, 700.0))
        rows = page.rows()
        assert [(r["frequency"], r["edited"]) for r in rows if r["mode"] == 1] == [
            (25.0, 1), (35.0, 1), (35.5, 1), (36.0, 1)]
        shown = page.rows()

        page.key("s", ctrl=True)
        wait_for(driver, "document.documentElement.dataset.saves === '1'")

        # on disk: the original untouched, the reviewed file beside it
        assert original.read_bytes() == before
        header, body = read_csv(Path(f"{stem}.reviewed.csv"))
        # the columns of the original, in its order, then edited
        assert header == list(DispersionCurve.CSV_COLUMNS) + ["note", "edited"]
        col = {name: header.index(name) for name in header}
        saved = {(float(r[0]), int(r[col["mode"]])): r for r in body}
        assert len(saved) == len(shown) == count - 4 + 1
        edited = {(20.0, 0), (50.0, 0), (25.0, 1), (35.0, 1), (35.5, 1), (36.0, 1)} | {
            (f, 0) for f in (12, 12.5, 13, 13.5, 14)}
        assert {key for key, r in saved.items() if r[-1] == "1"} == edited
        for f, mode in ((20.0, 0), (50.0, 0), (25.0, 1)):
            r = saved[(f, mode)]
            assert float(r[1]) == pytest.approx(ridge(image, f), rel=2e-5)
            assert float(r[2]) == pytest.approx(float(r[1]) / f, rel=1e-15)
            assert r[col["valid"]] == "1"
            # placed by hand inside the limits: no flag raised
            assert [r[col[name]] for name in DispersionCurve.FLAGS] == ["0"] * len(DispersionCurve.FLAGS)
            # a moved pick keeps its other columns, an added one has them empty
            assert r[col["note"]] == (f"auto {k20}" if f == 20.0 else "")
            assert 0.5 < float(r[3]) <= 1.0           # on the ridge: a strong peak
        assert {key for key, r in saved.items() if r[col["valid"]] == "0"} == {
            (f, 0) for f in (12, 12.5, 13, 13.5, 14)} | {
            (f, 0) for f, v in valid_before.items() if not v}
        assert not [key for key in saved if 30.0 <= key[0] <= 32.0]
        untouched = saved[(15.0, 0)]
        k15 = int(np.flatnonzero(picks.numeric["frequency"] == 15.0)[0])
        assert float(untouched[1]) == picks.numeric["velocity"][k15]
        assert untouched[col["note"]] == picks.extra["note"][k15]
        # molvak reads the reviewed picks, one curve per mode
        curves = _data.picks_curves(_data.read_picks(Path(f"{stem}.reviewed.csv")))
        assert sorted(curves) == [0, 1] and len(curves[1]) == 4
        assert int(curves[0].extra["edited"].sum()) == 7

        # the statistics on the page count the saved picks: at 50 Hz only
        # this image has one, at 13 Hz only the two others (this one is invalid)
        stats = driver.execute_script("return window.molvakReview.statistics();")
        where = {f: k for k, f in enumerate(stats["frequency"])}
        assert stats["count"][where[50.0]] == 1
        assert stats["mean"][where[50.0]] == float(saved[(50.0, 0)][1])
        others = [_data.read_picks(Path(f"{s}.csv")) for s, _, _ in made[1:]]
        at13 = [p.numeric["velocity"][p.numeric["frequency"] == 13.0][0] for p in others]
        assert stats["count"][where[13.0]] == 2
        assert stats["mean"][where[13.0]] == pytest.approx(np.mean(at13), rel=1e-14)

        # a reload shows the saved state
        driver.refresh()
        wait_for(driver, f"document.documentElement.dataset.drawn === {item!r}")
        wait_for(driver, "window.molvakReview.statistics() !== null")
        reloaded = page.rows()
        assert [(r["frequency"], r["mode"], r["valid"], r["edited"]) for r in reloaded] == \
            [(float(r[0]), int(r[col["mode"]]), int(r[col["valid"]]), int(r[-1])) for r in body]
        np.testing.assert_array_equal([r["velocity"] for r in reloaded],
                                      [float(r[1]) for r in body])


def test_navigation_loads_images_on_demand(driver, tmp_path, monkeypatch):
    root = tmp_path / "many"
    make_folder(root, n=2)
    # 28 more images: copies, so that only the names differ
    for k in range(3, 31):
        for suffix in (".npz", ".csv"):
            shutil.copy(root / f"line1.shot1.dat.phase_shift{suffix}",
                        root / f"line1.shot{k}.dat.phase_shift{suffix}")
    loaded = []
    real = _data.load_image
    monkeypatch.setattr(_data, "load_image", lambda path: loaded.append(path.name) or real(path))
    with ReviewServer(root).start() as server:
        ids = [f"line1.shot{k}.dat.phase_shift" for k in range(1, 31)]     # shot2 before shot10
        open_page(driver, server, ids[0])
        page = Page(driver)
        wait_for(driver, "window.molvakReview.statistics() !== null")
        # the image shown and the neighbours fetched ahead, not the 30
        assert ids[0] + ".npz" in loaded and len(set(loaded)) <= 3
        page.key("j")
        wait_for(driver, f"document.documentElement.dataset.drawn === {ids[1]!r}")
        page.key(page.Keys.ARROW_RIGHT)
        wait_for(driver, f"document.documentElement.dataset.drawn === {ids[2]!r}")
        assert [li.text for li in driver.find_elements(page.By.CSS_SELECTOR, "#items li")] == ids
        page.key("k")
        wait_for(driver, f"document.documentElement.dataset.drawn === {ids[1]!r}")
        # the list: filter to one name, click it
        box = driver.find_element(page.By.ID, "filter")
        box.send_keys("shot17.")
        visible = [li for li in driver.find_elements(page.By.CSS_SELECTOR, "#items li")
                   if li.is_displayed()]
        assert [li.text for li in visible] == ["line1.shot17.dat.phase_shift"]
        visible[0].click()
        wait_for(driver, "document.documentElement.dataset.drawn === "
                         "'line1.shot17.dat.phase_shift'")
        assert len(set(loaded)) < len(ids)
