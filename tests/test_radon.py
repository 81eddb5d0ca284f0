"""The tau-p transform against a literal NumPy formulation and worked cases."""
import numpy as np
import pytest

import _molvak
from reference import radon

D = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


def test_worked_example():
    t = [0.0, 1.0, 2.0]
    np.testing.assert_array_equal(_molvak._radon_transform(D, [0, 1], [0], 1, 0, t_eval=t), [[2.5], [3.5], [4.5]])
    np.testing.assert_array_equal(_molvak._radon_transform(D, [0, 1], [1], 1, 0, t_eval=t), [[3.0], [4.0], [1.5]])
    np.testing.assert_array_equal(_molvak._radon_transform(D, [0, 1], [0, 1], 1, 0, t_eval=[0.5]), [[3.0, 3.5]])
    by_keyword = _molvak._radon_transform(data=D, offsets=[0, 1], slowness=[0, 1], dt=1.0, t0=0.0,
                                           t_eval=[0.5], moveout_type=0)
    np.testing.assert_array_equal(by_keyword, [[3.0, 3.5]])


def gather(rng, nx, nt, sorted_offsets=True):
    data = rng.standard_normal((nx, nt))
    offsets = rng.uniform(-20, 60, nx)
    if sorted_offsets:
        offsets.sort()
    return data, offsets


@pytest.mark.parametrize("moveout", [0, 1, 2])
@pytest.mark.parametrize("nx, nt", [(2, 5), (7, 64), (24, 301)])
def test_matches_numpy_formulation_bit_for_bit(rng, moveout, nx, nt):
    # Same formula, same order of operations: the panels agree exactly.
    data, offsets = gather(rng, nx, nt, sorted_offsets=moveout != 1)
    dt, t0 = 0.004, -0.1
    p = {0: np.linspace(-0.01, 0.01, 13), 1: np.linspace(-1e-4, 1e-4, 9), 2: np.linspace(0, 0.01, 11)}[moveout]
    tau = np.concatenate([t0 + np.arange(nt) * dt, rng.uniform(-1, 2, 17)])
    out = _molvak._radon_transform(data, offsets, p, dt, t0, t_eval=tau, moveout_type=moveout)
    assert out.shape == (tau.size, p.size) and out.dtype == np.float64
    np.testing.assert_array_equal(out, radon(data, offsets, p, tau, dt, t0, moveout))


def test_interpolation_regions():
    s = np.array([2.0, 5.0, -1.0, 4.0])
    data = np.vstack([np.zeros(4), s])
    # trace 0 at offset 0 is zero; trace 1 at offset 2 contributes s(h) * 2 / 2
    positions = np.array([0.0, 1.0, 2.0, 3.0, 1.25, 3.5, 3.99, 4.0, 7.0, -0.5, -1.0, -1.5, -2.0, -2.5])
    out = _molvak._radon_transform(data, [0.0, 2.0], [0.0], 1.0, 0.0, t_eval=positions)[:, 0]
    expected = [2, 5, -1, 4, 5 + 0.25 * (-6), 4 * 0.5, 4 * (1 - 0.99), 0, 0,
                2 + (5 - 2) * -0.5, 0.0, 2 * -0.5, 0, 0]
    np.testing.assert_allclose(out, expected, rtol=1e-14, atol=1e-14)


def test_default_time_axis_is_the_sample_times(rng):
    data, offsets = gather(rng, 5, 40)
    p = [0.0, 1e-3]
    for t0, dt in [(0.0, 0.004), (-0.05, 0.002)]:
        default = _molvak._radon_transform(data, offsets, p, dt, t0)
        explicit = _molvak._radon_transform(data, offsets, p, dt, t0, t_eval=np.arange(t0, 40 * dt + t0, dt))
        np.testing.assert_array_equal(default, explicit)
        none = _molvak._radon_transform(data, offsets, p, dt, t0, None)
        np.testing.assert_array_equal(none, default)
    # arange rounds up here: one more row than samples
    assert _molvak._radon_transform(np.ones((2, 3)), [0, 1], [0], 0.1, 0.1).shape == (4, 1)


def test_physical_invariants(rng):
    data, offsets = gather(rng, 9, 100)
    tau = np.arange(100) * 0.01
    p = np.linspace(-0.02, 0.02, 7)
    out = _molvak._radon_transform(data, offsets, p, 0.01, 0.0, t_eval=tau)
    reversed_ = _molvak._radon_transform(data[::-1], offsets[::-1], p, 0.01, 0.0, t_eval=tau)
    np.testing.assert_allclose(reversed_, -out, atol=1e-12)
    hyper = _molvak._radon_transform(data, offsets, p, 0.01, 0.0, t_eval=np.r_[tau, -tau], moveout_type=2)
    np.testing.assert_array_equal(hyper[:100], hyper[100:])
    # a trace repeated at the same offset adds nothing
    doubled = _molvak._radon_transform(np.vstack([data[:1], data]), np.r_[offsets[:1], offsets], p, 0.01, 0.0, t_eval=tau)
    np.testing.assert_allclose(doubled, out, atol=1e-12)
    # extra offsets are ignored
    longer = _molvak._radon_transform(data, np.r_[offsets, 1e9, 1e9], p, 0.01, 0.0, t_eval=tau)
    np.testing.assert_array_equal(longer, out)


def test_degenerate_gathers_give_zeros():
    for data in (np.ones((1, 5)), np.ones((0, 5)), np.ones((3, 0))):
        out = _molvak._radon_transform(data, [0.0, 1.0, 2.0], [0.0, 0.1], 1.0, 0.0, t_eval=[0.0, 1.0, 2.0])
        np.testing.assert_array_equal(out, np.zeros((3, 2)))
    # dt = 0: every position is infinite or NaN
    out = _molvak._radon_transform(np.ones((3, 5)), [0, 1, 2], [0.0, 1.0], 0.0, 0.0, t_eval=[0.0, 1.0])
    np.testing.assert_array_equal(out, 0.0)
    out = _molvak._radon_transform(np.ones((3, 5)), [0, 1, 2], [np.nan, 0.0], 1.0, 0.0, t_eval=[np.nan, 1.0])
    np.testing.assert_array_equal(out, [[0, 0], [0, 2.0]])


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [((D, [0, 1], [0], 1, 0), {"moveout_type": 3}, ValueError, "Moveout type must be 0, 1 or 2"),
     (([[1.0, 2.0]], [0], [0], 1, 0), {"moveout_type": -1}, ValueError, "Moveout type must be 0, 1 or 2"),
     (([1.0, 2.0], [0], [0], 1, 0), {"moveout_type": 3}, ValueError, "Data must be a 2D array"),
     (([1.0, 2.0], [0], [0], 1, 0), {"t_eval": [1.0]}, ValueError, "Data must be a 2D array"),
     ((D, [[0, 1]], [0], 1, 0), {}, ValueError, "Offsets must be a 1D array"),
     ((D, [0, 1], [0], 1, 0), {"t_eval": [[0.0]]}, ValueError, "Time must be a 1D array"),
     ((D, [0, 1], [[0]], 1, 0), {}, ValueError, "Slowness must be a 1D array"),
     ((D, [0, 1], [], 1, 0), {"moveout_type": 3}, ValueError, "zero-sized"),
     ((D, [0, 1], [0], 1, 0), {"t_eval": [], "moveout_type": 3}, ValueError, "zero-sized"),
     ((D, [0], [0], 1, 0), {}, ValueError, "one entry per trace"),
     ((D, [0, 1], [0j], 1, 0), {}, TypeError, None),
     ((D, [0, 1], [0], "x", 0), {}, TypeError, None),
     ((D, [0, 1], [0], 1), {}, TypeError, None),
     ((D, [0, 1], [0], 1, 0), {"moveout_type": 2**40}, OverflowError, None),
     ((D, [0, 1], [0], 0.0, 0.0), {}, ValueError, None),  # arange cannot count a zero step
     ((D, [0, 1], [0], 1, 0), {"bogus": 1}, TypeError, None)],
)
def test_failures_in_order(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        _molvak._radon_transform(*args, **kwargs)


@pytest.mark.parametrize("moveout", [0, 1])
@pytest.mark.parametrize("nx, nt, shift", [(2, 1, 0), (3, 5, -7), (9, 64, 3), (70, 40, -2), (130, 301, 0)])
def test_uniform_intercept_times_agree_with_the_formulation(rng, moveout, nx, nt, shift):
    # Intercept times one sample apart take the contiguous path (one
    # fractional position per trace and slowness, sums over groups of traces
    # in registers). It reads every region of the interpolation (before the
    # trace, where it extrapolates and jumps, inside and past the end) and
    # agrees with the per-element formula to rounding.
    data, offsets = gather(rng, nx, nt, sorted_offsets=moveout == 0)
    dt, t0 = 0.004, 0.25
    p = {0: np.r_[np.linspace(-0.02, 0.02, 37), 0.0, 1e-9], 1: np.linspace(-4e-4, 4e-4, 21)}[moveout]
    tau = t0 + (shift + np.arange(nt + 45)) * dt
    out = _molvak._radon_transform(data, offsets, p, dt, t0, t_eval=tau, moveout_type=moveout)
    expected = radon(data, offsets, p, tau, dt, t0, moveout)
    scale = np.abs(expected).max()
    assert np.abs(out - expected).max() <= 1e-12 * scale
    # the same times given through the slant-stack estimator
    if moveout == 0 and nt > 1:
        c = 1.0 / p[p != 0]
        f, spectrum = _molvak._disp_slantstack(data, offsets, tau, c, dt, n=2 * tau.size)
        panel = radon(data, offsets, 1.0 / c, tau, dt, tau[0])
        ref = np.fft.rfft(panel, n=2 * tau.size, axis=0) * dt
        assert np.abs(spectrum - ref).max() <= 1e-12 * np.abs(ref).max()
