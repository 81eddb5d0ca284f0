// Frequency-wavenumber power: molvak._native._fk.
#include <cmath>

#include "fk/fk.hpp"
#include "module/highres_args.hpp"
#include "module/native_methods.hpp"

namespace molvak {

namespace {

const char fk_docstring[] =
    "_fk(data, offsets, phase_vels, dt, f_range=None, nk=0, n=0)\n--\n\n"
    "Frequency-wavenumber power of a gather of equally spaced traces (NX, NT): the traces'\n"
    "spectra transformed over space on an nk-point wavenumber grid (nk >= NX; 0: NX), the\n"
    "power read at k = f / c by linear interpolation along k. Returns (f, P), P float64\n"
    "(NF, NC).";

// Largest departure from equal spacing accepted, relative to the spacing.
constexpr double kSpacingTolerance = 1e-6;

PyObject* fk_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "phase_vels", "dt", "f_range", "nk", "n", nullptr};
    PyObject *data_obj, *offsets_obj, *phase_vels_obj, *f_range = nullptr;
    double dt;
    Py_ssize_t nk = 0, n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|Onn", const_cast<char**>(keywords), &data_obj,
                                     &offsets_obj, &phase_vels_obj, &dt, &f_range, &nk, &n))
        return nullptr;
    PyRef data, offsets, phase_vels;
    if (!to_double_arrays({{data_obj, &data}, {offsets_obj, &offsets}, {phase_vels_obj, &phase_vels}}))
        return nullptr;
    double band[2];
    if (initialise_f_range(band, f_range, dt)) return nullptr;
    highres::Inputs in;
    if (!highres::check_inputs(data, offsets, phase_vels, false, &in)) return nullptr;
    if (in.nx < 2) return set_error(PyExc_ValueError, "the f-k transform needs at least two traces");
    const double* x = ddata(offsets);
    const double dx = (x[in.nx - 1] - x[0]) / static_cast<double>(in.nx - 1);
    if (!(std::isfinite(dx) && dx != 0.0))
        return set_error(PyExc_ValueError, "offsets must be finite and equally spaced for the f-k transform");
    for (npy_intp i = 1; i < in.nx; ++i) {
        const double gap = x[i] - x[i - 1];
        if (!(std::fabs(gap - dx) <= kSpacingTolerance * std::fabs(dx)))
            return set_errorf(PyExc_ValueError,
                              "offsets must be equally spaced for the f-k transform: traces %zd and %zd are %g "
                              "apart, the line's mean spacing is %g",
                              static_cast<Py_ssize_t>(i - 1), static_cast<Py_ssize_t>(i), gap, dx);
    }
    if (nk != 0 && nk < in.nx)
        return set_errorf(PyExc_ValueError, "nk must be at least the %zd traces (0: as many); got %zd",
                          static_cast<Py_ssize_t>(in.nx), nk);
    highres::Band b;
    if (!highres::band_of(band, dt, n, in.nt, &b)) return nullptr;

    highres::Work work(b, static_cast<std::size_t>(in.nx), static_cast<std::size_t>(b.bins), in.nc,
                       NPY_DOUBLE);
    if (!work.image) return nullptr;

    fk::Problem p{};
    p.spectrum = work.spectra.data();
    p.nx = static_cast<std::size_t>(in.nx);
    p.nf = static_cast<std::size_t>(b.bins);
    p.freqs = ddata(b.f);
    p.spacing = dx;
    p.nk = static_cast<std::size_t>(nk == 0 ? in.nx : nk);
    p.velocities = ddata(phase_vels);
    p.nc = static_cast<std::size_t>(in.nc);
    p.power = ddata(work.image);
    {
        GilRelease nogil;
        fdbf::band_spectrum(work.plan, ddata(data), p.nx, static_cast<std::size_t>(in.nt),
                            static_cast<std::size_t>(b.first), p.nf, dt, work.spectra.data());
        fk::power(p);
    }
    return Py_BuildValue("NN", b.f.release(), work.image.release());
}

}  // namespace

namespace native {
PyMethodDef method_fk() { return MOLVAK_METHOD(_fk, fk_py, fk_docstring); }
}  // namespace native

}  // namespace molvak
