// Sub-array sweep of the slant stack: the images of many windows of one
// line's traces, written into the caller's array, with the interpreter lock
// released.
#include "module/native_methods.hpp"
#include "module/sweep_args.hpp"
#include "sweep/sweep.hpp"

namespace molvak {

namespace {

PyObject* sweep_slant_stack_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "phase_vel", "dt", "n", "first_bin",
                                     "first", "last", "out", nullptr};
    PyObject *data_obj, *x_obj, *c_obj, *first_obj, *last_obj, *out_obj;
    double dt;
    Py_ssize_t n, first_bin;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOdnnOOO", const_cast<char**>(keywords),
                                     &data_obj, &x_obj, &c_obj, &dt, &n, &first_bin, &first_obj,
                                     &last_obj, &out_obj))
        return nullptr;
    PyRef data, x, c;
    if (!to_double_arrays({{data_obj, &data}, {x_obj, &x}, {c_obj, &c}})) return nullptr;
    if (ndim(data) != 2)
        return set_errorf(PyExc_ValueError,
                          "data must be a 2-D array (traces x samples); got %d dimension(s)",
                          ndim(data));
    if (!sweep_args::vector(x, "offsets") || !sweep_args::vector(c, "phase_vel")) return nullptr;
    const npy_intp nx = dim(data, 0), nt = dim(data, 1);
    if (dim(x, 0) != nx)
        return set_errorf(PyExc_ValueError, "data has %zd traces but there are %zd offsets",
                          static_cast<Py_ssize_t>(nx), static_cast<Py_ssize_t>(dim(x, 0)));
    if (nx < 2 || nt < 1) return set_error(PyExc_ValueError, "a line needs at least 2 traces and 1 sample");
    if (!(dt > 0.0) || dt > 1.7976931348623157e308)
        return set_error(PyExc_ValueError, "dt must be positive and finite");
    if (n < nt) return set_error(PyExc_ValueError, "n must be at least the number of samples");
    PyRef first, last;
    if (!sweep_args::windows(first_obj, last_obj, nx - 1, first, last)) return nullptr;
    if (!PyArray_Check(out_obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(out_obj)) != 3)
        return set_error(PyExc_ValueError, "out must be a 3-D array (windows x frequencies x velocities)");
    const npy_intp nbins = PyArray_DIM(reinterpret_cast<PyArrayObject*>(out_obj), 1);
    if (first_bin < 0 || nbins < 1 || first_bin + nbins > n / 2 + 1)
        return set_errorf(PyExc_ValueError, "bins %zd to %zd lie outside the %zd bins of the FFT",
                          static_cast<Py_ssize_t>(first_bin),
                          static_cast<Py_ssize_t>(first_bin + nbins - 1),
                          static_cast<Py_ssize_t>(n / 2 + 1));
    sweep::Output out{};
    if (!sweep_args::output(out_obj, dim(first, 0), nbins, dim(c, 0), out)) return nullptr;
    const sweep::Gather g{ddata(data), static_cast<std::size_t>(nx), static_cast<std::size_t>(nt),
                          ddata(x), dt};
    const sweep::Windows w = sweep_args::view(first, last);
    sweep::SlantWork work = sweep::slant_stack_work(g, static_cast<std::size_t>(dim(c, 0)), w);
    {
        GilRelease unlocked;
        sweep::slant_stack(g, ddata(c), static_cast<std::size_t>(dim(c, 0)),
                           static_cast<std::size_t>(n), static_cast<std::size_t>(first_bin),
                           static_cast<std::size_t>(nbins), w, out, work);
    }
    Py_RETURN_NONE;
}

const char sweep_slant_stack_doc[] =
    "_sweep_slant_stack(data, offsets, phase_vel, dt, n, first_bin, first, last, out)\n--\n\n"
    "Slant-stack images of windows of a line, written into out (windows x frequencies x\n"
    "velocities, complex128): window w's tau-p column at the slowness 1 / c integrates the\n"
    "trapezoid segments first[w] .. last[w] at the sample times k dt, and its DFT of length n,\n"
    "scaled by dt, gives bins first_bin onward.";

}  // namespace

namespace native {
PyMethodDef method_sweep_slant_stack() {
    return MOLVAK_METHOD(_sweep_slant_stack, sweep_slant_stack_py, sweep_slant_stack_doc);
}
}  // namespace native

}  // namespace molvak
