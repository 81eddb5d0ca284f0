#include "module/band.hpp"

#include <cmath>
#include <cstdlib>

#include "common/band_rule.hpp"

namespace molvak {

namespace {

// One limit of f_range: None keeps the default, anything else goes through
// float(); returns false with the conversion's exception set.
bool read_limit(PyObject* seq, Py_ssize_t index, double* value) {
    PyRef item(PySequence_GetItem(seq, index));
    if (!item) return false;
    if (item.get() == Py_None) return true;
    const double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) return false;
    *value = v;
    return true;
}

}  // namespace

int initialise_f_range(double band[2], PyObject* f_range, double dt) {
    double f_min = 0.0;
    double f_max = 1.0 / (2.0 * dt);
    if (f_range != nullptr && f_range != Py_None) {
        if (!PySequence_Check(f_range)) {
            set_error(PyExc_TypeError, "f_range must be a sequence");
            return 1;
        }
        const Py_ssize_t count = PySequence_Size(f_range);
        if (count == -1 && PyErr_Occurred()) return 1;
        if (count != 2) {
            set_error(PyExc_ValueError, "f_range must have two elements");
            return 1;
        }
        if (!read_limit(f_range, 0, &f_min) || !read_limit(f_range, 1, &f_max)) return 1;
        if (std::isnan(f_min) || std::isnan(f_max)) {
            set_error(PyExc_ValueError, "f_range limits must not be NaN");
            return 1;
        }
    }
    // A zero, negative or non-finite interval has no frequency axis; without
    // this check the band rule would divide by zero and convert infinities.
    if (!(dt > 0.0) || !std::isfinite(dt)) {
        set_error(PyExc_ValueError, "dt must be a positive, finite number");
        return 1;
    }
    band[0] = f_min;
    band[1] = f_max;
    return 0;
}

void capsule_free_vector(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, nullptr));
}

PyRef build_freqs(npy_intp N, double f_min, double f_max, double dt) {
    if (f_min >= f_max) {
        set_error(PyExc_ValueError, "f_max must be greater than f_min");
        return PyRef();
    }
    const std::int64_t bins = N / 2 + 1;
    const BinRange r = band_rule(f_min, f_max, dt, N, bins);
    if (r.stop < r.first) {
        const double df = 1.0 / (dt * static_cast<double>(N));
        set_errorf(PyExc_ValueError,
                   "f_range (%g, %g) selects no frequency of the spectrum: the available "
                   "frequencies are 0 to %g in steps of %g",
                   f_min, f_max, static_cast<double>(bins - 1) * df, df);
        return PyRef();
    }
    npy_intp count = static_cast<npy_intp>(r.stop - r.first);
    // At least one element, so that an empty axis still owns a real buffer.
    double* buffer = static_cast<double*>(std::malloc(sizeof(double) * (count > 0 ? count : 1)));
    if (!buffer) {
        set_error(PyExc_MemoryError, "Could not allocate memory for frequencies");
        return PyRef();
    }
    const double df = 1.0 / (dt * static_cast<double>(N));
    for (npy_intp k = 0; k < count; ++k) buffer[k] = static_cast<double>(r.first + k) * df;
    PyRef f(PyArray_New(&PyArray_Type, 1, &count, NPY_DOUBLE, nullptr, buffer, 0,
                        NPY_ARRAY_CARRAY, nullptr));
    if (!f) {
        std::free(buffer);
        return f;
    }
    PyObject* capsule = PyCapsule_New(buffer, nullptr, capsule_free_vector);
    if (!capsule) {
        f = PyRef();  // the array does not own the buffer
        std::free(buffer);
        return PyRef();
    }
    if (PyArray_SetBaseObject(f.array(), capsule) < 0) return PyRef();  // the capsule frees it
    return f;
}

npy_intp band_slice(const double band[2], double dt, npy_intp N, npy_intp length, npy_intp* first) {
    const BinRange range = band_rule(band[0], band[1], dt, N, length);
    Py_ssize_t start = static_cast<Py_ssize_t>(range.first);
    Py_ssize_t stop = range.stop < -static_cast<std::int64_t>(PY_SSIZE_T_MAX)
                          ? -PY_SSIZE_T_MAX
                          : static_cast<Py_ssize_t>(range.stop);
    const npy_intp count = PySlice_AdjustIndices(length, &start, &stop, 1);
    *first = start;
    return count;
}

PyRef slice_frequencies2D(PyArrayObject* spectrum, const double band[2], int axis, double dt,
                          npy_intp N) {
    if (PyArray_NDIM(spectrum) != 2) {
        set_error(PyExc_ValueError, "Array must be 2D");
        return PyRef();
    }
    const int a = axis == 0 ? 0 : 1;
    const BinRange r = band_rule(band[0], band[1], dt, N, PyArray_DIM(spectrum, a));
    PyRef first(PyLong_FromLongLong(r.first));
    PyRef stop(first ? PyLong_FromLongLong(r.stop) : nullptr);
    if (!stop) return PyRef();
    PyRef cut(PySlice_New(first.get(), stop.get(), nullptr));
    PyRef full(cut ? PySlice_New(nullptr, nullptr, nullptr) : nullptr);
    if (!full) return PyRef();
    PyRef index(a == 0 ? PyTuple_Pack(2, cut.get(), full.get())
                       : PyTuple_Pack(2, full.get(), cut.get()));
    if (!index) return PyRef();
    return PyRef(PyObject_GetItem(reinterpret_cast<PyObject*>(spectrum), index.get()));
}

}  // namespace molvak
