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
        molvak.process(survey, "music", **GRID)
    bad = Gather(np.zeros((16, 400)), survey[0].offsets, DT, headers={"path": "dead.npz"})
    with pytest.raises(ValueError, match=r"gathers\[2\] \(dead.npz\): data has 0 live trace"):
        molvak.process([survey[0], survey[1], bad], "phase_shift", workers=2, **GRID)
    with pytest.raises(TypeError, match="client must be a dask.distributed Client"):
        molvak.process(survey, "phase_shift", client=object(), **GRID)
    assert molvak.process([], "phase_shift", **GRID) == []


def _pause(dask_worker):
    # the memory monitor would resume a worker paused below its memory limit
    from distributed.core import Status
    dask_worker.memory_manager.memory_pause_fraction = False
    dask_worker.status = Status.paused


def _resume(dask_worker):
    from distributed.core import Status
    dask_worker.status = Status.running


def _work_held(dask_scheduler):
    """Tasks running on or results held by each worker."""
    return {addr: len(ws.processing) + len(ws.has_what)
            for addr, ws in dask_scheduler.workers.items()}


def test_dask_local_cluster_equals_serial(survey):
    distributed = pytest.importorskip("distributed")
    import logging
    import os
    import signal
    expected = serial(survey, "phase_shift", **GRID)
    # two worker processes: the gathers and the images travel by pickling
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None,
                                  silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster) as client:
        images = molvak.process(survey, "phase_shift", client=client, **GRID)
        assert_same(images, expected)
        # twelve gathers travel in eight runs of one or two: still in order
        twice = survey[::-1] + survey
        assert_same(molvak.process(twice, "phase_shift", client=client, **GRID),
                    expected[::-1] + expected)
        # a failure on a worker comes back with the gather named, raised or
        # returned in its place
        bad = Gather(np.zeros((16, 400)), survey[0].offsets, DT, headers={"path": "dead.npz"})
        with pytest.raises(ValueError, match=r"gathers\[11\] \(dead.npz\)"):
            molvak.process(twice[:11] + [bad], "phase_shift", client=client, **GRID)
        out = molvak.process([bad] + survey[:2], "phase_shift", client=client,
                             errors="return", **GRID)
        assert isinstance(out[0], molvak.GatherError) and out[0].index == 0
        assert out[0].name == "dead.npz" and "0 live trace" in str(out[0].error)
        assert_same(out[1:], expected[:2])

        # one of the two worker processes killed halfway: its work is done
        # again on the other (its nanny starts a new one), the results are
        # those of the serial run. The victim is a worker that holds work.
        many = survey * 4
        stream = molvak.iter_process(many, "phase_shift", client=client, timeout=300, **GRID)
        first = [next(stream)]
        held = client.run_on_scheduler(_work_held)
        victim = max(held, key=held.get)
        assert held[victim] >= 1
        os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
        assert_same(first + list(stream), expected * 4)

        # paused workers: the timeout says which gather did not come back
        client.wait_for_workers(2, timeout=60)
        client.run(_pause)
        try:
            with pytest.raises(TimeoutError, match=r"timeout of 1 s reached with 0 of 6 "
                                                   r"gathers imaged; gathers\[0\] \(shot0.npz\)"):
                molvak.process(survey, "phase_shift", client=client, timeout=1, **GRID)
        finally:
            client.run(_resume)
        assert_same(molvak.process(survey, "phase_shift", client=client, timeout=300, **GRID),
                    expected)


def test_failures_are_returned_or_raised_and_named(survey):
    bad = Gather(np.zeros((16, 400)), survey[0].offsets, DT, headers={"path": "dead.npz"})
    gathers = survey[:3] + [bad] + survey[3:]
    expected = serial(survey, "phase_shift", **GRID)
    for workers in (1, 2):
        out = molvak.process(gathers, "phase_shift", workers=workers, errors="return", **GRID)
        assert [type(r).__name__ for r in out] == ["DispersionImage"] * 3 + ["GatherError"] \
            + ["DispersionImage"] * 3
        assert (out[3].index, out[3].name) == (3, "dead.npz")
        assert isinstance(out[3].error, ValueError) and str(out[3]).startswith(
            "gathers[3] (dead.npz): data has 0 live trace")
        assert_same(out[:3] + out[4:], expected)
    with pytest.raises(ValueError, match="errors must be one of 'raise', 'return'"):
        molvak.process(survey, "phase_shift", errors="ignore", **GRID)
    # raised in its own type whichever task finishes first (a failure done
    # before the waiting starts came back as a bare GatherError)
    for _ in range(40):
        with pytest.raises(ValueError, match=r"gathers\[0\] \(dead.npz\)"):
            molvak.process([bad] + survey[:2], "phase_shift", workers=2, **GRID)


def test_warnings_on_workers_name_their_gather(survey):
    # a stuck channel in shot 4: the warning, issued on a worker thread,
    # comes back to the caller naming the gather
    data = survey[4].data.copy()
    data[2] = 0.25
    odd = Gather(data, survey[4].offsets, DT, headers={"path": "stuck.npz"})
    gathers = survey[:4] + [odd]
    for workers in (1, 3):
        with pytest.warns(molvak.DeadTraceWarning) as caught:
            molvak.process(gathers, "phase_shift", workers=workers, **GRID)
        assert [str(w.message) for w in caught] == [
            "gathers[4] (stuck.npz): dead traces (stuck at a constant level) left out: "
            "2 (offset 12)"]


def test_images_stream_with_bounded_memory_and_a_timeout(survey):
    import threading
    pulled = []

    def lazy():
        for k in range(60):
            pulled.append(k)
            yield survey[k % 6]

    stream = molvak.iter_process(lazy(), "phase_shift", workers=2, **GRID)
    first = next(stream)
    # two threads, two gathers each in flight at most: the other 55 gathers
    # are not even read yet, and no image beyond these is held
    assert len(pulled) <= 5
    assert_same([first] + [next(stream) for _ in range(5)], serial(survey, "phase_shift", **GRID))
    stream.close()

    release = threading.Event()

    def stuck(data, offsets, dt, **options):
        release.wait(60)
        return molvak.phase_shift(data, offsets, dt, **options)

    try:
        for client in (None, ThreadPoolExecutor(max_workers=2)):
            with pytest.raises(TimeoutError, match=r"timeout of 0.2 s reached with 0 of 6 "
                                                   r"gathers imaged; gathers\[0\] \(shot0.npz\) "
                                                   r"has not come back"):
                molvak.process(survey, stuck, client=client, workers=2, timeout=0.2, **GRID)
    finally:
        release.set()


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
        written = DispersionCurve.from_csv(tmp_path / "out" / f"{g.name}.phase_shift.csv")
        expected = image.pick()
        np.testing.assert_array_equal(written.velocity, expected.velocity)
    assert "wrote" in capsys.readouterr().out
