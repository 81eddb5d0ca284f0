"""The slant-stack dispersion estimator against a NumPy formulation."""
import numpy as np
import pytest

import _molvak
from reference import slant_stack


def test_worked_example():
    data = [[0, 1, 0, 0], [0, 0, 1, 0]]
    for time in ([0, 1, 2, 3], [10, 11, 12, 13]):
        f, disp = _molvak._disp_slantstack(data, [0, 1], time, [1], 1)
        np.testing.assert_array_equal(f, [0.0, 0.25, 0.5])
        assert disp.shape == (3, 1) and disp.dtype == np.complex128
        np.testing.assert_allclose(disp, [[1], [-1j], [-1]], atol=1e-15)


@pytest.mark.parametrize("nx, nt, n", [(2, 64, 0), (12, 250, 0), (12, 250, 1000), (5, 97, 211)])
@pytest.mark.parametrize("f_range", [None, (5.0, 60.0), (None, 30.0), (20.0, None)])
def test_matches_numpy_formulation(rng, nx, nt, n, f_range):
    dt = 0.004
    data = rng.standard_normal((nx, nt))
    offsets = np.sort(rng.uniform(0, 50, nx))
    time = 0.3 + np.arange(nt) * dt
    c = np.r_[np.linspace(80, 900, 23), -250.0]
    f, disp = _molvak._disp_slantstack(data, offsets, time, c, dt, f_range=f_range, n=n)
    f_ref, spec_ref = slant_stack(data, offsets, time, c, dt, f_range, n)
    np.testing.assert_array_equal(f, f_ref)
    assert disp.shape == spec_ref.shape == (f_ref.size, c.size)
    np.testing.assert_allclose(disp, spec_ref, rtol=0, atol=1e-12 * np.abs(spec_ref).max())


def test_plane_wave_peaks_at_its_velocity():
    # A band-limited pulse moving at 300 m/s: at each frequency with energy the
    # stack is largest at 300 m/s.
    dt, nt = 0.001, 1000
    offsets = 2.0 + np.arange(24) * 2.0
    t = np.arange(nt) * dt
    arrival = 0.05 + offsets / 300.0
    data = np.exp(-(((t[None, :] - arrival[:, None]) / 0.004) ** 2))
    c = np.arange(100.0, 800.0, 5.0)
    f, disp = _molvak._disp_slantstack(data, offsets, t, c, dt, f_range=(10, 60))
    assert np.all(c[np.abs(disp).argmax(axis=1)] == 300.0)


def test_properties(rng):
    data = rng.standard_normal((6, 128))
    offsets = np.arange(6) * 3.0
    time = np.arange(128) * 0.002
    c = np.array([0.0, 150.0, 400.0])
    f, disp = _molvak._disp_slantstack(data, offsets, time, c, 0.002)
    np.testing.assert_array_equal(disp[:, 0], 0)  # c = 0: every arrival out of range
    _, shifted = _molvak._disp_slantstack(data, offsets, time + 7.5, c, 0.002)
    np.testing.assert_allclose(shifted, disp, atol=1e-10)
    _, single = _molvak._disp_slantstack(data[:1], offsets[:1], time, c, 0.002)
    np.testing.assert_array_equal(single, 0)
    f2, padded = _molvak._disp_slantstack(data, offsets, time, c, 0.002, n=256)
    assert padded.shape == (129, 3) and f2[1] == pytest.approx(f[1] / 2)
    f3, short = _molvak._disp_slantstack(data, offsets, time[:100], c, 0.002)
    assert short.shape == (51, 3)  # the panel follows len(time), not NT


@pytest.mark.parametrize("n", [0, 131])
def test_band_is_the_rows_of_the_whole_spectrum_on_both_paths(rng, n):
    # Times one sample apart take the contiguous tau-p path, the same times
    # with the last one moved off that grid the general one. Every band is,
    # bit for bit, its rows of the whole spectrum (which matches the NumPy
    # formulation), bin 0 and the Nyquist bin of an even length are real,
    # and the band stays a view of the whole spectrum, which holds every bin.
    dt, nt = 0.004, 90
    data = rng.standard_normal((7, nt))
    offsets = np.sort(rng.uniform(0, 40, 7))
    c = np.r_[np.linspace(60, 700, 9), -300.0]
    uniform = np.arange(nt) * dt
    general = uniform.copy()
    general[-1] += 64 * np.spacing(general[-1])
    for time in (uniform, general):
        f_all, full = _molvak._disp_slantstack(data, offsets, time, c, dt, n=n)
        _, ref = slant_stack(data, offsets, time, c, dt, None, n)
        np.testing.assert_allclose(full, ref, rtol=0, atol=1e-12 * np.abs(ref).max())
        assert np.all(full[0].imag == 0) and (max(n, nt) % 2 or np.all(full[-1].imag == 0))
        for f_range in [(0.0, 20.0), (30.0, None), (f_all[-2], None), (12.0, 12.5), (0.0, 0.1)]:
            f, part = _molvak._disp_slantstack(data, offsets, time, c, dt, f_range=f_range, n=n)
            first = np.searchsorted(f_all, f[0]) if f.size else 0
            np.testing.assert_array_equal(f, f_all[first:first + f.size])
            np.testing.assert_array_equal(part, full[first:first + f.size])
            assert part.base.shape == full.shape
            np.testing.assert_array_equal(part.base, full)


DATA = np.zeros((2, 8))
OFF = [0.0, 1.0]
TIME = np.arange(8) * 0.01


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [((DATA, OFF, TIME, [[100.0]], 0.01), {}, ValueError, "Slowness must be a 1D array"),
     ((DATA, OFF, TIME, [], 0.01), {}, ValueError, "zero-sized"),
     ((DATA[0], OFF, TIME, [], 0.01), {}, ValueError, "zero-sized"),
     ((DATA[0], OFF, TIME, [100.0], 0.01), {"f_range": (50, 5)}, ValueError, "Data must be a 2D array"),
     ((DATA, OFF, TIME, [100.0], 0.01), {"f_range": (50, 5)}, ValueError, "f_max must be greater than f_min"),
     ((DATA, OFF, TIME, [], 0.01), {"f_range": 7}, TypeError, "f_range must be a sequence"),
     ((DATA, OFF, [], [100.0], 0.01), {}, ValueError, "zero-sized"),
     ((DATA, [[0.0, 1.0]], TIME, [100.0], 0.01), {}, ValueError, "Offsets must be a 1D array"),
     ((DATA, OFF, [TIME], [100.0], 0.01), {}, ValueError, "Time must be a 1D array"),
     ((DATA, [0.0], TIME, [100.0], 0.01), {}, ValueError, "one entry per trace"),
     ((DATA, OFF, TIME, [100.0], 0.0), {}, ValueError, "dt must be a positive, finite number"),
     ((DATA, OFF, TIME, [100.0], 0.01), {"n": None}, TypeError, None),
     ((DATA, OFF, TIME, [100.0], 0.01), {"n": 2**61}, MemoryError, "^Could not allocate memory for"),
     ((DATA, OFF, TIME, [1j], 0.01), {}, TypeError, None)],
)
def test_failures_in_order(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        _molvak._disp_slantstack(*args, **kwargs)
