// The C-API side of the module: one place that includes Python and NumPy with
// the module's configuration, and the small owning types every function uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One process-wide NumPy C-API table shared by every translation unit; only
// module.cpp fills it (it defines MOLVAK_IMPORTS_NUMPY before including this).
#define PY_ARRAY_UNIQUE_SYMBOL PyArray_API
#ifndef MOLVAK_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "common/buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <utility>

namespace molvak {

// Owns one strong reference. Copy adds a reference, move empties the source,
// so "released on every path" holds by construction.
class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* stolen) noexcept : p_(stolen) {}
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    PyRef(PyRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PyRef& operator=(PyRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyArrayObject* array() const noexcept { return reinterpret_cast<PyArrayObject*>(p_); }
    // Hands the reference to the caller (for return values and "N" formats).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard. Always name it:
// an unnamed temporary would take the lock back at once.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Converts an argument to an aligned, C-contiguous float64 array of any number
// of dimensions with NumPy's safe casting (integers pass, complex is refused).
// Returns an empty PyRef with NumPy's exception set on failure.
PyRef to_double_array(PyObject* obj);

// Converts several arguments, in order, into the given references, stopping
// at the first failure: false then, with that conversion's exception set.
bool to_double_arrays(std::initializer_list<std::pair<PyObject*, PyRef*>> arguments);

// Convenience accessors on converted arrays.
inline int ndim(const PyRef& a) { return PyArray_NDIM(a.array()); }
inline npy_intp dim(const PyRef& a, int i) { return PyArray_DIM(a.array(), i); }
inline npy_intp size(const PyRef& a) { return PyArray_SIZE(a.array()); }
inline double* ddata(const PyRef& a) { return static_cast<double*>(PyArray_DATA(a.array())); }

// Failure helpers: each sets the Python error and returns nullptr so that a
// C-API function can `return fail_value(...)`.
PyObject* set_error(PyObject* type, const char* message);
PyObject* set_errorf(PyObject* type, const char* format, ...);

// NumPy's iterator refuses zero-sized operands; the module reports the same
// situation with a ValueError that names the empty argument.
PyObject* zero_size_error(const char* name);

// numpy.exceptions.AxisError (numpy.AxisError before NumPy 1.25), raised the
// way NumPy's own functions raise it.
PyObject* axis_error(int axis, int nd);

// Creates a new C-contiguous array of the given shape and type, refusing
// sizes whose byte count does not fit in a Py_ssize_t with MemoryError
// "Could not allocate memory for <what>" rather than NumPy's ValueError.
PyRef new_array(int nd, const npy_intp* shape, int type_num, const char* what);

// The beamformers' string options, matched exactly (case-sensitive, whole
// string); a null option takes the default. `steering` is "cylindrical"
// (the default) or "plane", the keyword named `argument` in the error;
// `weighting` is "sqrt" (the default) or "none". False with ValueError set
// for anything else.
bool parse_steering(const char* steering, const char* argument, bool* cylindrical);
bool parse_weighting(const char* weighting, bool* weight_by_offset);

// Wraps a native function so that no C++ exception crosses into Python.
using NativeFn = PyObject* (*)(PyObject*, PyObject*, PyObject*);
PyObject* call_guarded(NativeFn fn, PyObject* self, PyObject* args, PyObject* kwargs);

template <NativeFn F>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_guarded(F, self, args, kwargs);
}

// The method-table entry of a native function: METH_VARARGS | METH_KEYWORDS
// functions are stored as PyCFunction, behind the exception barrier.
template <NativeFn F>
PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<F>));
}

}  // namespace molvak
