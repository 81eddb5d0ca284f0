// The real FFT along one axis of an array, as the module's functions use it.
#pragma once

#include "module/pyutil.hpp"

namespace molvak {

// FFT length for `n` requested and `length` samples: a trace is never cut.
inline npy_intp fft_length(Py_ssize_t n, npy_intp length) { return n > length ? n : length; }

// The scaled, zero-padded real FFT of every line of `array` (aligned,
// C-contiguous float64) along `axis`: a new C-ordered complex128 array with
// max(n, L)/2 + 1 bins on that axis. Empty PyRef with an exception on failure.
PyRef rfft(PyArrayObject* array, int axis, Py_ssize_t n, double stepsize);

PyObject* rfft_py(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace molvak
