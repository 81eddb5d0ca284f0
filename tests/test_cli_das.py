"""`molvak virtual` and `molvak timelapse`: outputs equal to the package's
functions, never replaced without --overwrite, a rerun that reads the
blocks' stacks instead of correlating them, and Ctrl-C saying what was
written."""
import numpy as np
import pytest

import molvak
from molvak import synthetic
from molvak.cli import main
from molvak.interferometry import CorrelationStack

pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

GRID = ["--velocities", "100", "800", "5", "--fmin", "5", "--fmax", "30", "--quiet"]


@pytest.fixture(scope="module")
def record(tmp_path_factory):
    path = tmp_path_factory.mktemp("record") / "noise.npz"
    synthetic.ambient_noise(120.0, channels=24, seed=6).gather().save(path)
    return path


def test_virtual_writes_gathers_images_and_picks(tmp_path, record, capsys):
    args = ["virtual", str(record), "--source", "0", "7", "--length", "4", "--max-lag", "1",
            "--whiten", "3", "40", "--out", str(tmp_path / "out")] + GRID
    assert main(args) == 0
    names = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert names == sorted(f"virtual_{s}{x}" for s in (0, 7) for x in (
        ".npz", ".png", ".phase_shift.npz", ".phase_shift.csv", ".phase_shift.png"))
    expected = molvak.virtual_gather(molvak.read(record), [0, 7], 4.0, max_lag=1.0,
                                     whiten=(3.0, 40.0))
    for s, g in zip((0, 7), expected):
        written = molvak.read(tmp_path / "out" / f"virtual_{s}.npz")
        np.testing.assert_array_equal(written.data, g.data)
        np.testing.assert_array_equal(written.offsets, g.offsets)
    before = (tmp_path / "out" / "virtual_0.npz").read_bytes()
    assert main(args) == 2
    assert "already holds" in capsys.readouterr().err
    assert (tmp_path / "out" / "virtual_0.npz").read_bytes() == before


def test_timelapse_resumes_and_reports_an_interrupt(tmp_path, record, capsys, monkeypatch):
    args = ["timelapse", str(record), "--source", "0", "--length", "4", "--max-lag", "1",
            "--block", "40", "--lags", "0.05", "1.0", "--dvv-fmin", "5", "--dvv-fmax", "30",
            "--out", str(tmp_path / "tl"), "--no-plot"] + GRID
    real = CorrelationStack.save
    calls = []

    def save(self, path, **kw):
        if calls:
            raise KeyboardInterrupt
        calls.append(path)
        real(self, path, **kw)

    monkeypatch.setattr(CorrelationStack, "save", save)
    assert main(args) == 130
    err = capsys.readouterr().err
    assert "wrote 0 file(s)" in err and "1 block stack(s)" in err
    monkeypatch.setattr(CorrelationStack, "save", real)
    assert main(args) == 0
    out = capsys.readouterr().out
    assert "blocks: 2 correlated, 1 read" in out
    rows = np.genfromtxt(tmp_path / "tl" / "dvv.csv", delimiter=",", names=True, dtype=None,
                         encoding="utf-8")
    assert rows.size == 3 and np.isfinite(rows["dvv"]).all()
    assert main(args + ["--overwrite"]) == 0
    assert "blocks: 0 correlated, 3 read" in capsys.readouterr().out
