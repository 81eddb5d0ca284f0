"""Frequency-domain beamforming (_FDBF) against the textbook contraction.

The reference builds the cross-spectral matrices R and the steering arrays E
and contracts them with np.einsum("ghi,gij,ghj->gh", conj(E), R, E), taking
the Hankel phase from the C library's j0 and y0 (through ctypes), the same
functions the module falls back on. The element-wise steering helpers and
the beam on each instruction set are checked by the kernels' unit tests
(tests/native/test_fdbf.cpp).
"""

import numpy as np
import pytest

import _molvak
from reference import TWO_PI, library_phase

STEERING_MESSAGE = "steering_method must be 'plane' or 'cylindrical'"
WEIGHTING_MESSAGE = "weighting must be 'none' or 'sqrt'"
ZERO_SIZE = "zero-sized operands"


def literal(data, offsets, vels, dt, f_range=None, steering="cylindrical", weighting="sqrt", n=0):
    """(f, P) from whole intermediates, in the textbook order of operations."""
    data = np.asarray(data, float)
    x, c = np.asarray(offsets, float), np.asarray(vels, float)
    n_fft = max(n, data.shape[1])
    df = 1.0 / (dt * n_fft)
    f_min, f_max = (0.0, 1.0 / (2.0 * dt)) if f_range is None else f_range
    first = int(f_min / df)
    first = max(first + (f_min > first * df), 0)
    stop = min(int(f_max / df + 1.0), n_fft // 2 + 1)
    u = (np.fft.rfft(data, n=n_fft, axis=1) * dt)[:, first:stop]
    f = np.arange(first, stop) * df
    r = u.T[:, :, None] * u.conj().T[:, None, :]
    if weighting == "sqrt":
        r = r * (x[:, None] * x[None, :])
    if steering == "plane":
        phi = ((f[:, None, None] * -TWO_PI) / c[None, :, None]) * x
        e = np.cos(phi) + 1j * np.sin(phi)
    else:
        theta = library_phase(((f[:, None, None] * TWO_PI) / c[None, :, None]) * x)
        e = np.cos(theta) - 1j * np.sin(theta)
    return f, np.einsum("ghi,gij,ghj->gh", e.conj(), r, e)


def beam_scale(data, offsets, dt, n, weighting, f):
    """(sum_i |w_i U[i,g]|)^2 per frequency: the size P[g, :] can reach."""
    data = np.asarray(data, float)
    n_fft = max(n, data.shape[1])
    u = np.fft.rfft(data, n=n_fft, axis=1) * dt
    k = np.rint(f * dt * n_fft).astype(int)
    w = np.asarray(offsets, float)[:, None] if weighting == "sqrt" else 1.0
    return (np.abs(w * u[:, k]).sum(axis=0) ** 2)[:, None]


def gather(rng, nx, nt):
    return rng.standard_normal((nx, nt))


CASES = {
    # traces, samples, n, velocities, f_range: the arguments k = 2 pi f x / c
    # run from 0 (the first bin) through the tabled range into the
    # asymptotic one, with velocity blocks spread over one row, two rows, more.
    "small": (7, 40, 64, np.r_[35.0, 52.0, 80.0, 120.0, 200.0, 333.0, 500.0, 900.0, 1500.0,
                                2900.0, 4000.0, 41.0, 47.0], None),
    "tail": (19, 33, 0, np.linspace(60.0, 75.0, 11), (2.0, 240.0)),
    "dense": (12, 64, 200, np.arange(100.0, 160.0, 0.5), (10.0, 90.0)),
    # blocks of velocities within 1/64 of each other share the finer table
    "close": (9, 50, 0, np.arange(800.0, 830.0, 0.25), (20.0, 240.0)),
    # blocks spread over a few table rows, across octaves and across 64
    "straddle": (40, 64, 128, np.linspace(100.0, 112.0, 16), (5.0, 245.0)),
}


def case(name, seed=0):
    nx, nt, n, vels, f_range = CASES[name]
    rng = np.random.default_rng(seed)
    offsets = np.sort(rng.uniform(0.5, 120.0 if name != "straddle" else 60.0, nx))
    return gather(rng, nx, nt), offsets, vels, 0.002, f_range, n


@pytest.mark.parametrize("steering", ["plane", "cylindrical"])
@pytest.mark.parametrize("weighting", ["none", "sqrt"])
@pytest.mark.parametrize("name", sorted(CASES))
def test_matches_the_literal_contraction(steering, weighting, name):
    data, x, c, dt, f_range, n = case(name)
    f, p = _molvak._FDBF(data, x, c, dt, f_range, steering, weighting, n)
    f_ref, p_ref = literal(data, x, c, dt, f_range, steering, weighting, n)
    np.testing.assert_array_equal(f, f_ref)
    assert p.dtype == np.complex128 and p.shape == (f.size, c.size)
    assert np.all(p.imag == 0.0) and np.all(p.real >= 0.0)
    scale = beam_scale(data, x, dt, n, weighting, f)
    assert np.all(np.abs(p - p_ref) <= 1.5e-14 * scale)


@pytest.mark.parametrize("seed", [1, 2, 4])
@pytest.mark.parametrize("name", ["straddle", "dense", "close"])
def test_velocity_blocks_agree_with_single_velocities(name, seed):
    # Velocities evaluated together share table rows and paths; alone, every
    # steering element comes from its own row. Both must agree to rounding.
    data, x, c, dt, f_range, n = case(name, seed)
    f, p = _molvak._FDBF(data, x, c, dt, f_range, "cylindrical", "none", n)
    single = np.column_stack([_molvak._FDBF(data, x, [v], dt, f_range, "cylindrical", "none", n)[1]
                              for v in c])
    scale = beam_scale(data, x, dt, n, "none", f)
    assert np.all(np.abs(p - single) <= 2e-15 * scale)


def test_defaults_and_keywords():
    data, x, c, dt, _, _ = case("small")
    f, p = _molvak._FDBF(data, x, c, dt)
    f2, p2 = _molvak._FDBF(data=data, offsets=x, phase_vels=c, dt=dt, f_range=None,
                           steering_method="cylindrical", weighting="sqrt", n=0)
    np.testing.assert_array_equal(f, f2)
    np.testing.assert_array_equal(p, p2)
    # Lists are converted like arrays.
    _, p3 = _molvak._FDBF(data.tolist(), list(x), list(c), dt)
    np.testing.assert_array_equal(p, p3)
    # Each string left out on its own.
    np.testing.assert_array_equal(_molvak._FDBF(data, x, c, dt, steering_method="plane")[1],
                                  _molvak._FDBF(data, x, c, dt, None, "plane", "sqrt")[1])
    np.testing.assert_array_equal(_molvak._FDBF(data, x, c, dt, weighting="none")[1],
                                  _molvak._FDBF(data, x, c, dt, None, "cylindrical", "none")[1])


@pytest.mark.parametrize("bad", ["Plane", "plane ", "planes", "", "CYLINDRICAL", "cylindrical\t", "cyl"])
def test_steering_strings_match_exactly(bad):
    data, x, c, dt, _, _ = case("small")
    with pytest.raises(ValueError, match=STEERING_MESSAGE):
        _molvak._FDBF(data, x, c, dt, steering_method=bad)
    with pytest.raises(ValueError, match=STEERING_MESSAGE):  # before the weighting
        _molvak._FDBF(data, x, c, dt, steering_method=bad, weighting="bad")


@pytest.mark.parametrize("bad", ["None", "sqrt ", "sqrtt", "", "SQRT", "non"])
def test_weighting_strings_match_exactly(bad):
    data, x, c, dt, _, _ = case("small")
    with pytest.raises(ValueError, match=WEIGHTING_MESSAGE):
        _molvak._FDBF(data, x, c, dt, steering_method="plane", weighting=bad)


@pytest.mark.parametrize("keyword", ["steering_method", "weighting"])
def test_none_strings_are_refused_by_the_parser(keyword):
    data, x, c, dt, _, _ = case("small")
    with pytest.raises(TypeError):
        _molvak._FDBF(data, x, c, dt, **{keyword: None})


@pytest.mark.parametrize("steering", ["plane", "cylindrical"])
@pytest.mark.parametrize("weighting", ["none", "sqrt"])
def test_single_trace_gives_every_velocity_the_same_power(steering, weighting):
    rng = np.random.default_rng(3)
    data, x = rng.standard_normal((1, 50)), np.array([17.5])
    c = np.linspace(40.0, 4000.0, 23)
    f, p = _molvak._FDBF(data, x, c, 0.004, None, steering, weighting, 80)
    u = np.fft.rfft(data[0], n=80) * 0.004
    w = 17.5 if weighting == "sqrt" else 1.0
    expected = np.abs(w * u) ** 2
    np.testing.assert_allclose(p.real, np.repeat(expected[:, None], c.size, axis=1),
                               rtol=1e-14, atol=1e-300)


@pytest.mark.parametrize("steering", ["plane", "cylindrical"])
def test_frequency_zero_steers_every_velocity_alike(steering):
    data, x, c, dt, _, n = case("small", seed=4)
    f, p = _molvak._FDBF(data, x, c, dt, (0.0, 50.0), steering, "sqrt", n)
    assert f[0] == 0.0
    a0 = (x * data.sum(axis=1) * dt).sum()  # bin 0 of every trace is dt * its sum
    np.testing.assert_allclose(p[0].real, a0 * a0, rtol=1e-13)


@pytest.mark.parametrize("steering", ["plane", "cylindrical"])
def test_offset_zero(steering):
    data, x, c, dt, f_range, n = case("tail", seed=5)
    x = x.copy()
    x[0] = 0.0
    f, p = _molvak._FDBF(data, x, c, dt, f_range, steering, "none", n)
    _, p_ref = literal(data, x, c, dt, f_range, steering, "none", n)
    scale = beam_scale(data, x, dt, n, "none", f)
    assert np.all(np.abs(p - p_ref) <= 1e-13 * scale)
    # Under offset weighting the trace at offset 0 weighs nothing.
    _, p_sqrt = _molvak._FDBF(data, x, c, dt, f_range, steering, "sqrt", n)
    _, p_without = _molvak._FDBF(data[1:], x[1:], c, dt, f_range, steering, "sqrt", n)
    np.testing.assert_allclose(p_sqrt, p_without, rtol=1e-12, atol=1e-14 * p_without.real.max())


@pytest.mark.parametrize("steering", ["plane", "cylindrical"])
def test_power_scales_with_the_square_of_the_gather(steering):
    data, x, c, dt, f_range, n = case("dense", seed=6)
    _, p = _molvak._FDBF(data, x, c, dt, f_range, steering, "sqrt", n)
    _, p2 = _molvak._FDBF(2.0 * data, x, c, dt, f_range, steering, "sqrt", n)
    _, p3 = _molvak._FDBF(3.0 * data, x, c, dt, f_range, steering, "sqrt", n)
    np.testing.assert_array_equal(p2, 4.0 * p)  # scaling by 2 is exact throughout
    np.testing.assert_allclose(p3, 9.0 * p, rtol=1e-13, atol=1e-13 * p.real.max())


@pytest.mark.parametrize("steering", ["plane", "cylindrical"])
def test_unit_offsets_make_the_weightings_agree(steering):
    data, _, c, dt, f_range, n = case("tail", seed=7)
    x = np.ones(data.shape[0])
    _, p_none = _molvak._FDBF(data, x, c, dt, f_range, steering, "none", n)
    _, p_sqrt = _molvak._FDBF(data, x, c, dt, f_range, steering, "sqrt", n)
    np.testing.assert_array_equal(p_none, p_sqrt)


@pytest.mark.parametrize("weighting", ["none", "sqrt"])
@pytest.mark.parametrize("traces, offsets", [(5, [12.0]), (1, [3.0, 9.0, 20.0, 41.0])])
def test_offsets_broadcast_like_numpy(weighting, traces, offsets):
    rng = np.random.default_rng(8)
    data = rng.standard_normal((traces, 30))
    c = np.array([90.0, 150.0, 400.0])
    f, p = _molvak._FDBF(data, offsets, c, 0.002, (5.0, 200.0), "cylindrical", weighting)
    _, p_ref = literal(data, offsets, c, 0.002, (5.0, 200.0), "cylindrical", weighting)
    np.testing.assert_allclose(p, p_ref, rtol=1e-12, atol=1e-13 * np.abs(p_ref).max())


def _call(data=None, offsets=None, vels=None, dt=0.002, **kw):
    rng = np.random.default_rng(9)
    data = rng.standard_normal((4, 32)) if data is None else data
    offsets = np.arange(1.0, 5.0) if offsets is None else offsets
    vels = np.array([100.0, 200.0]) if vels is None else vels
    return _molvak._FDBF(data, offsets, vels, dt, **kw)


FAILURES = [
    # (arguments, exception, message): each later check passes the earlier ones
    (dict(f_range=5, steering_method="x", weighting="y"), TypeError, "f_range must be a sequence"),
    (dict(f_range=(1.0, 2.0, 3.0), steering_method="x"), ValueError, "f_range must have two elements"),
    (dict(dt=0.0, steering_method="x"), ValueError, "dt must be a positive"),
    (dict(steering_method="x", weighting="y", data=np.zeros(3)), ValueError, STEERING_MESSAGE),
    (dict(weighting="y", data=np.zeros(3)), ValueError, WEIGHTING_MESSAGE),
    (dict(offsets=np.ones((2, 2)), data=np.zeros(3)), ValueError, "offsets"),
    (dict(vels=np.ones((1, 2)), data=np.zeros(3)), ValueError, "phase_vels"),
    (dict(data=np.float64(1.0)), ValueError, "0-dimensional"),
    (dict(data=np.zeros((4, 0))), ValueError, "Axis must have a length greater than 0"),
    (dict(data=np.zeros((0, 8)), offsets=np.ones(0)), ValueError, ZERO_SIZE),
    (dict(data=np.zeros((4, 8, 2))), ValueError, "Array must be 2D"),
    # no bin in the band: the cross-spectral step, before the frequency axis
    (dict(f_range=(10.2, 10.8), dt=0.001, data=np.zeros((4, 1000))), ValueError, ZERO_SIZE),
    (dict(f_range=(20.0, 10.0), dt=0.001, data=np.zeros((4, 1000))), ValueError, ZERO_SIZE),
    # offsets that do not broadcast: the cross-spectral step under offset weighting ...
    (dict(offsets=np.ones(3), vels=np.ones(0), f_range=(10.0, 10.0), dt=0.001,
          data=np.zeros((4, 1000))), ValueError, "broadcast"),
    # ... and without weighting the frequency axis and the empty velocities first
    (dict(offsets=np.ones(3), vels=np.ones(0), f_range=(10.0, 10.0), dt=0.001, weighting="none",
          data=np.zeros((4, 1000))), ValueError, "f_max must be greater than f_min"),
    (dict(offsets=np.ones(3), vels=np.ones(0), weighting="none"), ValueError, ZERO_SIZE),
    (dict(offsets=np.ones(3), weighting="none"), ValueError, "broadcast"),
    (dict(vels=np.ones(0)), ValueError, ZERO_SIZE),
    (dict(offsets=np.ones(0), weighting="none"), ValueError, ZERO_SIZE),
]


@pytest.mark.parametrize("kw, error, message", FAILURES)
def test_failures_in_order(kw, error, message):
    kw = dict(kw)
    args = {k: kw.pop(k) for k in ("data", "offsets", "vels", "dt") if k in kw}
    with pytest.raises(error, match=message):
        _call(**args, **kw)


def test_one_dimensional_gather_is_an_axis_error():
    with pytest.raises(np.exceptions.AxisError if hasattr(np, "exceptions") else np.AxisError):
        _call(data=np.zeros(8))


def test_argument_errors():
    with pytest.raises(TypeError):
        _molvak._FDBF(np.zeros((2, 4)), [1.0, 2.0], [100.0])  # dt missing
    with pytest.raises(TypeError):
        _call(data=np.zeros((2, 4), complex), offsets=[1.0, 2.0])
