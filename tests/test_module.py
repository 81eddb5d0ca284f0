"""The module frame: import, method table and docstrings. The complex
arithmetic of the kernels is checked by their unit tests
(tests/native/test_complex.cpp)."""
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
