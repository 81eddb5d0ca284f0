"""The real FFT along an axis against NumPy and a direct DFT."""
import numpy as np
import pytest

import _molvak
from reference import dft
from reference import rfft as rfft_ref


def test_worked_examples():
    np.testing.assert_allclose(_molvak._rfft([1.0, 2.0, 3.0, 4.0]), [10, -2 + 2j, -2], atol=1e-15)
    k = np.arange(3)
    out = _molvak._rfft([0.0, 1.0, 0.0, 0.0, 0.0])
    np.testing.assert_allclose(out, np.exp(-2j * np.pi * k / 5), atol=1e-15)
    assert out[-1].imag != 0.0  # the last bin of an odd length keeps its imaginary part
    assert _molvak._rfft([3.0], stepsize=2.5).tolist() == [7.5 + 0j]


@pytest.mark.parametrize("length", [1, 2, 3, 5, 8, 17, 64, 97, 100, 243, 1009, 2000])
@pytest.mark.parametrize("n", [0, -5, None, 3001])
def test_against_direct_dft(rng, length, n):
    x = rng.standard_normal(length)
    n = length + 7 if n is None else n
    N = max(n, length)
    out = _molvak._rfft(x, n=n, stepsize=0.25)
    assert out.shape == (N // 2 + 1,) and out.dtype == np.complex128
    ref = 0.25 * (np.fft.rfft(x, n=N) if N > 300 else dft(x, N))
    np.testing.assert_allclose(out, ref, rtol=0, atol=1e-12 * np.abs(ref).max())
    assert out[0].imag == 0.0
    if N % 2 == 0:
        assert out[-1].imag == 0.0


@pytest.mark.parametrize("shape", [(3, 8), (4, 5, 6), (2, 3, 4, 7)])
def test_every_axis_of_nd_input(rng, shape):
    x = rng.standard_normal(shape)
    for axis in range(-x.ndim, x.ndim):
        for n in (0, shape[axis] * 2 + 1):
            out = _molvak._rfft(x, axis=axis, n=n, stepsize=3.0)
            ref = rfft_ref(x, axis=axis, n=n, stepsize=3.0)
            assert out.shape == ref.shape and out.flags.c_contiguous
            np.testing.assert_allclose(out, ref, rtol=1e-12, atol=1e-12)


def test_shapes_of_the_two_default_axes():
    x = np.ones((3, 8))
    assert _molvak._rfft(x, axis=0).shape == (2, 8)
    assert _molvak._rfft(x).shape == (3, 5)


def test_non_contiguous_integer_and_list_input(rng):
    x = rng.standard_normal((6, 20))
    strided = x[::2, ::3]
    np.testing.assert_allclose(_molvak._rfft(strided), np.fft.rfft(strided), atol=1e-12)
    transposed = x.T
    np.testing.assert_allclose(_molvak._rfft(transposed, axis=0), np.fft.rfft(transposed, axis=0), atol=1e-12)
    ints = np.arange(12, dtype=np.int32).reshape(3, 4)
    np.testing.assert_allclose(_molvak._rfft(ints), np.fft.rfft(ints), atol=1e-12)
    np.testing.assert_allclose(_molvak._rfft([[1, 2], [3, 4]], axis=0), np.fft.rfft([[1, 2], [3, 4]], axis=0))
    big_endian = x.astype(">f8")
    np.testing.assert_allclose(_molvak._rfft(big_endian), np.fft.rfft(x), atol=1e-12)


def test_input_is_not_modified(rng):
    x = rng.standard_normal((4, 9))
    keep = x.copy()
    _molvak._rfft(x, axis=0, n=40)
    np.testing.assert_array_equal(x, keep)


def test_infinite_stepsize_keeps_real_bins_real():
    out = _molvak._rfft([1.0, 2.0, 3.0, 4.0], stepsize=np.inf)
    assert out[0].imag == 0.0 and out[-1].imag == 0.0


def test_failures():
    with pytest.raises(ValueError, match="Axis must have a length greater than 0"):
        _molvak._rfft(np.zeros((3, 0)))
    with pytest.raises(ValueError, match="zero-sized"):
        _molvak._rfft(np.zeros((0, 8)), axis=1)
    axis_error = np.exceptions.AxisError if hasattr(np, "exceptions") else np.AxisError
    for axis in (2, -3, 2**31 - 1):
        with pytest.raises(axis_error):
            _molvak._rfft(np.zeros((3, 4)), axis=axis)
    with pytest.raises(ValueError, match="0-dimensional"):
        _molvak._rfft(5.0)
    with pytest.raises(TypeError):
        _molvak._rfft(np.zeros(4) + 1j)
    with pytest.raises(TypeError):
        _molvak._rfft(np.zeros(4), bogus=1)
    with pytest.raises(OverflowError):
        _molvak._rfft(np.zeros(4), axis=2**40)
    for n in (2**40, 2**60, 2**62, 2**63 - 1):  # NumPy refuses the first, overflow checks the rest
        with pytest.raises(MemoryError, match="^Could not allocate memory for"):
            _molvak._rfft(np.zeros(4), n=n)
