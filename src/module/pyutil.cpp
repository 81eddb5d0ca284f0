#include "module/pyutil.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

namespace molvak {

PyRef to_double_array(PyObject* obj) {
    // PyArray_FromAny steals the descriptor reference.
    return PyRef(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                 NPY_ARRAY_IN_ARRAY, nullptr));
}

bool to_double_arrays(std::initializer_list<std::pair<PyObject*, PyRef*>> arguments) {
    for (const auto& [obj, ref] : arguments) {
        *ref = to_double_array(obj);
        if (!*ref) return false;
    }
    return true;
}

PyObject* set_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}

PyObject* set_errorf(PyObject* type, const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    PyErr_SetString(type, message);
    return nullptr;
}

PyObject* zero_size_error(const char* name) {
    return set_errorf(PyExc_ValueError,
                      "Iteration of zero-sized operands is not enabled: %s has no elements", name);
}

PyObject* axis_error(int axis, int nd) {
    PyRef exceptions(PyImport_ImportModule("numpy.exceptions"));
    PyRef cls;
    if (exceptions) {
        cls = PyRef(PyObject_GetAttrString(exceptions.get(), "AxisError"));
    } else {
        PyErr_Clear();
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        cls = PyRef(PyObject_GetAttrString(numpy.get(), "AxisError"));
    }
    if (!cls) return nullptr;
    PyRef exc(PyObject_CallFunction(cls.get(), "ii", axis, nd));
    if (!exc) return nullptr;
    PyErr_SetObject(cls.get(), exc.get());
    return nullptr;
}

bool parse_steering(const char* steering, const char* argument, bool* cylindrical) {
    if (steering == nullptr || std::strcmp(steering, "cylindrical") == 0) {
        *cylindrical = true;
    } else if (std::strcmp(steering, "plane") == 0) {
        *cylindrical = false;
    } else {
        set_errorf(PyExc_ValueError, "%s must be 'plane' or 'cylindrical'", argument);
        return false;
    }
    return true;
}

bool parse_weighting(const char* weighting, bool* weight_by_offset) {
    if (weighting == nullptr || std::strcmp(weighting, "sqrt") == 0) {
        *weight_by_offset = true;
    } else if (std::strcmp(weighting, "none") == 0) {
        *weight_by_offset = false;
    } else {
        set_error(PyExc_ValueError, "weighting must be 'none' or 'sqrt'");
        return false;
    }
    return true;
}

PyRef new_array(int nd, const npy_intp* shape, int type_num, const char* what) {
    std::size_t bytes = type_num == NPY_CDOUBLE ? 16 : 8;  // the module makes float64 and complex128
    for (int i = 0; i < nd; ++i) {
        if (shape[i] < 0 || !checked_mul(bytes, static_cast<std::size_t>(shape[i]), &bytes)) {
            bytes = SIZE_MAX;
            break;
        }
    }
    if (bytes > static_cast<std::size_t>(NPY_MAX_INTP)) {
        // An empty axis makes a zero-byte array, whatever the other sizes.
        bool empty = false;
        for (int i = 0; i < nd; ++i) empty = empty || shape[i] == 0;
        if (!empty) {
            set_errorf(PyExc_MemoryError, "Could not allocate memory for %s", what);
            return PyRef();
        }
    }
    PyRef out(PyArray_New(&PyArray_Type, nd, const_cast<npy_intp*>(shape), type_num, nullptr,
                          nullptr, 0, 0, nullptr));
    if (!out && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        set_errorf(PyExc_MemoryError, "Could not allocate memory for %s", what);
    }
    return out;
}

PyObject* call_guarded(NativeFn fn, PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        return fn(self, args, kwargs);
    } catch (const AllocFailure& e) {
        return set_errorf(PyExc_MemoryError, "Could not allocate memory for %s", e.what());
    } catch (const std::bad_alloc&) {
        return set_error(PyExc_MemoryError, "Could not allocate memory for work buffers");
    } catch (const std::exception& e) {
        return set_errorf(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        return set_error(PyExc_RuntimeError, "internal error");
    }
}

}  // namespace molvak
