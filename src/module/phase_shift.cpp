// Phase-shift dispersion estimator: unit-modulus spectra of the traces,
// rotated by e^{+i 2 pi f x / c} for every trial velocity and integrated over
// offset with the trapezoid rule.
#include "module/phase_shift.hpp"

#include "module/band.hpp"
#include "module/rfft.hpp"
#include "phase_shift/phase_shift.hpp"

namespace molvak {

PyObject* phase_shift_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offset", "phase_vel", "dt", "f_range", "n", nullptr};
    PyObject *data_obj, *offset_obj, *phase_vel_obj, *f_range = nullptr;
    double dt;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|On", const_cast<char**>(keywords),
                                     &data_obj, &offset_obj, &phase_vel_obj, &dt, &f_range, &n))
        return nullptr;
    PyRef data, offset, phase_vel;
    if (!to_double_arrays({{data_obj, &data}, {offset_obj, &offset}, {phase_vel_obj, &phase_vel}}))
        return nullptr;

    double band[2];
    if (initialise_f_range(band, f_range, dt)) return nullptr;

    // The spectrum of every trace along the time axis. A 0-d or 1-d `data`
    // has no axis 1 and is refused here, before any dimension is read.
    PyRef spectrum = rfft(data.array(), 1, n, dt);
    if (!spectrum) return nullptr;
    const npy_intp N = fft_length(n, dim(data, 1));
    // The band's bins along the frequency axis; the spectrum's other axis
    // holds the traces.
    if (ndim(spectrum) != 2) return set_error(PyExc_ValueError, "Array must be 2D");
    npy_intp first = 0;
    const npy_intp nf = band_slice(band, dt, N, dim(spectrum, 1), &first);
    const npy_intp traces = dim(spectrum, 0);
    // The normalisation step visits every element of the band: a band
    // without a bin has nothing to visit, which NumPy's iterators refuse.
    if (traces == 0 || nf == 0) return zero_size_error("the band's spectrum");

    PyRef f = build_freqs(N, band[0], band[1], dt);
    if (!f) return nullptr;

    // The product step pairs offset with the trace axis of the cut and
    // phase_vel with the velocity axis: both must be vectors.
    if (ndim(offset) != 1) return set_error(PyExc_ValueError, "offset must be a 1D array");
    if (ndim(phase_vel) != 1) return set_error(PyExc_ValueError, "phase_vel must be a 1D array");
    const npy_intp offsets = dim(offset, 0);
    // Broadcasting of offset against the traces: equal lengths, or one side
    // of length 1 (one trace seen at every offset, or one offset for every
    // trace, which the integration refuses below).
    if (offsets != traces && offsets != 1 && traces != 1)
        return set_errorf(PyExc_ValueError,
                          "offset has %zd elements but data has %zd traces: they must match",
                          static_cast<Py_ssize_t>(offsets), static_cast<Py_ssize_t>(traces));
    const npy_intp rows = offsets == 1 ? traces : offsets;
    if (rows == 0) return zero_size_error("offset");
    if (size(phase_vel) == 0) return zero_size_error("phase_vel");
    // The integration needs one offset per row of the rotated spectra.
    if (rows != offsets)
        return set_error(PyExc_ValueError,
                         "x must have the same number of elements as the axis of data");

    const npy_intp nc = dim(phase_vel, 0);
    const npy_intp shape[2] = {nf, nc};
    PyRef V = new_array(2, shape, NPY_CDOUBLE, "dispersion spectrum");
    if (!V) return nullptr;

    const npy_intp* strides = PyArray_STRIDES(spectrum.array());
    const phase_shift::Problem problem{
        static_cast<const double*>(PyArray_DATA(spectrum.array())) + 2 * first,
        static_cast<std::ptrdiff_t>(strides[0] / static_cast<npy_intp>(sizeof(double))),
        static_cast<std::ptrdiff_t>(strides[1] / static_cast<npy_intp>(sizeof(double))),
        static_cast<std::size_t>(traces),
        ddata(f),
        static_cast<std::size_t>(nf),
        1.0 / (dt * static_cast<double>(N)),
        ddata(offset),
        static_cast<std::size_t>(rows),
        ddata(phase_vel),
        static_cast<std::size_t>(nc)};
    phase_shift::Workspace work(problem);
    {
        GilRelease nogil;
        phase_shift::phase_shift(problem, work, static_cast<double*>(PyArray_DATA(V.array())));
    }
    return Py_BuildValue("NN", f.release(), V.release());
}

}  // namespace molvak
