"""Time from `molvak review DIR` to a drawn page, on synthetic results folders.

Two folders are made in a temporary directory:
- shots: 40 phase-shift images of a two-mode synthetic shot (157 frequencies
  x 751 velocities each, 0.95 MB on disk) with their picks;
- sweep: 1000 small windows (64 frequencies x 120 velocities) of a line
  whose curve changes slowly along it, as a DAS sweep gives.

For each, `molvak review DIR --no-browser` is started as a process; headless
Chromium (already running, as a user's browser is) opens the address it
prints. Reported: when the address is printed, when the first image is drawn
(the page's own clock), when the statistics across all images have arrived,
and the median time from a key press to the next image drawn.

Run: python bench/bench_review.py [--repeat N] [--screenshot docs/review.png]
(needs the test extra's selenium and Debian's chromium and chromium-driver,
tools/chromium.sh).
"""
from __future__ import annotations

import argparse
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Optional

import numpy as np

import molvak
from molvak import synthetic
from molvak._review import _data

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import review_data  # noqa: E402


def two_mode_gather(seed: int) -> Any:
    base = synthetic.default_gather(seed=seed)
    higher = synthetic.make_gather(base.offsets, base.dt, base.data.shape[1],
                                   synthetic.ExponentialCurve(low=700.0, high=250.0, scale=25.0),
                                   45.0, noise=0.0, seed=None)
    return base, base.data + 0.5 * higher.data


def make_shots(root: Path, n: int = 40) -> None:
    root.mkdir(parents=True)
    for k in range(n):
        g, data = two_mode_gather(seed=k)
        image = molvak.phase_shift(data, g.offsets, g.dt, velocities=(50, 800, 1), fmin=2,
                                   fmax=80, df=0.5)
        stem = root / f"line1.shot{k + 1}.dat.phase_shift"
        _data.save_image(Path(f"{stem}.npz"), image)
        image.pick(80, 600).to_csv(Path(f"{stem}.csv"))


def make_sweep(root: Path, n: int = 1000) -> None:
    root.mkdir(parents=True)
    f = np.linspace(5.0, 36.5, 64)
    v = np.linspace(100.0, 695.0, 120)
    rng = np.random.default_rng(0)
    offsets = np.arange(20.0, 60.0, 1.0)
    for k in range(n):
        c = 150.0 + (320.0 + 40.0 * np.sin(k / 80.0)) * np.exp(-f / 12.0)
        ridge = np.exp(-np.square((v[None, :] - c[:, None]) / (0.04 * c[:, None])))
        amp = ridge + 0.05 * rng.random(ridge.shape)
        image = molvak.DispersionImage(f, v, amp.astype(np.complex64), "fdbf",
                                       {"offsets": offsets.tolist()}, "power")
        stem = root / f"window_{k:04d}.fdbf"
        _data.save_image(Path(f"{stem}.npz"), image)
        image.pick().to_csv(Path(f"{stem}.csv"))


def browser() -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                "--window-size=1500,850", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver"),
                            options=options)


def wait_for(d: Any, script: str) -> Any:
    # polled often: the time to a drawn page is what this measures
    return review_data.wait_for(d, script, timeout=60.0, poll=0.005)


def start(folder: Path) -> Any:
    t0 = time.time()
    proc = subprocess.Popen([sys.executable, "-m", "molvak", "review", str(folder),
                             "--no-browser"], stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    for line in proc.stdout:
        found = re.search(r"http://\S+", line)
        if found:
            return proc, found.group(0), t0, time.time()
    raise RuntimeError("molvak review printed no address")


def time_folder(d: Any, folder: Path, steps: int = 10) -> dict[str, float]:
    proc, url, t0, t_url = start(folder)
    try:
        d.get(url)
        first = wait_for(d, "document.documentElement.dataset.drawn && "
                            "performance.timeOrigin + window.molvakFirstDraw")
        wait_for(d, "window.molvakReview.statistics() !== null")
        t_stats = time.time()
        from selenium.webdriver.common.action_chains import ActionChains
        step_times: list[float] = []
        for _ in range(steps):
            before = d.execute_script("return window.molvakReview.current();")
            t = time.perf_counter()
            ActionChains(d).send_keys("j").perform()
            wait_for(d, f"document.documentElement.dataset.drawn && "
                        f"document.documentElement.dataset.drawn !== {before!r}")
            step_times.append(time.perf_counter() - t)
        return dict(address=t_url - t0, drawn=first / 1000.0 - t0, statistics=t_stats - t0,
                    step=statistics.median(step_times))
    finally:
        proc.terminate()
        proc.wait()


def screenshot(d: Any, folder: Path, path: Path) -> None:
    """The page after a short review of the first shot, saved."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    proc, url, _, _ = start(folder)
    try:
        d.get(url)
        wait_for(d, "document.documentElement.dataset.drawn")
        wait_for(d, "window.molvakReview.statistics() !== null")
        canvas = d.find_element(By.ID, "image")

        def at(f: float, v: float) -> Any:
            x, y = d.execute_script("return window.molvakReview.toPixel(arguments[0], "
                                    "arguments[1]);", f, v)
            return round(x - canvas.size["width"] / 2), round(y - canvas.size["height"] / 2)

        # invalidate the low frequencies, where the picks jump
        a = ActionChains(d).move_to_element_with_offset(canvas, *at(2.3, 160)).click_and_hold()
        a.move_to_element_with_offset(canvas, *at(6.2, 560)).release().perform()
        # above 49 Hz the automatic picks jumped to the higher mode: a box
        # makes them mode 1, and clicks pick the fundamental there as mode 0
        from selenium.webdriver.support.select import Select
        ActionChains(d).send_keys("1").perform()
        for action in ("mode", "validate"):      # the picker flagged them as a jump
            Select(d.find_element(By.ID, "boxaction")).select_by_value(action)
            a = ActionChains(d).move_to_element_with_offset(canvas, *at(48.8, 250))
            a.click_and_hold().move_to_element_with_offset(canvas, *at(80, 340)).release()
            a.perform()
        ActionChains(d).send_keys("0").perform()
        for f in np.arange(50.0, 68.5, 1.5):
            v = float(synthetic.ExponentialCurve()(f))
            ActionChains(d).move_to_element_with_offset(canvas, *at(f, v)).click().perform()
        Select(d.find_element(By.ID, "boxaction")).select_by_value("invalidate")
        ActionChains(d).key_down(Keys.CONTROL).send_keys("s").key_up(Keys.CONTROL).perform()
        wait_for(d, "document.documentElement.dataset.saves === '1'")
        ActionChains(d).move_to_element_with_offset(canvas, *at(30, 188)).perform()
        time.sleep(0.2)
        d.save_screenshot(str(path))
    finally:
        proc.terminate()
        proc.wait()


def main(argv: Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--screenshot", type=Path, help="write a picture of the page here")
    args, _ = parser.parse_known_args(argv)     # workload names from run.py are ignored
    with tempfile.TemporaryDirectory(prefix="molvak-bench-review-") as tmp:
        root = Path(tmp)
        t = time.perf_counter()
        make_shots(root / "shots")
        make_sweep(root / "sweep")
        print(f"made the folders in {time.perf_counter() - t:.1f} s", flush=True)
        d = browser()
        try:
            if args.screenshot is not None:
                screenshot(d, root / "shots", args.screenshot)
                print(f"wrote {args.screenshot}")
                for p in (root / "shots").glob("*.reviewed.csv"):
                    p.unlink()
            print(f"{'folder':<32}{'address (s)':>12}{'drawn (s)':>11}{'statistics (s)':>16}"
                  f"{'next image (ms)':>17}")
            for name, label in (("shots", "40 shots"), ("sweep", "1000-window sweep")):
                for _ in range(args.repeat):
                    r = time_folder(d, root / name)
                    print(f"{label:<32}{r['address']:>12.2f}{r['drawn']:>11.2f}"
                          f"{r['statistics']:>16.2f}{1000 * r['step']:>17.0f}", flush=True)
        finally:
            d.quit()


if __name__ == "__main__":
    main(sys.argv[1:])
