"""Concurrency: the functions run without the interpreter lock, so several
threads may call them at once; results must equal the sequential ones."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _molvak
from lock import assert_releases_lock

RNG = np.random.default_rng(7)
DT = 0.002
GATHERS = [RNG.standard_normal((12, 500 + 37 * k)) for k in range(4)]
OFFSETS = 3.0 + np.arange(12) * 2.0
VELS = np.linspace(80.0, 900.0, 60)


def jobs(gather):
    time_axis = np.arange(gather.shape[1]) * DT
    return [
        ("rfft", lambda: _molvak._rfft(gather, n=1009)),
        ("radon", lambda: _molvak._radon_transform(gather, OFFSETS, 1.0 / VELS, DT, 0.0, moveout_type=2)),
        ("slantstack", lambda: _molvak._disp_slantstack(gather, OFFSETS, time_axis, VELS, DT, f_range=(5, 120))),
        ("phase_shift", lambda: _molvak._phase_shift(gather, OFFSETS, VELS, DT, f_range=(5, 120), n=2048)),
        ("fdbf", lambda: _molvak._FDBF(gather, OFFSETS, VELS, DT, f_range=(5, 120))),
        ("fdbf-plane", lambda: _molvak._FDBF(gather, OFFSETS, VELS, DT, (5, 120), "plane", "none")),
    ]


def flatten(result):
    return [np.asarray(r) for r in (result if isinstance(result, tuple) else (result,))]


@pytest.mark.parametrize("shared", [True, False], ids=["shared-inputs", "own-inputs"])
def test_eight_threads_match_sequential(shared):
    gathers = [GATHERS[0]] * 4 if shared else GATHERS
    work = [(g, name, fn) for g in gathers for name, fn in jobs(g)] * 2
    expected = [flatten(fn()) for _, _, fn in work]
    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(lambda item: flatten(item[2]()), work))
    for (_, name, _), got, want in zip(work, results, expected):
        for g, w in zip(got, want):
            np.testing.assert_array_equal(g, w, err_msg=name)


def test_interpreter_lock_is_released_during_long_calls():
    gather = np.random.default_rng(3).standard_normal((96, 4000))
    offsets = 2.0 + np.arange(96.0)
    vels = np.linspace(50.0, 1500.0, 500)
    assert_releases_lock(lambda: _molvak._FDBF(gather, offsets, vels, 0.0005, f_range=(2.0, 400.0)))
