// Frequency band selection for the dispersion estimators.
#pragma once

#include "module/pyutil.hpp"

namespace molvak {

// Fills band = {f_min, f_max} from the `f_range` argument (nullptr when it was
// not given) and checks the sampling interval. Returns 0, or 1 with an
// exception set.
int initialise_f_range(double band[2], PyObject* f_range, double dt);

// The frequency axis of the band's bins for an FFT of length N: a new float64
// array whose buffer a capsule frees.
PyRef build_freqs(npy_intp N, double f_min, double f_max, double dt);

// The band's bins of an axis of `length` bins for an FFT of length N, taken
// as Python's slicing takes first:stop of the band rule (a negative stop
// counts from the end): *first, and the number of bins (0 when none).
npy_intp band_slice(const double band[2], double dt, npy_intp N, npy_intp length, npy_intp* first);

// A view of the 2-D `spectrum` restricted to the band's bins along `axis`
// (0, or anything else for axis 1).
PyRef slice_frequencies2D(PyArrayObject* spectrum, const double band[2], int axis, double dt,
                          npy_intp N);

void capsule_free_vector(PyObject* capsule);

}  // namespace molvak
