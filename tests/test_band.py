"""Frequency band selection, seen through the slant-stack estimator: the axis
it returns and the rows of the spectrum it cuts."""
import math

import numpy as np
import pytest

import _molvak
from reference import band_bins

OMIT = object()


def slant(nt, dt, f_range=OMIT, n=0, data=None):
    data = np.zeros((2, nt)) if data is None else data
    offsets = np.arange(data.shape[0], dtype=float)
    args = (data, offsets, np.arange(nt) * 0.001, [100.0], dt)
    if f_range is OMIT:
        return _molvak._disp_slantstack(*args, n=n)
    return _molvak._disp_slantstack(*args, f_range=f_range, n=n)


@pytest.mark.parametrize(
    "N, expected_count, expected_step",
    [(1000, 501, 1.0), (999, 500, 1000 / 999), (22, 11, 1000 / 22)],
)
def test_whole_band_axis(N, expected_count, expected_step):
    f, disp = slant(N, 0.001)
    assert f.dtype == np.float64 and f.shape == (expected_count,)
    assert disp.shape == (expected_count, 1)
    np.testing.assert_allclose(f, np.arange(expected_count) * expected_step, rtol=1e-15)
    # N = 22: 500 / df evaluates just below 11, so the Nyquist bin is left out


@pytest.mark.parametrize(
    "f_range, bins",
    [((3.0, 10.0), (3, 11)), ((2.5, 10.0), (3, 11)), ((-4.0, 10.0), (0, 11)),
     ((0.0, 10.5), (0, 11)), ([None, 100.0], (0, 101)), ((None, None), (0, 501)),
     (None, (0, 501)), ((10.2, 10.8), (11, 11)), ((-np.inf, np.inf), (0, 501)),
     ((499.5, np.inf), (500, 501)), (np.array([3.0, 10.0]), (3, 11)), ([3, 10], (3, 11))],
)
def test_bins_selected(f_range, bins):
    f, disp = slant(1000, 0.001, f_range)
    np.testing.assert_array_equal(f, np.arange(*bins, dtype=float))
    assert disp.shape == (bins[1] - bins[0], 1)


def test_axis_labels_the_cut_bin_for_bin(rng):
    data = rng.standard_normal((3, 300))
    dt = 0.002
    for n in (0, 301, 1024):
        full_f, full = slant(300, dt, None, n, data)
        for f_range in [(3.3, 40.1), (0, 17.0), (100.0, 250.0), (12.0, 12.5)]:
            f, disp = slant(300, dt, f_range, n, data)
            first, stop = band_bins(*f_range, dt, max(n, 300))
            np.testing.assert_array_equal(f, full_f[first:stop])
            np.testing.assert_array_equal(disp, full[first:stop])


def test_cut_is_a_view_and_axis_owns_its_buffer():
    f, disp = slant(64, 0.01, (5.0, 20.0))
    assert disp.base is not None and not disp.flags.owndata
    assert disp.base.shape == (33, 1)
    assert type(f.base).__name__ == "PyCapsule"
    assert f.flags.c_contiguous and f.flags.writeable and f.flags.aligned
    del disp
    f[:] += 1.0  # still valid memory after every other object of the call is gone
    assert f[0] == 1.0 + 4 * (1.0 / 0.64)  # first bin at or above 5 Hz, df = 1/0.64


@pytest.mark.parametrize(
    "f_range, error, message",
    [(5, TypeError, "f_range must be a sequence"),
     ((1.0, 2.0, 3.0), ValueError, "f_range must have two elements"),
     ([1.0], ValueError, "f_range must have two elements"),
     (("a", 2.0), TypeError, None),
     ((1.0, [2]), TypeError, None),
     ((10.0, 10.0), ValueError, "f_max must be greater than f_min"),
     ((50.0, 5.0), ValueError, "f_max must be greater than f_min"),
     ((math.nan, 10.0), ValueError, "NaN"),
     ((1.0, math.nan), ValueError, "NaN"),
     ((600.0, 700.0), ValueError, r"\(600, 700\).*0 to 500"),
     ((-50.0, -10.0), ValueError, "available frequencies"),
     ((np.inf, np.inf), ValueError, "f_max must be greater than f_min")],
)
def test_band_errors(f_range, error, message):
    with pytest.raises(error, match=message):
        slant(1000, 0.001, f_range)


@pytest.mark.parametrize("dt", [0.0, -0.001, np.inf, -np.inf, np.nan])
def test_estimators_refuse_a_bad_dt(dt):
    with pytest.raises(ValueError, match="^dt must be a positive, finite number$"):
        slant(100, dt)
    # f_range errors are reported first
    with pytest.raises(TypeError, match="f_range must be a sequence"):
        slant(100, dt, f_range=3)


def test_huge_limits_do_not_overflow():
    f, _ = slant(1000, 0.001, (-1e300, 1e300))
    assert f.shape == (501,)
    f, _ = slant(1000, 0.001, (1e-300, 2.0))
    np.testing.assert_array_equal(f, [1.0, 2.0])
