"""What `molvak image` writes: names that keep the whole input name and are
unique in a run, no input and no existing file ever replaced, every check
made before any work, results written as soon as each is ready, complete or
not at all, also when the run is interrupted; memory bounded by one image."""
import hashlib
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import molvak
from molvak import DispersionCurve, DispersionImage, Gather, synthetic
from molvak.cli import main

DT = 0.002
GRID = ["--vmin", "100", "--vmax", "500", "--dv", "5", "--fmin", "5", "--fmax", "40", "--quiet"]


@pytest.fixture(scope="module")
def shot():
    offsets = 4.0 + 2.0 * np.arange(16)
    curve = synthetic.ExponentialCurve(low=420.0, high=170.0, scale=12.0)
    return synthetic.make_gather(offsets, DT, 400, curve, 20.0, noise=0.01, seed=1)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def names(folder):
    return sorted(p.name for p in folder.iterdir())


def test_names_keep_the_input_name_and_are_unique(tmp_path, shot, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # shot.1.csv used to write its picks over shot.csv (Path.with_suffix)
    np.savetxt("shot.csv", shot.data, delimiter=",")
    np.savetxt("shot.1.csv", shot.data, delimiter=",")
    before = digest(tmp_path / "shot.csv")
    args = ["--dt", str(DT), "--offsets", "4:2", "--no-plot"] + GRID
    assert main(["image", "shot.1.csv"] + args) == 0
    assert digest(tmp_path / "shot.csv") == before
    assert names(tmp_path) == ["shot.1.csv", "shot.1.csv.phase_shift.csv",
                               "shot.1.csv.phase_shift.npz", "shot.csv"]
    # two dotted names of one prefix, and one name in two folders
    for d in ("day1", "day2"):
        (tmp_path / d).mkdir()
        np.save(tmp_path / d / "1.npy", shot.data)
    np.save("line1.shot6.npy", shot.data)
    np.save("line1.shot36.npy", shot.data)
    capsys.readouterr()
    assert main(["image", "line1.shot6.npy", "line1.shot36.npy", "day1/1.npy", "day2/1.npy",
                 "day1/../day1/1.npy", "--out", "out"] + args) == 0
    out, err = capsys.readouterr()
    assert names(tmp_path / "out") == [
        f"{stem}.phase_shift.{kind}" for stem in
        ("day1_1.npy", "day2_1.npy", "line1.shot36.npy", "line1.shot6.npy")
        for kind in ("csv", "npz")]
    assert "2 inputs are named 1.npy; their outputs are told apart by their folders: " \
           "day1/1.npy -> day1_1.npy, day2/1.npy -> day2_1.npy" in err
    assert "day1/../day1/1.npy is day1/1.npy, given twice: imaged once" in err
    wrote = re.findall(r"^wrote (.*)$", out, re.M)
    assert len(wrote) == 8 == len(set(wrote))
    # source positions -2.5 m and -2.25 m used to share source_-2
    for name, source in (("a.npz", -2.5), ("b.npz", -2.25)):
        Gather(shot.data, dt=DT, source=source, receivers=shot.offsets + source).save(name)
    assert main(["image", "a.npz", "b.npz", "--by-source", "--out", "src", "--no-plot"]
                + GRID) == 0
    assert names(tmp_path / "src") == [
        "source_-2.25.phase_shift.csv", "source_-2.25.phase_shift.npz",
        "source_-2.5.phase_shift.csv", "source_-2.5.phase_shift.npz"]
    assert "source at -2.25 m: 1 shot(s) stacked (b.npz)" in capsys.readouterr().out


def test_existing_files_and_inputs_are_never_replaced(tmp_path, shot, capsys):
    np.savez(tmp_path / "g.npz", data=shot.data, offsets=shot.offsets, dt=DT)
    run = ["image", str(tmp_path / "g.npz"), "--out", str(tmp_path), "--no-plot"] + GRID
    assert main(run) == 0
    written = {p: digest(p) for p in tmp_path.glob("g.npz.*")}
    assert len(written) == 2
    capsys.readouterr()
    # a rerun stops before any work, in one line, and leaves the files
    assert main(run) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1
    assert err == (f"molvak: error: {tmp_path / 'g.npz.phase_shift.csv'} and 1 more output "
                   f"file(s) exist already; give --overwrite to replace them, or another "
                   f"--out\n")
    assert {p: digest(p) for p in tmp_path.glob("g.npz.*")} == written
    assert main(run + ["--overwrite"]) == 0
    # an input is never replaced, --overwrite or not: a text gather that
    # happens to bear the name of g.npz's picks
    clash = tmp_path / "g.npz.phase_shift.csv"
    np.savetxt(clash, shot.data, delimiter=",")
    before = digest(clash)
    capsys.readouterr()
    assert main(["image", str(tmp_path / "g.npz"), str(clash), "--dt", str(DT), "--offsets",
                 "4:2", "--out", str(tmp_path), "--overwrite", "--no-plot"] + GRID) == 2
    assert capsys.readouterr().err == (f"molvak: error: {clash} would replace an input file; "
                                       f"choose another --out\n")
    assert digest(clash) == before


def test_a_rerun_on_a_folder_skips_molvak_outputs(tmp_path, shot, capsys):
    folder = tmp_path / "shots"
    folder.mkdir()
    for k in range(2):
        np.savez(folder / f"shot{k}.npz", data=shot.data, offsets=shot.offsets, dt=DT)
    # picks of an earlier release, under its old name
    DispersionCurve.from_arrays([5.0, 6.0], [300.0, 290.0]).to_csv(
        folder / "shot0_phase_shift.csv")
    run = ["image", str(folder), "--out", str(folder)] + GRID
    assert main(run) == 0
    capsys.readouterr()
    assert main(run + ["--overwrite"]) == 0
    out, err = capsys.readouterr()
    assert "left out (shot0.npz.phase_shift.csv, ...)" in err and "7 output file(s)" in err
    assert len(re.findall("^wrote", out, re.M)) == 6       # two gathers, three files each
    assert not any("phase_shift.npz.phase_shift" in n or "png.phase" in n
                   for n in names(folder))
    # named explicitly, an output is refused in words
    assert main(["image", str(folder / "shot0.npz.phase_shift.npz"), "--out",
                 str(tmp_path)]) == 2
    assert "shot0.npz.phase_shift.npz is a dispersion image written by molvak, not a gather" \
        in capsys.readouterr().err


def test_everything_is_checked_before_any_work(tmp_path, shot, capsys):
    for k in range(2):
        np.save(tmp_path / f"g{k}.npy", shot.data)
    # every missing argument of every file, in one line
    assert main(["image", str(tmp_path / "g0.npy"), str(tmp_path / "g1.npy"), "--out",
                 str(tmp_path / "out")]) == 2
    assert capsys.readouterr().err == (
        f"molvak: error: {tmp_path / 'g0.npy'}, {tmp_path / 'g1.npy'}: no sample interval and "
        f"no offsets; give --dt (seconds) and --offsets (a file, START:STEP or a list)\n")
    # an output folder that is a file
    (tmp_path / "taken").write_text("x")
    common = [str(tmp_path / "g0.npy"), "--dt", str(DT), "--offsets", "4:2"] + GRID
    assert main(["image", *common, "--out", str(tmp_path / "taken")]) == 2
    assert capsys.readouterr().err == (f"molvak: error: --out {tmp_path / 'taken'}: exists "
                                       f"and is not a folder\n")
    if os.geteuid() != 0:       # root writes anywhere
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        assert main(["image", *common, "--out", str(locked)]) == 2
        assert "cannot write into the folder" in capsys.readouterr().err
    # an option of another estimator
    assert main(["image", *common, "--out", str(tmp_path), "--steering", "plane"]) == 2
    assert capsys.readouterr().err == ("molvak: error: --steering is an option of --method "
                                       "fdbf or capon, not of phase_shift\n")
    assert not (tmp_path / "out").exists() or names(tmp_path / "out") == []


def test_a_faulty_gather_does_not_stop_the_others(tmp_path, shot, capsys):
    np.savez(tmp_path / "a.npz", data=shot.data, offsets=shot.offsets, dt=DT)
    np.savez(tmp_path / "b.npz", data=np.zeros_like(shot.data), offsets=shot.offsets, dt=DT)
    np.savez(tmp_path / "c.npz", data=shot.data[::-1], offsets=shot.offsets[::-1], dt=DT)
    out = tmp_path / "out"
    for workers in ("1", "2"):
        assert main(["image", str(tmp_path), "--out", str(out), "--workers", workers,
                     "--overwrite", "--no-plot"] + GRID) == 2
        err = capsys.readouterr().err.splitlines()
        assert err[-2].startswith(f"molvak: error: {tmp_path / 'b.npz'}: data has 0 live trace")
        assert err[-1] == ("molvak: error: 1 gather(s) not imaged (above); wrote 4 file(s), "
                           "the results of 2 of 3 gather(s)")
        # the reverse listing of the same traces images the same
        a = DispersionImage.load(out / "a.npz.phase_shift.npz")
        c = DispersionImage.load(out / "c.npz.phase_shift.npz")
        np.testing.assert_array_equal(a.spectrum, c.spectrum)
        expected = molvak.phase_shift(shot.data, shot.offsets, DT, velocities=(100, 500, 5),
                                      fmin=5, fmax=40)
        np.testing.assert_array_equal(a.spectrum, expected.spectrum)
        assert DispersionCurve.from_csv(out / "c.npz.phase_shift.csv").velocity.tolist() == \
            expected.pick().velocity.tolist()


def test_help_states_the_naming_scheme(capsys):
    with pytest.raises(SystemExit):
        main(["image", "--help"])
    text = capsys.readouterr().out
    assert "line1.shot6.dat -> line1.shot6.dat.phase_shift.csv" in text
    assert "<file>.<method>.npz" in text and "--overwrite" in text
    for name in molvak.estimators.names():
        assert f"  {name} " in text


# --------------------------------------------------------------------------
# many files in a subprocess: Ctrl-C and memory

def _cli(args, **kw):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.Popen([sys.executable, "-m", "molvak", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            # a background shell starts children with Ctrl-C ignored;
                            # Python installs its handler only over the default
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
                            **kw)


def _survey(folder, count, samples):
    """`count` copies of a 24-trace gather, as .npz files."""
    folder.mkdir()
    offsets = 4.0 + 2.0 * np.arange(24)
    g = synthetic.make_gather(offsets, 1e-3, samples, synthetic.ExponentialCurve(), 20.0,
                              noise=0.01, seed=0)
    for k in range(count):
        np.savez(folder / f"shot{k:02d}.npz", data=g.data, offsets=offsets, dt=1e-3)


def test_ctrl_c_leaves_complete_results_and_says_what(tmp_path):
    _survey(tmp_path / "in", 40, 2000)
    out = tmp_path / "out"
    run = _cli(["image", str(tmp_path / "in"), "--out", str(out), "--no-plot", "--quiet",
                "--df", "0.25", "--vmin", "50", "--vmax", "800", "--dv", "0.5"])
    try:
        # interrupt once a few results are on disk
        while len(list(out.glob("*.npz"))) < 3 and run.poll() is None:
            time.sleep(0.05)
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=300)
    finally:
        if run.poll() is None:
            run.kill()
    assert run.returncode == 130, stderr
    wrote = re.findall(r"^wrote (.*)$", stdout, re.M)
    results = len(wrote) // 2
    assert 3 <= results < 40
    assert stderr.splitlines()[-1] == (f"molvak: interrupted: wrote {len(wrote)} file(s), the "
                                       f"results of {results} of 40 gather(s)")
    # every file on disk was announced, loads completely, and no temporary
    # file is left behind
    assert sorted(str(p) for p in out.iterdir()) == sorted(wrote)
    for path in out.iterdir():
        if path.suffix == ".csv":
            assert len(DispersionCurve.from_csv(path)) > 100
        else:
            assert DispersionImage.load(path).shape == (397, 1501)


def _peak_rss_kib(args):
    """Peak resident memory of a CLI run (its own process, measured by the
    kernel for the waited child)."""
    script = ("import resource, subprocess, sys\n"
              "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)\n"
              "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", script, sys.executable, "-m", "molvak",
                           *args], env=env, capture_output=True, text=True, check=True)
    return int(done.stdout)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer holds freed memory in quarantine")
def test_memory_does_not_grow_with_the_number_of_files(tmp_path):
    # each image is 397 x 1501 complex values, 9.5 MB; forty held at once
    # would add 380 MB to the run
    _survey(tmp_path / "in", 40, 1000)
    grid = ["--no-plot", "--quiet", "--df", "0.25", "--vmin", "50", "--vmax", "800", "--dv",
            "0.5"]
    one = _peak_rss_kib(["image", str(tmp_path / "in" / "shot00.npz"), "--out",
                         str(tmp_path / "one"), *grid])
    forty = _peak_rss_kib(["image", str(tmp_path / "in"), "--out", str(tmp_path / "forty"),
                           *grid])
    assert len(list((tmp_path / "forty").glob("*.npz"))) == 40
    assert forty < 1.5 * one, (one, forty)
