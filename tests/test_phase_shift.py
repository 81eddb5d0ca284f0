"""_phase_shift: values against a plain NumPy evaluation of the same formulas,
physical invariants, the NaN cases, broadcasting and the order of failures."""
import numpy as np
import pytest

import _molvak

TWO_PI = 6.283185307179586


def direct(data, x, c, dt, f_range=None, n=0):
    """The estimator written out in NumPy: unit spectra, P in full, trapezoid
    pair by pair in trace order."""
    data, x, c = (np.asarray(a, float) for a in (data, x, c))
    N = max(n, data.shape[1])
    S = np.fft.rfft(data, n=N, axis=1) * dt
    df = 1.0 / (dt * N)
    lo, hi = (None, None) if f_range is None else f_range
    lo = 0.0 if lo is None else lo
    hi = 1.0 / (2 * dt) if hi is None else hi
    first = int(lo / df)
    first = max(first + (lo > first * df), 0)
    stop = min(int(hi / df + 1.0), N // 2 + 1)
    U = S[:, first:stop]
    mod = np.sqrt(U.real * U.real + U.imag * U.imag)
    U = np.broadcast_to(U.real / mod + 1j * (U.imag / mod), (len(x), stop - first))
    f = np.arange(first, stop) * df
    theta = ((TWO_PI * x)[:, None, None] / c) * f[None, :, None]
    e = np.cos(theta) + 1j * np.sin(theta)
    P = U[:, :, None] * e
    V = np.zeros(P.shape[1:], complex)
    for i in range(1, len(x)):
        V = V + (P[i] + P[i - 1]) * (abs(x[i] - x[i - 1]) * 0.5)
    return f, V


def assert_rows_close(V, ref, tol=1e-12):
    """|V - ref| within tol of the largest |ref| of each row."""
    scale = np.abs(ref).max(axis=1, keepdims=True)
    scale[scale == 0] = 1.0
    assert np.all(np.abs(V - ref) <= tol * scale)


OFFSETS = {
    "sorted": lambda rng, nx: np.arange(nx) * 2.0 + 5.0,
    "unsorted-negative": lambda rng, nx: rng.uniform(-60.0, 90.0, nx),
    "repeated": lambda rng, nx: np.repeat(rng.uniform(0.0, 40.0, (nx + 1) // 2), 2)[:nx],
}


@pytest.mark.parametrize("offsets", sorted(OFFSETS))
@pytest.mark.parametrize("nx, nt, nc, n, f_range", [
    (2, 40, 3, 0, None),
    (7, 64, 13, 0, (None, 120.0)),
    (24, 200, 37, 300, (5.0, 120.0)),   # padded, band inside the spectrum
    (33, 257, 70, 1024, (0.7, None)),   # odd length, padded, open top
    (9, 130, 17, 100, (34.0, 35.0)),    # n below NT, a one-bin band
])
def test_matches_direct_evaluation(offsets, nx, nt, nc, n, f_range):
    rng = np.random.default_rng(nx * 1000 + nt)
    data = rng.standard_normal((nx, nt))
    x = OFFSETS[offsets](rng, nx)
    c = rng.uniform(40.0, 900.0, nc) * rng.choice([-1.0, 1.0], nc)
    f, V = _molvak._phase_shift(data, x, c, 0.002, f_range=f_range, n=n)
    f_ref, V_ref = direct(data, x, c, 0.002, f_range, n)
    np.testing.assert_array_equal(f, f_ref)
    assert V.dtype == np.complex128 and V.flags.c_contiguous and V.shape == V_ref.shape
    assert_rows_close(V, V_ref)


@pytest.mark.parametrize("nt, x_span, c", [
    # 15001 frequencies and theta up to 5e4: the phase drifts unless
    # re-anchored, and misses the rounded theta by ~1e-11 unless corrected.
    (30000, 500.0, np.random.default_rng(8).uniform(20.0, 60.0, 8)),
    # theta beyond 1e13 (c tiny) next to ordinary velocities.
    (100, 300.0, np.array([1e-9, 3e-8, 200.0, 300.0, 150.0, 450.0, 220.0, 380.0, 260.0])),
])
def test_large_phases_keep_the_rounded_theta(nt, x_span, c):
    rng = np.random.default_rng(nt)
    data = rng.standard_normal((5, nt))
    x = rng.uniform(-x_span, x_span, 5)
    _, V = _molvak._phase_shift(data, x, c, 0.001)
    assert_rows_close(V, direct(data, x, c, 0.001)[1])


@pytest.mark.parametrize("n", [0, 256])
def test_whole_sample_delays_stack_coherently(n):
    # Trace i is one pulse delayed by x_i / c0, a whole number of samples:
    # at c0 every rotated phase agrees and |V| = sum |x_i - x_{i-1}|.
    dt, c0 = 0.001, 500.0
    delays = np.array([0, 3, 7, 8, 20, 13, 13, 2])
    x = delays * c0 * dt
    pulse = np.array([0.3, -1.0, 2.0, 0.5, -0.7, 0.1])
    data = np.zeros((len(x), 40))
    for i, d in enumerate(delays):
        data[i, d:d + len(pulse)] = pulse
    c = np.array([200.0, c0, 800.0, -c0])
    f, V = _molvak._phase_shift(data, x, c, dt, n=n)
    span = np.abs(np.diff(x)).sum()
    np.testing.assert_allclose(np.abs(V[:, 1]), span, rtol=1e-12)
    assert np.all(np.abs(V) <= span * (1 + 1e-12))
    assert np.all(np.abs(V[1:, [0, 2]]) < span * 0.999)  # 200 and 800 are not coherent


def test_invariants_of_the_trace_order():
    rng = np.random.default_rng(3)
    data = rng.standard_normal((10, 80))
    x = rng.uniform(-20.0, 20.0, 10)
    c = rng.uniform(50.0, 400.0, 11)
    _, V = _molvak._phase_shift(data, x, c, 0.004)
    _, V_rev = _molvak._phase_shift(data[::-1], x[::-1], c, 0.004)
    assert_rows_close(V_rev, V, 1e-13)
    # A repeated offset adds a pair of weight 0.
    _, V_dup = _molvak._phase_shift(np.insert(data, 4, data[4], axis=0), np.insert(x, 4, x[4]), c, 0.004)
    assert_rows_close(V_dup, V, 1e-13)


def test_nan_cases():
    rng = np.random.default_rng(4)
    data = rng.standard_normal((5, 64))
    x = np.arange(5) * 3.0
    c = np.array([100.0, 0.0, 250.0, 400.0, 150.0, 90.0, 300.0, 120.0, 600.0])
    # c = 0: that column alone is NaN.
    _, V = _molvak._phase_shift(data, x, c, 0.002)
    assert np.all(np.isnan(V[:, 1])) and np.all(np.isfinite(np.delete(V, 1, axis=1)))
    keep = c != 0
    assert_rows_close(V[:, keep], direct(data, x, c[keep], 0.002)[1])
    # A dead trace: every element NaN.
    dead = data.copy()
    dead[2] = 0.0
    assert np.all(np.isnan(_molvak._phase_shift(dead, x, c[keep], 0.002)[1]))
    # A trace of integers summing to 0 has an exactly zero bin 0: that row
    # alone is NaN.
    zero_mean = data.copy()
    zero_mean[1] = rng.integers(-9, 9, 64)
    zero_mean[1, -1] -= zero_mean[1].sum()
    _, V = _molvak._phase_shift(zero_mean, x, c[keep], 0.002)
    assert np.all(np.isnan(V[0])) and np.all(np.isfinite(V[1:]))


def test_broadcasting_of_offsets_against_traces():
    rng = np.random.default_rng(6)
    trace = rng.standard_normal((1, 50))
    x = np.array([4.0, -2.0, 9.0, 9.5])
    c = rng.uniform(100.0, 300.0, 6)
    # One trace seen at several offsets: its rotated copies are integrated.
    f, V = _molvak._phase_shift(trace, x, c, 0.002)
    assert_rows_close(V, direct(trace, x, c, 0.002)[1])
    # One trace, one offset: no pair, V is zero.
    _, V1 = _molvak._phase_shift(trace, [4.0], c, 0.002)
    assert V1.shape == (len(f), 6) and not np.any(V1)
    data = rng.standard_normal((4, 50))
    with pytest.raises(ValueError, match="^x must have the same number of elements as the axis of data$"):
        _molvak._phase_shift(data, [1.0], c, 0.002)
    with pytest.raises(ValueError, match="offset has 3 elements but data has 4 traces"):
        _molvak._phase_shift(data, x[:3], c, 0.002)


def test_keywords_defaults_and_conversions():
    rng = np.random.default_rng(7)
    data = rng.integers(1, 9, (6, 20))
    x, c = [0, 2, 4, 6, 8, 10], [100, 200, 300]
    f, V = _molvak._phase_shift(data, x, c, 0.01)
    for kwargs in ({"f_range": None}, {"f_range": (None, None)}, {"n": 20}, {"n": -4}):
        f2, V2 = _molvak._phase_shift(data=data.tolist(), offset=x, phase_vel=c, dt=0.01, **kwargs)
        np.testing.assert_array_equal(f2, f)
        np.testing.assert_array_equal(V2, V)
    # dt = 0.01 and N = 20: bins every 5 Hz up to the Nyquist frequency; n = 40
    # halves the spacing.
    assert f.dtype == np.float64
    np.testing.assert_array_equal(f, np.arange(11) * 5.0)
    f_pad, V_pad = _molvak._phase_shift(data, x, c, 0.01, n=40)
    np.testing.assert_array_equal(f_pad, np.arange(21) * 2.5)
    assert V_pad.shape == (21, 3)


GOOD = dict(data=np.ones((4, 16)) + np.arange(16), offset=[0.0, 1.0, 2.0, 3.0],
            phase_vel=[100.0, 200.0], dt=0.01)
ZERO_SIZE = "Iteration of zero-sized operands is not enabled"
AXIS_ERROR = getattr(np, "exceptions", np).AxisError


@pytest.mark.parametrize("change, error, message", [
    (dict(dt=None), TypeError, "real number"),
    (dict(n=None, data=1j), TypeError, "integer"),
    (dict(data=np.ones((4, 16)) * 1j, offset="x", f_range=5), TypeError, "cast"),
    (dict(offset="x", f_range=5), ValueError, "could not convert"),
    (dict(f_range=5, data=np.ones(16)), TypeError, "f_range must be a sequence"),
    (dict(f_range=(1, 2, 3)), ValueError, "f_range must have two elements"),
    (dict(f_range=("a", 2), data=np.ones(16)), TypeError, "real number"),
    (dict(dt=0.0, data=np.ones(16)), ValueError, "dt must be a positive, finite number"),
    (dict(data=np.ones(16), offset=[[1.0]]), AXIS_ERROR, "axis 1 is out of bounds"),
    (dict(data=3.0), ValueError, "0-dimensional"),
    (dict(data=np.ones((4, 0))), ValueError, "Axis must have a length greater than 0"),
    (dict(data=np.ones((0, 16))), ValueError, ZERO_SIZE),
    (dict(data=np.ones((4, 16, 2)), f_range=(5, 1)), ValueError, "Array must be 2D"),
    (dict(f_range=(60, 70), offset=[1.0, 2.0], phase_vel=[]), ValueError, ZERO_SIZE + ": the band"),
    (dict(f_range=(20, 10), phase_vel=[[1.0]]), ValueError, ZERO_SIZE + ": the band"),
    (dict(f_range=(12.5, 12.5), phase_vel=[[1.0]]), ValueError, "f_max must be greater than f_min"),
    (dict(offset=[[0.0, 1.0, 2.0, 3.0]], phase_vel=[[1.0]]), ValueError, "offset must be a 1D array"),
    (dict(offset=5.0), ValueError, "offset must be a 1D array"),
    (dict(phase_vel=[[100.0], [200.0]], offset=[1.0, 2.0]), ValueError, "phase_vel must be a 1D array"),
    (dict(offset=[1.0, 2.0], phase_vel=[]), ValueError, "offset has 2 elements"),
    (dict(data=np.ones((1, 16)), offset=[], phase_vel=[]), ValueError, ZERO_SIZE + ": offset"),
    (dict(offset=[1.0], phase_vel=[]), ValueError, ZERO_SIZE + ": phase_vel"),
    (dict(offset=[1.0]), ValueError, "x must have the same number"),
])
def test_failures_in_order(change, error, message):
    # Each case also breaks a later step, which must not be the one reported.
    kwargs = {**GOOD, **change}
    with pytest.raises(error, match=message):
        _molvak._phase_shift(**kwargs)
