// The arguments the sweep functions of molvak._native share: converted
// arrays, the windows' row ranges and the output array they write into.
#pragma once

#include <cstdint>

#include "module/pyutil.hpp"
#include "sweep/sweep.hpp"

namespace molvak::sweep_args {

// An aligned, C-contiguous array of the given type (NumPy's safe casting),
// any number of dimensions; empty with NumPy's exception set on failure.
inline PyRef convert(PyObject* obj, int type_num) {
    return PyRef(PyArray_FromAny(obj, PyArray_DescrFromType(type_num), 0, 0, NPY_ARRAY_IN_ARRAY,
                                 nullptr));
}

// A vector of `name`, one dimension, at least one element.
inline bool vector(const PyRef& a, const char* name) {
    if (ndim(a) != 1) {
        set_errorf(PyExc_ValueError, "%s must be a 1-D array; got %d dimension(s)", name, ndim(a));
        return false;
    }
    if (dim(a, 0) == 0) {
        set_errorf(PyExc_ValueError, "%s must not be empty", name);
        return false;
    }
    return true;
}

// first and last: int64 vectors of one length, every range of rows within
// 0 .. rows - 1 and not empty.
inline bool windows(PyObject* first_obj, PyObject* last_obj, npy_intp rows, PyRef& first,
                    PyRef& last) {
    first = convert(first_obj, NPY_INT64);
    if (!first) return false;
    last = convert(last_obj, NPY_INT64);
    if (!last) return false;
    if (!vector(first, "first") || !vector(last, "last")) return false;
    if (dim(first, 0) != dim(last, 0)) {
        set_errorf(PyExc_ValueError, "first and last must have one entry per window; got %zd and %zd",
                   static_cast<Py_ssize_t>(dim(first, 0)), static_cast<Py_ssize_t>(dim(last, 0)));
        return false;
    }
    const auto* a = static_cast<const std::int64_t*>(PyArray_DATA(first.array()));
    const auto* b = static_cast<const std::int64_t*>(PyArray_DATA(last.array()));
    for (npy_intp w = 0; w < dim(first, 0); ++w) {
        if (w > 0 && a[w] < a[w - 1]) {
            set_errorf(PyExc_ValueError, "windows must come in order of their first rows; "
                       "window %zd starts at row %lld, before window %zd (row %lld)",
                       static_cast<Py_ssize_t>(w), static_cast<long long>(a[w]),
                       static_cast<Py_ssize_t>(w - 1), static_cast<long long>(a[w - 1]));
            return false;
        }
        if (a[w] < 0 || b[w] < a[w] || b[w] >= rows) {
            set_errorf(PyExc_ValueError,
                       "window %zd spans rows %lld to %lld; rows run from 0 to %zd",
                       static_cast<Py_ssize_t>(w), static_cast<long long>(a[w]),
                       static_cast<long long>(b[w]), static_cast<Py_ssize_t>(rows - 1));
            return false;
        }
    }
    return true;
}

inline sweep::Windows view(const PyRef& first, const PyRef& last) {
    return {static_cast<const std::int64_t*>(PyArray_DATA(first.array())),
            static_cast<const std::int64_t*>(PyArray_DATA(last.array())),
            static_cast<std::size_t>(dim(first, 0))};
}

// The caller's output: a writeable, aligned complex128 array of shape
// (windows, frequencies, velocities) whose velocities lie contiguous. It is
// written in place; any other strides are taken as they are.
inline bool output(PyObject* obj, npy_intp windows, npy_intp nf, npy_intp nc,
                   sweep::Output& out) {
    if (!PyArray_Check(obj)) {
        set_error(PyExc_TypeError, "out must be a NumPy array");
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(a) != NPY_CDOUBLE || !PyArray_ISNOTSWAPPED(a)) {
        set_error(PyExc_TypeError, "out must be a complex128 array in native byte order");
        return false;
    }
    if (PyArray_NDIM(a) != 3 || PyArray_DIM(a, 0) != windows || PyArray_DIM(a, 1) != nf ||
        PyArray_DIM(a, 2) != nc) {
        set_errorf(PyExc_ValueError,
                   "out must have shape (windows, frequencies, velocities) = (%zd, %zd, %zd)",
                   static_cast<Py_ssize_t>(windows), static_cast<Py_ssize_t>(nf),
                   static_cast<Py_ssize_t>(nc));
        return false;
    }
    const npy_intp* s = PyArray_STRIDES(a);
    const auto item = static_cast<npy_intp>(2 * sizeof(double));
    if (!PyArray_ISWRITEABLE(a) || !PyArray_ISALIGNED(a) || s[2] != item || s[0] % item != 0 ||
        s[1] % item != 0) {
        set_error(PyExc_ValueError,
                  "out must be writeable and aligned, with its velocities contiguous");
        return false;
    }
    out = {static_cast<double*>(PyArray_DATA(a)), static_cast<std::ptrdiff_t>(s[0] / item),
           static_cast<std::ptrdiff_t>(s[1] / item)};
    return true;
}

}  // namespace molvak::sweep_args
