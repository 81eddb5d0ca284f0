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


def test_image_modes_all_picks_and_the_summary(tmp_path, capsys):
    g = synthetic.multimode_gather(seed=0, noise=0.03)
    np.savez(tmp_path / "shot.npz", data=g.data, offsets=g.offsets, dt=g.dt)
    grid = ["--vmin", "80", "--vmax", "1000", "--dv", "2", "--fmin", "5", "--fmax", "60",
            "--quiet"]
    assert main(["image", str(tmp_path / "shot.npz"), "--modes", "2", "--out", str(tmp_path),
                 "--no-plot"] + grid) == 0
    image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(80, 1000, 2), fmin=5,
                               fmax=60)
    expected = image.pick(modes=2)
    written = molvak.read_curves(tmp_path / "shot.npz.phase_shift.csv")
    assert [c.mode for c in written] == [0, 1] and all(len(c) > 20 for c in written)
    for w, e in zip(written, expected):
        for name in DispersionCurve.COLUMNS + ("valid",) + DispersionCurve.FLAGS:
            np.testing.assert_array_equal(getattr(w, name), getattr(e, name))
    with pytest.raises(ValueError, match="several modes"):
        DispersionCurve.from_csv(tmp_path / "shot.npz.phase_shift.csv")
    # one line per image: the valid picks of each mode and their band
    ok = expected[0].select(valid=True)
    line = next(s for s in capsys.readouterr().out.splitlines() if s.startswith(str(tmp_path)))
    assert (f"mode 0: {len(ok)} of {len(expected[0])} picks valid, {ok.frequency.min():.4g}-"
            f"{ok.frequency.max():.4g} Hz") in line
    assert "; mode 1: " in line
    assert main(["image", str(tmp_path / "shot.npz"), "--all-picks", "--out", str(tmp_path),
                 "--no-plot", "--overwrite"] + grid) == 0
    assert f": {len(image.pick())} picks, 5-60 Hz" in capsys.readouterr().out


def _line_files(folder, names):
    for name in names:
        np.save(folder / name, np.ones((4, 50)) + np.arange(50))


@pytest.mark.parametrize("table, inputs, message", [
    ("file,source,first_receiver,spacing\na.npy,0,5,1\n", ["a.npy", "b.npy"],
     "no row for {d}/b.npy"),
    ("file,source,first_receiver,spacing\na.npy,0,5,1\nc.npy,0,5,1\n", [],
     "line 3: c.npy: no such file"),
    ("file,source,first_receiver,spacing\na.npy,0,5,1\na.npy,0,6,1\n", [],
     "line 3 gives a.npy another geometry than line 2"),
    ("file,source,first_receiver,spacing,direction\na.npy,0,5,1,reverse\n", [],
     "line 2: direction reverse contradicts the positions"),
    ("file,source,first_receiver,spacing\na.npy,0,x,1\n", [],
     "line 2: first_receiver = 'x' is not a number"),
    ("name,x\na.npy,1\n", [], "a geometry table needs the columns file"),
])
def test_image_geometry_table_refusals(tmp_path, capsys, table, inputs, message):
    _line_files(tmp_path, ["a.npy", "b.npy"])
    (tmp_path / "t.csv").write_text(table)
    out = tmp_path / "out"
    assert main(["image", *[str(tmp_path / n) for n in inputs], "--geometry",
                 str(tmp_path / "t.csv"), "--dt", "0.001", "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message.format(d=tmp_path) in err
    assert not out.exists() or not any(out.iterdir())       # before any work


def test_image_geometry_table_gives_each_file_its_offsets(tmp_path, field_data, capsys):
    # the Oysand folder's own table: a byte-order mark, CRLF lines, the files
    # named Data/<file> while they lie beside it
    folder = field_data / "oysand"
    out = tmp_path / "out"
    assert main(["image", str(folder / "Oysand_dx_2m_x1_30m_forward.dat"), "--geometry",
                 str(folder / "Oysand_example_dataset.csv"), "--dt", "0.001", "--out", str(out),
                 "--no-plot", "--fmin", "5", "--fmax", "30", "--quiet"]) == 0
    image = molvak.DispersionImage.load(out / "Oysand_dx_2m_x1_30m_forward.dat.phase_shift.npz")
    np.testing.assert_array_equal(image.params["offsets"], 30.0 + 2.0 * np.arange(24))
    # the molvak columns: a reverse line, channel 1 farthest from the source
    _line_files(tmp_path, ["r.npy"])
    (tmp_path / "t.csv").write_text("file,source,first_receiver,spacing,direction\n"
                                    "r.npy,100,70,2,reverse\n")
    assert main(["image", "--geometry", str(tmp_path / "t.csv"), "--dt", "0.001", "--out",
                 str(out), "--no-plot", "--quiet", "--keep-dead"]) == 0
    image = molvak.DispersionImage.load(out / "r.npy.phase_shift.npz")
    np.testing.assert_array_equal(np.sort(image.params["offsets"]), [24.0, 26.0, 28.0, 30.0])


@needs_plot
def test_gather_pictures_and_their_lines(tmp_path, shots, capsys):
    g = shots[0]
    np.savez(tmp_path / "shot.npz", data=g.data, offsets=g.offsets, dt=g.dt)
    out = tmp_path / "out"
    args = ["gather", str(tmp_path / "shot.npz"), "--trim", "0", "0.5", "--mute-before",
            "0:600", "--mute-after", "0.6", "--out", str(out), "--quiet"]
    assert main(args) == 0
    check_png(out / "shot.npz.gather.png", size=(825, 605))
    assert main(args) == 2             # never over an existing picture unless asked
    assert "exist already; give --overwrite" in capsys.readouterr().err
    # the lines drawn are those of trim and mute, in time after the shot
    import matplotlib.figure
    ax = matplotlib.figure.Figure().add_subplot()
    molvak.Gather(g.data, g.offsets, g.dt).plot(ax, kind="image", trim=(0.1, 0.5),
                                                mute=((0.0, 600.0), None))
    assert ax.get_xlabel() == "Offset (m)" and ax.get_ylabel() == "Time after the shot (s)"
    assert ax.get_ylim()[0] > ax.get_ylim()[1]          # time runs down
    lines = {ln.get_label(): ln for ln in ax.get_lines()}
    np.testing.assert_allclose(lines["mute before"].get_ydata(),
                               np.array(lines["mute before"].get_xdata()) / 600.0)
    assert [ln.get_ydata()[0] for ln in ax.get_lines() if ln.get_linestyle() == "--"] == \
        [0.1, 0.5]
