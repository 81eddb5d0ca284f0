"""The molvak command line, run end to end in temporary directories."""
import csv
import os
import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest

import molvak
from molvak import DispersionCurve, synthetic
from molvak.cli import main


def _matplotlib_image():
    # Under a preloaded AddressSanitizer runtime (the sanitizer runs) the C++
    # exceptions that matplotlib's font extension throws while importing
    # abort the process: ASan's __cxa_throw interceptor finds no libstdc++
    # when the interpreter starts. The drawing tests are left to the other runs.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return None
    try:
        with warnings.catch_warnings():
            # older matplotlib releases use pyparsing names that newer
            # pyparsing releases deprecate, once, while matplotlib imports
            warnings.simplefilter("ignore", DeprecationWarning)
            import matplotlib.image
    except ImportError:
        return None
    return matplotlib.image


mpimg = _matplotlib_image()
needs_plot = pytest.mark.skipif(
    mpimg is None, reason="matplotlib not importable here (missing, or under a preloaded ASan runtime)")

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(path):
    """(width, height) from the PNG header, read without matplotlib."""
    head = path.read_bytes()[:24]
    assert head[:8] == PNG_SIGNATURE and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def check_png(path, size=(825, 550)):
    assert png_size(path) == size
    pixels = mpimg.imread(path)
    assert pixels.shape[:2] == size[::-1]
    # not a blank canvas: the image area holds many distinct colours
    assert len(np.unique(pixels.reshape(-1, pixels.shape[2]), axis=0)) > 200


@needs_plot
def test_demo_end_to_end(tmp_path, capsys):
    out = tmp_path / "demo"
    assert main(["demo", "--out", str(out), "--check"]) == 0
    stdout, stderr = capsys.readouterr()
    for name in ("slant_stack", "phase_shift", "fdbf"):
        check_png(out / f"{name}.png")
        assert name in stdout
    assert png_size(out / "gather.png") == (825, 495)
    assert "demo: 7/7" in stderr  # the progress, one line per step off a terminal
    with open(out / "picks.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert {r["method"] for r in rows} == {"slant_stack", "phase_shift", "fdbf"}
    truth = synthetic.ExponentialCurve()
    resolved = 0
    for r in rows:
        f, v, t = float(r["frequency"]), float(r["velocity"]), float(r["true_velocity"])
        assert t == pytest.approx(float(truth(f)), rel=1e-9)
        assert float(r["wavelength"]) == pytest.approx(v / f, rel=1e-9)
        assert float(r["error_percent"]) == pytest.approx(100 * (v / t - 1), abs=1e-6)
        if r["resolved"] == "1":
            resolved += 1
            assert 13.0 < f < 67.0 and abs(v / t - 1) < 0.01
    assert resolved == 3 * 106  # 13.4 to 66.3 Hz at 0.5 Hz, three methods


def test_python_dash_m(tmp_path):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    run = subprocess.run([sys.executable, "-m", "molvak", "--version"], capture_output=True,
                         text=True, cwd=tmp_path, env=env)
    assert run.returncode == 0 and run.stdout.strip() == f"molvak {molvak.__version__}"


@pytest.fixture(scope="module")
def shots():
    offsets = 4.0 + 2.0 * np.arange(16)
    curve = synthetic.ExponentialCurve(low=420.0, high=170.0, scale=12.0)
    return [synthetic.make_gather(offsets, 2e-3, 400, curve, 20.0, noise=0.01, seed=s)
            for s in (1, 2)]


GRID = ["--vmin", "100", "--vmax", "500", "--dv", "5", "--fmin", "5", "--fmax", "40", "--quiet"]


@needs_plot
@pytest.mark.parametrize("method", ["slant_stack", "phase_shift", "fdbf"])
def test_image_writes_what_the_api_computes(tmp_path, shots, method):
    g = shots[0]
    np.savez(tmp_path / "shot.npz", data=g.data, offsets=g.offsets, dt=g.dt)
    out = tmp_path / "out"
    assert main(["image", str(tmp_path / "shot.npz"), "--method", method, "--out", str(out)]
                + GRID) == 0
    check_png(out / f"shot.npz.{method}.png")
    written = DispersionCurve.from_csv(out / f"shot.npz.{method}.csv")
    expected = molvak.ESTIMATORS[method](g.data, g.offsets, g.dt, velocities=(100, 500, 5),
                                         fmin=5, fmax=40).pick()
    np.testing.assert_array_equal(written.frequency, expected.frequency)
    np.testing.assert_array_equal(written.velocity, expected.velocity)
    np.testing.assert_array_equal(written.quality, expected.quality)


def test_image_reads_npy_and_text_and_stacks(tmp_path, shots, capsys):
    a, b = shots
    # both files hold one row per time sample (--transpose), dt and the
    # offsets come from the command line
    np.save(tmp_path / "a.npy", a.data.T)
    np.savetxt(tmp_path / "b.txt", b.data.T)
    out = tmp_path / "out"
    assert main(["image", str(tmp_path / "a.npy"), str(tmp_path / "b.txt"), "--transpose",
                 "--dt", "0.002", "--offsets", "4:2", "--stack", "--out", str(out),
                 "--no-plot"] + GRID) == 0
    assert sorted(p.name for p in out.iterdir()) == ["stack.phase_shift.csv",
                                                     "stack.phase_shift.npz"]
    assert f"wrote {out / 'stack.phase_shift.csv'}" in capsys.readouterr().out
    images = [molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(100, 500, 5), fmin=5,
                                 fmax=40) for g in shots]
    expected = molvak.stack(images).pick()
    written = DispersionCurve.from_csv(out / "stack.phase_shift.csv")
    np.testing.assert_array_equal(written.frequency, expected.frequency)
    # the text file holds the samples to 18 digits, so the second image differs
    # from the API's by rounding only
    np.testing.assert_allclose(written.velocity, expected.velocity, rtol=1e-9)


@needs_plot
def test_image_stack_draws_one_picture(tmp_path, shots, capsys):
    paths = []
    for k, g in enumerate(shots):
        paths.append(str(tmp_path / f"s{k}.npz"))
        np.savez(paths[-1], data=g.data, offsets=g.offsets, dt=g.dt)
    assert main(["image", *paths, "--stack", "--method", "fdbf", "--out", str(tmp_path)]
                + GRID[:-1]) == 0
    check_png(tmp_path / "stack.fdbf.png")
    assert "imaging: 3/3 stack" in capsys.readouterr().err


def test_image_dead_trace_warning(tmp_path, shots, capsys):
    g = shots[0]
    data = g.data.copy()
    data[5] = 0.0
    np.savez(tmp_path / "dead.npz", data=data, offsets=g.offsets, dt=g.dt)
    assert main(["image", str(tmp_path / "dead.npz"), "--out", str(tmp_path), "--no-plot"]
                + GRID) == 0
    err = capsys.readouterr().err
    assert "molvak: warning: dead.npz: dead traces (all samples zero) left out: 5 (offset 14)" \
        in err
    curve = DispersionCurve.from_csv(tmp_path / "dead.npz.phase_shift.csv")
    assert len(curve) > 0 and np.isfinite(curve.velocity).all()


@pytest.mark.parametrize("files, extra, message", [
    ({"g.npy": np.ones((4, 50))}, ["--dt", "0.001"], "no offsets; give --offsets"),
    ({"g.npy": np.ones((4, 50))}, ["--offsets", "0:1"], "no sample interval; give --dt"),
    ({"g.npz": {"gather": np.ones((4, 50))}}, [], "needs the arrays data, offsets and dt; "
                                                  "found gather"),
    ({"g.npz": {"data": np.ones((4, 50)), "offsets": np.arange(3.0), "dt": 0.001}}, [],
     "g.npz: offsets must have one entry per trace"),
    ({"g.npy": np.ones(50)}, ["--dt", "0.001", "--offsets", "0:1"], "must be a 2-D array"),
    ({}, [], "missing.npz: no such file"),
    ({"g.npy": np.ones((4, 50))}, ["--dt", "0.001", "--offsets", "a:b"], "expected START:STEP"),
])
def test_image_usage_errors(tmp_path, capsys, files, extra, message):
    for name, content in files.items():
        if name.endswith(".npz"):
            np.savez(tmp_path / name, **content)
        else:
            np.save(tmp_path / name, content)
    target = next(iter(files), "missing.npz")
    assert main(["image", str(tmp_path / target), "--out", str(tmp_path)] + extra) == 2
    err = capsys.readouterr().err
    assert err.startswith("molvak: error: ") and message in err


def test_demo_check_fails_on_a_poor_record(tmp_path, capsys):
    # with 40 % noise the picks at long wavelengths stray: --check says so
    assert main(["demo", "--out", str(tmp_path), "--no-plot", "--noise", "0.4", "--check",
                 "--quiet", "--fmin", "10", "--fmax", "70", "--df", "1", "--dv", "4"]) == 1
    assert "off the true curve (limit 1 %)" in capsys.readouterr().err
