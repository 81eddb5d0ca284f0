#include "module/rfft.hpp"

#include "fft/fft.hpp"

namespace molvak {

PyRef rfft(PyArrayObject* array, int axis, Py_ssize_t n, double stepsize) {
    const int nd = PyArray_NDIM(array);
    if (nd == 0) {
        set_error(PyExc_ValueError,
                  "Cannot apply a FFT to a 0-dimensional array: it has no axis to transform");
        return PyRef();
    }
    if (axis < -nd || axis >= nd) {
        axis_error(axis, nd);
        return PyRef();
    }
    if (axis < 0) axis += nd;

    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp L = shape[axis];
    if (L == 0) {
        set_error(PyExc_ValueError, "Axis must have a length greater than 0");
        return PyRef();
    }
    const npy_intp N = fft_length(n, L);
    npy_intp out_shape[NPY_MAXDIMS];
    bool empty = false;
    for (int i = 0; i < nd; ++i) {
        out_shape[i] = shape[i];
        empty = empty || (i != axis && shape[i] == 0);
    }
    out_shape[axis] = N / 2 + 1;
    PyRef out = new_array(nd, out_shape, NPY_CDOUBLE, "output");
    if (!out) return out;

    std::size_t outer = 1, inner = 1;
    for (int i = 0; i < axis; ++i) outer *= static_cast<std::size_t>(shape[i]);
    for (int i = axis + 1; i < nd; ++i) inner *= static_cast<std::size_t>(shape[i]);

    // Work buffers first, then the refusal of empty lines, then the plan: the
    // order in which the failures are reported. Lines gathered across an
    // inner axis come sixteen at a time (a cache line of each row),
    // contiguous lines one or a chirp-z pair at a time.
    fft::RealPlan plan(static_cast<std::size_t>(N), inner > 1 ? 16 : 2);
    if (empty) {
        zero_size_error("an axis other than the FFT axis");
        return PyRef();
    }
    plan.prepare();
    {
        GilRelease nogil;
        fft::rfft_axis(plan, static_cast<const double*>(PyArray_DATA(array)), outer,
                       static_cast<std::size_t>(L), inner, stepsize,
                       static_cast<double*>(PyArray_DATA(out.array())));
    }
    return out;
}

PyObject* rfft_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"array", "axis", "stepsize", "n", nullptr};
    PyObject* array_obj = nullptr;
    int axis = -1;
    double stepsize = 1.0;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|idn", const_cast<char**>(keywords),
                                     &array_obj, &axis, &stepsize, &n))
        return nullptr;
    PyRef array = to_double_array(array_obj);
    if (!array) return nullptr;
    return rfft(array.array(), axis, n, stepsize).release();
}

}  // namespace molvak
