"""Every call releases what it takes: on success and on each failure path the
inputs' reference counts are unchanged and memory does not grow."""
import gc
import sys
import tracemalloc

import numpy as np
import pytest

import _molvak


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


GATHER = np.random.default_rng(1).standard_normal((8, 256))
OFFSETS = np.arange(8.0) * 2 + 1
TIME = np.arange(256) * 0.002
VELS = np.linspace(100.0, 800.0, 30)

CALLS = {
    "rfft": (_molvak._rfft, (GATHER,), {"axis": 0, "n": 300, "stepsize": 0.5}),
    "rfft-bad-axis": (_molvak._rfft, (GATHER,), {"axis": 5}),
    "rfft-empty-axis": (_molvak._rfft, (np.zeros((3, 0)),), {}),
    "rfft-zero-size": (_molvak._rfft, (np.zeros((0, 3)),), {}),
    "rfft-huge": (_molvak._rfft, (GATHER,), {"n": 2**62}),
    "radon": (_molvak._radon_transform, (GATHER, OFFSETS, 1.0 / VELS, 0.002, 0.0), {"moveout_type": 2}),
    "radon-default-time": (_molvak._radon_transform, (GATHER, OFFSETS, 1.0 / VELS, 0.002, 0.0), {}),
    "radon-bad-moveout": (_molvak._radon_transform, (GATHER, OFFSETS, VELS, 0.002, 0.0), {"moveout_type": 7}),
    "radon-bad-offsets": (_molvak._radon_transform, (GATHER, OFFSETS[:3], VELS, 0.002, 0.0), {}),
    "radon-complex": (_molvak._radon_transform, (GATHER, OFFSETS, VELS * 1j, 0.002, 0.0), {}),
    "slantstack": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, VELS, 0.002), {"f_range": (5, 100), "n": 512}),
    "slantstack-f_range": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, VELS, 0.002), {"f_range": (1, "x")}),
    "slantstack-order": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, VELS, 0.002), {"f_range": (50, 5)}),
    "slantstack-beyond": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, VELS, 0.002), {"f_range": (600, 700)}),
    "slantstack-dims": (_molvak._disp_slantstack, (GATHER[0], OFFSETS, TIME, VELS, 0.002), {}),
    "slantstack-dt": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, VELS, 0.0), {}),
    "slantstack-empty-vels": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, [], 0.002), {}),
    "slantstack-huge-n": (_molvak._disp_slantstack, (GATHER, OFFSETS, TIME, VELS, 0.002), {"n": 2**61}),
    "phase_shift": (_molvak._phase_shift, (GATHER, OFFSETS, VELS, 0.002), {"f_range": (5, 100), "n": 512}),
    "phase_shift-f_range": (_molvak._phase_shift, (GATHER, OFFSETS, VELS, 0.002), {"f_range": 3}),
    "phase_shift-dt": (_molvak._phase_shift, (GATHER, OFFSETS, VELS, -1.0), {}),
    "phase_shift-1d": (_molvak._phase_shift, (GATHER[0], OFFSETS, VELS, 0.002), {}),
    "phase_shift-3d": (_molvak._phase_shift, (GATHER[None], OFFSETS, VELS, 0.002), {}),
    "phase_shift-no-bin": (_molvak._phase_shift, (GATHER, OFFSETS, VELS, 0.002), {"f_range": (10.1, 10.2)}),
    "phase_shift-order": (_molvak._phase_shift, (GATHER, OFFSETS, VELS, 0.002), {"f_range": (50, 50)}),
    "phase_shift-offsets": (_molvak._phase_shift, (GATHER, OFFSETS[:3], VELS, 0.002), {}),
    "phase_shift-one-offset": (_molvak._phase_shift, (GATHER, OFFSETS[:1], VELS, 0.002), {}),
    "phase_shift-empty-vels": (_molvak._phase_shift, (GATHER, OFFSETS, [], 0.002), {}),
    "phase_shift-huge-n": (_molvak._phase_shift, (GATHER, OFFSETS, VELS, 0.002), {"n": 2**61}),
    "fdbf": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002), {"f_range": (5, 100)}),
    "fdbf-plane-none": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002, (5, 100), "plane", "none"), {}),
    "fdbf-steering": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002), {"steering_method": "Plane"}),
    "fdbf-weighting": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002), {"weighting": "sqrt "}),
    "fdbf-none-string": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002), {"weighting": None}),
    "fdbf-3d": (_molvak._FDBF, (GATHER[None], OFFSETS, VELS, 0.002), {}),
    "fdbf-no-bin": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002), {"f_range": (10.1, 10.2)}),
    "fdbf-offsets-sqrt": (_molvak._FDBF, (GATHER, OFFSETS[:3], VELS, 0.002), {}),
    "fdbf-offsets-none": (_molvak._FDBF, (GATHER, OFFSETS[:3], VELS, 0.002), {"weighting": "none"}),
    "fdbf-empty-vels": (_molvak._FDBF, (GATHER, OFFSETS, [], 0.002), {}),
    "fdbf-huge-n": (_molvak._FDBF, (GATHER, OFFSETS, VELS, 0.002), {"n": 2**61}),
}


def call(fn, args, kwargs):
    try:
        return fn(*args, **kwargs)
    except (ValueError, TypeError, MemoryError):
        return None


@pytest.mark.parametrize("name", sorted(CALLS))
def test_no_reference_or_memory_growth(name):
    fn, args, kwargs = CALLS[name]
    objects = [a for a in args if isinstance(a, np.ndarray)] + [v for v in kwargs.values() if not isinstance(v, (int, float))]
    for _ in range(20):
        call(fn, args, kwargs)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    # The block count is process-wide: threads left by other tests may
    # allocate now and then. A leak grows in every round; noise does not.
    growth = []
    for _ in range(3):
        blocks = sys.getallocatedblocks()
        for _ in range(1000):
            call(fn, args, kwargs)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
        if growth[-1] < 50:
            break
    assert [sys.getrefcount(o) for o in objects] == refs
    assert min(growth) < 50, growth
    tracemalloc.start()
    snapshot = tracemalloc.take_snapshot()
    for _ in range(300):
        call(fn, args, kwargs)
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in after.compare_to(snapshot, "filename"))
    assert growth < 64 * 1024


def test_resident_memory_is_flat_over_many_large_calls():
    data = np.random.default_rng(2).standard_normal((48, 2000))
    offsets = 5.0 + np.arange(48.0)
    time = np.arange(2000) * 5e-4
    vels = np.arange(50.0, 1000.0, 5.0)  # the masw workload on a coarser velocity grid

    def run():
        f, disp = _molvak._disp_slantstack(data, offsets, time, vels, 5e-4, f_range=(3, 100), n=8000)
        _molvak._rfft(data, n=8000)
        _molvak._radon_transform(data, offsets, 1.0 / vels, 5e-4, 0.0)
        _molvak._phase_shift(data, offsets, vels, 5e-4, f_range=(3, 100), n=8000)
        _molvak._FDBF(data, offsets, vels, 5e-4, f_range=(3, 100), n=8000)
        _molvak._FDBF(data, offsets, vels, 5e-4, (3, 100), "plane", "none", 8000)
        call(_molvak._disp_slantstack, (data, offsets, time, vels, 5e-4), {"f_range": (600, 700), "n": 8000})
        call(_molvak._phase_shift, (data, offsets, vels, 5e-4), {"f_range": (3, 100), "n": 2**61})

    for _ in range(10):
        run()
    gc.collect()
    before = rss_kib()
    for _ in range(200):
        run()
    gc.collect()
    assert rss_kib() - before < 8 * 1024
