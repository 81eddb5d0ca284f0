#include "module/radon.hpp"

#include "radon/radon.hpp"

namespace molvak {

bool check_radon_arguments(const PyRef& data, const PyRef& offsets, const PyRef& time,
                           const PyRef& slowness, int moveout_type, const char* time_name,
                           const char* slowness_name) {
    if (ndim(data) != 2) return set_error(PyExc_ValueError, "Data must be a 2D array"), false;
    if (ndim(offsets) != 1) return set_error(PyExc_ValueError, "Offsets must be a 1D array"), false;
    if (ndim(time) != 1) return set_error(PyExc_ValueError, "Time must be a 1D array"), false;
    if (ndim(slowness) != 1) return set_error(PyExc_ValueError, "Slowness must be a 1D array"), false;
    if (size(time) == 0) return zero_size_error(time_name), false;
    if (size(slowness) == 0) return zero_size_error(slowness_name), false;
    if (moveout_type < 0 || moveout_type > 2)
        return set_error(PyExc_ValueError, "Moveout type must be 0, 1 or 2"), false;
    // Only the first NX offsets are read; fewer would read past the array.
    if (dim(offsets, 0) < dim(data, 0)) {
        set_errorf(PyExc_ValueError,
                   "offsets must have one entry per trace: got %zd offsets for %zd traces",
                   static_cast<Py_ssize_t>(dim(offsets, 0)), static_cast<Py_ssize_t>(dim(data, 0)));
        return false;
    }
    return true;
}

namespace {

// The panel for converted arguments: a new (NTE, NP) float64 array.
PyRef radon_transform(const PyRef& data, const PyRef& offsets, const PyRef& slowness,
                      const PyRef& t_eval, int moveout_type, double dt, double t0) {
    if (!check_radon_arguments(data, offsets, t_eval, slowness, moveout_type, "t_eval", "slowness"))
        return PyRef();
    const npy_intp shape[2] = {dim(t_eval, 0), dim(slowness, 0)};
    PyRef out = new_array(2, shape, NPY_DOUBLE, "tau-p transform");
    if (!out) return out;
    const radon::Gather g{ddata(data), static_cast<std::size_t>(dim(data, 0)),
                          static_cast<std::size_t>(dim(data, 1)), ddata(offsets)};
    {
        GilRelease nogil;
        radon::panel(g, static_cast<radon::Moveout>(moveout_type), ddata(slowness),
                     static_cast<std::size_t>(shape[1]), ddata(t_eval),
                     static_cast<std::size_t>(shape[0]), dt, t0, ddata(out));
    }
    return out;
}

}  // namespace

PyObject* radon_transform_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "slowness", "dt", "t0",
                                     "t_eval", "moveout_type", nullptr};
    PyObject *data_obj, *offsets_obj, *slowness_obj, *t_eval_obj = Py_None;
    double dt, t0;
    int moveout_type = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOdd|Oi", const_cast<char**>(keywords),
                                     &data_obj, &offsets_obj, &slowness_obj, &dt, &t0,
                                     &t_eval_obj, &moveout_type))
        return nullptr;
    PyRef data, offsets, slowness;
    if (!to_double_arrays({{data_obj, &data}, {offsets_obj, &offsets}, {slowness_obj, &slowness}}))
        return nullptr;
    PyRef t_eval;
    if (t_eval_obj != Py_None) {
        t_eval = to_double_array(t_eval_obj);
        if (!t_eval) return nullptr;
    } else if (ndim(data) == 2) {
        // The gather's own sample times, as NumPy's arange counts them.
        const double nt = static_cast<double>(dim(data, 1));
        t_eval = PyRef(PyArray_Arange(t0, nt * dt + t0, dt, NPY_DOUBLE));
        if (!t_eval) return nullptr;
    } else {
        return set_error(PyExc_ValueError, "Data must be a 2D array");
    }
    return radon_transform(data, offsets, slowness, t_eval, moveout_type, dt, t0).release();
}

}  // namespace molvak
