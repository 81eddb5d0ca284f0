// Sub-array sweeps of the phase shift and of beamforming: the images of many
// windows of one line's traces, written into the caller's array. The line's
// spectrum comes in cut to the band; the kernels run with the interpreter
// lock released.

#include "module/native_methods.hpp"
#include "module/sweep_args.hpp"
#include "sweep/sweep.hpp"

namespace molvak {

namespace {

// spectrum (traces x frequencies, complex), frequencies, offsets and
// velocities, checked against each other.
struct Line {
    PyRef u, f, x, c;
    sweep::Spectrum view() const {
        return {static_cast<const double*>(PyArray_DATA(u.array())), dim(u, 1), 1, ddata(f),
                static_cast<std::size_t>(dim(f, 0)), ddata(x), static_cast<std::size_t>(dim(x, 0)),
                ddata(c), static_cast<std::size_t>(dim(c, 0))};
    }
};

bool line(PyObject* u_obj, PyObject* f_obj, PyObject* x_obj, PyObject* c_obj, Line& l) {
    l.u = sweep_args::convert(u_obj, NPY_CDOUBLE);
    if (!l.u || !to_double_arrays({{f_obj, &l.f}, {x_obj, &l.x}, {c_obj, &l.c}})) return false;
    if (ndim(l.u) != 2) {
        set_errorf(PyExc_ValueError,
                   "spectrum must be a 2-D array (traces x frequencies); got %d dimension(s)",
                   ndim(l.u));
        return false;
    }
    if (!sweep_args::vector(l.f, "frequencies") || !sweep_args::vector(l.x, "offsets") ||
        !sweep_args::vector(l.c, "phase_vel"))
        return false;
    if (dim(l.x, 0) != dim(l.u, 0) || dim(l.f, 0) != dim(l.u, 1)) {
        set_errorf(PyExc_ValueError,
                   "spectrum has shape (%zd, %zd) but there are %zd offsets and %zd frequencies",
                   static_cast<Py_ssize_t>(dim(l.u, 0)), static_cast<Py_ssize_t>(dim(l.u, 1)),
                   static_cast<Py_ssize_t>(dim(l.x, 0)), static_cast<Py_ssize_t>(dim(l.f, 0)));
        return false;
    }
    return true;
}

PyObject* sweep_phase_shift_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"spectrum", "frequencies", "offsets", "phase_vel",
                                     "first", "last", "out", nullptr};
    PyObject *u, *f, *x, *c, *first_obj, *last_obj, *out_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO", const_cast<char**>(keywords), &u,
                                     &f, &x, &c, &first_obj, &last_obj, &out_obj))
        return nullptr;
    Line l;
    if (!line(u, f, x, c, l)) return nullptr;
    if (dim(l.x, 0) < 2) return set_error(PyExc_ValueError, "a line needs at least 2 traces");
    PyRef first, last;
    if (!sweep_args::windows(first_obj, last_obj, dim(l.x, 0) - 1, first, last)) return nullptr;
    sweep::Output out{};
    if (!sweep_args::output(out_obj, dim(first, 0), dim(l.f, 0), dim(l.c, 0), out)) return nullptr;
    const sweep::Spectrum s = l.view();
    const sweep::Windows w = sweep_args::view(first, last);
    sweep::Work work = sweep::phase_shift_work(s, w);
    bool finite;
    {
        GilRelease unlocked;
        finite = sweep::phase_shift(s, w, out, work);
    }
    return PyBool_FromLong(finite);
}

PyObject* sweep_fdbf_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"spectrum", "frequencies", "offsets", "phase_vel", "first",
                                     "last", "out", "steering", "weighting", nullptr};
    PyObject *u, *f, *x, *c, *first_obj, *last_obj, *out_obj;
    const char* steering = "cylindrical";
    const char* weighting = "sqrt";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO|ss", const_cast<char**>(keywords), &u,
                                     &f, &x, &c, &first_obj, &last_obj, &out_obj, &steering,
                                     &weighting))
        return nullptr;
    bool cylindrical, weight_by_offset;
    if (!parse_steering(steering, "steering", &cylindrical) || !parse_weighting(weighting, &weight_by_offset))
        return nullptr;
    Line l;
    if (!line(u, f, x, c, l)) return nullptr;
    PyRef first, last;
    if (!sweep_args::windows(first_obj, last_obj, dim(l.x, 0), first, last)) return nullptr;
    sweep::Output out{};
    if (!sweep_args::output(out_obj, dim(first, 0), dim(l.f, 0), dim(l.c, 0), out)) return nullptr;
    const sweep::Spectrum s = l.view();
    const sweep::Windows w = sweep_args::view(first, last);
    sweep::Work work = sweep::beam_work(s, w);
    bool finite;
    {
        GilRelease unlocked;
        finite = sweep::beam(s, w, weight_by_offset, cylindrical, out, work);
    }
    return PyBool_FromLong(finite);
}

const char sweep_phase_shift_doc[] =
    "_sweep_phase_shift(spectrum, frequencies, offsets, phase_vel, first, last, out)\n--\n\n"
    "Phase-shift images of windows of a line, written into out (windows x frequencies x\n"
    "velocities, complex128). spectrum: the line's band-cut spectrum (traces x frequencies);\n"
    "window w integrates the trapezoid segments first[w] .. last[w] (segment j joins traces\n"
    "j and j + 1). Returns whether every value written is finite.";

const char sweep_fdbf_doc[] =
    "_sweep_fdbf(spectrum, frequencies, offsets, phase_vel, first, last, out,\n"
    "            steering='cylindrical', weighting='sqrt')\n--\n\n"
    "Beamforming powers of windows of a line, written into out (windows x frequencies x\n"
    "velocities, complex128 with zero imaginary parts); window w steers traces first[w] ..\n"
    "last[w], each at its own offset from the source. Returns whether every value written\n"
    "is finite.";

}  // namespace

namespace native {
PyMethodDef method_sweep_phase_shift() {
    return MOLVAK_METHOD(_sweep_phase_shift, sweep_phase_shift_py, sweep_phase_shift_doc);
}
PyMethodDef method_sweep_fdbf() {
    return MOLVAK_METHOD(_sweep_fdbf, sweep_fdbf_py, sweep_fdbf_doc);
}
}  // namespace native

}  // namespace molvak
