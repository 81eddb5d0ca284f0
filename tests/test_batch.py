"""Batch imaging: a thread pool, an executor and a real dask.distributed
cluster must give the serial results, in order."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import molvak
from molvak import Gather
from molvak.synthetic import ExponentialCurve, make_gather

DT = 0.002
GRID = dict(velocities=(100, 500, 4), fmin=5, fmax=45)


@pytest.fixture(scope="module")
def survey():
    """Six shots whose curves and record lengths differ, so that any mix-up
    of the order shows in the frequency axes and spectra."""
    x = 4.0 + 2.0 * np.arange(16)
    out = []
    for k in range(6):
        curve = ExponentialCurve(low=400.0 + 15 * k, high=150.0 + 8 * k, scale=12.0)
        s = make_gather(x, DT, 400 + 20 * k, curve, 20.0, noise=0.02, seed=k)
        out.append(Gather(s.data, dt=DT, source=-4.0 - k, receivers=x - 4.0,
                          headers={"path": f"shot{k}.npz"}))
    return out


def serial(gathers, method, **options):
    return [molvak.ESTIMATORS[method](g.data, g.offsets, g.dt, **options) for g in gathers]


def assert_same(images, expected):
    assert len(images) == len(expected)
    for a, b in zip(images, expected):
        np.testing.assert_array_equal(a.frequency, b.frequency)
        np.testing.assert_array_equal(a.spectrum, b.spectrum)
        assert a.method == b.method and a.params["n"] == b.params["n"]


@pytest.mark.parametrize("method, extra", [
    ("phase_shift", {}), ("slant_stack", {}), ("fdbf", {"steering": "plane"}),
])
def test_thread_pool_equals_serial(survey, method, extra):
    expected = serial(survey, method, **GRID, **extra)
    assert_same(molvak.process(survey, method, workers=2, **GRID, **extra), expected)
    assert_same(molvak.process(survey, method, workers=1, **GRID, **extra), expected)
    assert_same(molvak.process(survey, method, **GRID, **extra), expected)


def test_executor_and_callable(survey):
    expected = serial(survey, "phase_shift", **GRID)
    with ThreadPoolExecutor(max_workers=3) as pool:
        assert_same(molvak.process(survey, "phase_shift", client=pool, **GRID), expected)
    assert_same(molvak.process(survey, molvak.phase_shift, workers=2, **GRID), expected)


def test_errors_name_the_gather(survey):
    with pytest.raises(TypeError, match=r"gathers\[1\] is not a Gather; got ndarray"):
        molvak.process([survey[0], survey[1].data], "phase_shift", **GRID)
    with pytest.raises(ValueError, match="method must be one of"):
        molvak.process(survey, "fk", **GRID)
    bad = Gather(np.zeros((16, 400)), survey[0].offsets, DT, headers={"path": "dead.npz"})
    with pytest.raises(ValueError, match=r"gathers\[2\] \(dead.npz\): data has 0 live trace"):
        molvak.process([survey[0], survey[1], bad], "phase_shift", workers=2, **GRID)
    with pytest.raises(TypeError, match="client must be a dask.distributed Client"):
        molvak.process(survey, "phase_shift", client=object(), **GRID)
    assert molvak.process([], "phase_shift", **GRID) == []


def test_dask_local_cluster_equals_serial(survey):
    distributed = pytest.importorskip("distributed")
    expected = serial(survey, "phase_shift", **GRID)
    # two worker processes: the gathers and the images travel by pickling
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        images = molvak.process(survey, "phase_shift", client=client, **GRID)
        assert_same(images, expected)
        # twelve gathers travel in eight runs of one or two: still in order
        twice = survey[::-1] + survey
        assert_same(molvak.process(twice, "phase_shift", client=client, **GRID),
                     expected[::-1] + expected)
        # a failure on a worker comes back with the gather named
        bad = Gather(np.zeros((16, 400)), survey[0].offsets, DT, headers={"path": "dead.npz"})
        with pytest.raises(ValueError, match=r"gathers\[11\] \(dead.npz\)"):
            molvak.process(twice[:11] + [bad], "phase_shift", client=client, **GRID)


def test_command_line_on_a_dask_scheduler(survey, tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    from molvak import DispersionCurve
    from molvak.cli import main
    for g in survey[:3]:
        g.save(tmp_path / g.name)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=":0") as cluster:
        assert main(["image", str(tmp_path), "--scheduler", cluster.scheduler_address,
                     "--vmin", "100", "--vmax", "500", "--dv", "4", "--fmin", "5", "--fmax",
                     "45", "--no-plot", "--quiet", "--out", str(tmp_path / "out")]) == 0
    for g, image in zip(survey[:3], serial(survey[:3], "phase_shift", **GRID)):
        written = DispersionCurve.from_csv(tmp_path / "out" / f"{g.name[:-4]}_phase_shift.csv")
        expected = image.pick()
        np.testing.assert_array_equal(written.velocity, expected.velocity)
    assert "wrote" in capsys.readouterr().out
