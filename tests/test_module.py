"""The module frame: import, method table, docstrings and the exported
complex helpers."""
import ctypes
import math

import numpy as np
import pytest

import _molvak

SUMMARIES = {
    "_radon_transform": "Perform the Tau-P (alternatively slant-stack or linear radon) transform.",
    "_disp_slantstack": "Calculate the dispersion spectrum by performing the slant-stack based spectral estimator.",
    "_rfft": "Apply a FFT to an arbitrary size real-valued array over a specified axis",
    "_phase_shift": "Apply the phase shift transform spectral estimator.",
    "_FDBF": "Apply Frequency-Domain Beamforming at the specified phase velocities and frequency range.",
}


def test_module_identity_and_docstrings():
    assert _molvak.__name__ == "molvak"
    assert _molvak.__doc__ is None
    public = [name for name in dir(_molvak) if not name.startswith("__")]
    assert sorted(public) == sorted(SUMMARIES)
    for name, summary in SUMMARIES.items():
        assert getattr(_molvak, name).__doc__.splitlines()[0] == summary
    for name in ("_disp_slantstack", "_phase_shift", "_FDBF"):
        doc = getattr(_molvak, name).__doc__
        for section in ("References", "Parameters", "Returns", "f_range", "NDArray[Shape[\"NF,NC\"], Complex]"):
            assert section in doc, (name, section)


class CDouble(ctypes.Structure):
    _fields_ = [("real", ctypes.c_double), ("imag", ctypes.c_double)]


@pytest.fixture(scope="module")
def helpers():
    lib = ctypes.CDLL(_molvak.__file__)
    sig = {"npy_cmulcc": (CDouble, [CDouble, CDouble]), "npy_cmulcr": (CDouble, [CDouble, ctypes.c_double]),
           "npy_cadd": (CDouble, [CDouble, CDouble]), "npy_cdivcr": (CDouble, [CDouble, ctypes.c_double]),
           "npy_cexp": (CDouble, [CDouble]), "npy_cabs": (ctypes.c_double, [CDouble]),
           "npy_cconj": (CDouble, [CDouble]), "npy_carg": (ctypes.c_double, [CDouble])}
    fns = {}
    for name, (res, args) in sig.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = res, args
        fns[name] = fn
    return fns


def c(re, im):
    return CDouble(re, im)


def pair(z):
    return (z.real, z.imag)


def test_complex_helpers_formulas(helpers, rng):
    h = helpers
    for a_re, a_im, b_re, b_im, r in rng.standard_normal((50, 5)) * 1e3:
        assert pair(h["npy_cmulcc"](c(a_re, a_im), c(b_re, b_im))) == (a_re * b_re - a_im * b_im, a_im * b_re + a_re * b_im)
        assert pair(h["npy_cmulcr"](c(a_re, a_im), r)) == (a_re * r, a_im * r)
        assert pair(h["npy_cadd"](c(a_re, a_im), c(b_re, b_im))) == (a_re + b_re, a_im + b_im)
        assert pair(h["npy_cdivcr"](c(a_re, a_im), r)) == (a_re / r, a_im / r)
        assert h["npy_cabs"](c(a_re, a_im)) == math.sqrt(a_re * a_re + a_im * a_im)
        assert h["npy_carg"](c(a_re, a_im)) == math.atan2(a_im, a_re)
        e = h["npy_cexp"](c(a_re / 1e3, a_im))
        assert pair(e) == pytest.approx((math.exp(a_re / 1e3) * math.cos(a_im), math.exp(a_re / 1e3) * math.sin(a_im)), rel=1e-15)


def test_complex_helpers_special_values(helpers):
    h = helpers
    re, im = pair(h["npy_cdivcr"](c(1.0, 0.0), 0.0))
    assert re == math.inf and math.isnan(im)
    assert h["npy_cabs"](c(0.0, 0.0)) == 0.0 and h["npy_cabs"](c(3.0, 4.0)) == 5.0
    assert h["npy_cabs"](c(1e200, 0.0)) == math.inf  # no hypot rescaling
    assert h["npy_cabs"](c(1e-200, 1e-200)) == 0.0
    assert pair(h["npy_cexp"](c(0.0, math.pi / 2))) == (math.cos(math.pi / 2), 1.0)
    re, im = pair(h["npy_cexp"](c(math.inf, 0.0)))
    assert re == math.inf and math.isnan(im)
    assert h["npy_carg"](c(-1.0, 0.0)) == math.pi and h["npy_carg"](c(-1.0, -0.0)) == -math.pi
    assert h["npy_carg"](c(0.0, 0.0)) == 0.0
    conj = h["npy_cconj"](c(1.0, 0.0))
    assert conj.real == 1.0 and math.copysign(1.0, conj.imag) == -1.0


@pytest.mark.parametrize("name, args", [
    ("_radon_transform", ([[1.0, 2.0]], [0.0], [0.0], 1.0, 0.0)),
    ("_disp_slantstack", ([[1.0, 2.0]], [0.0], [0.0, 1.0], [1.0], 1.0)),
    ("_rfft", ([1.0, 2.0],)),
])
def test_parser_rejects_unknown_keywords_and_missing_arguments(name, args):
    fn = getattr(_molvak, name)
    with pytest.raises(TypeError):
        fn(*args, unknown=1)
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(*args[:-1]) if len(args) > 1 else fn(array=None, axis="x")


def test_lists_are_converted_and_complex_refused():
    assert _molvak._rfft([1, 2, 3]).dtype == np.complex128
    with pytest.raises(TypeError, match="complex"):
        _molvak._radon_transform(np.ones((2, 2), complex), [0, 1], [0], 1.0, 0.0)
