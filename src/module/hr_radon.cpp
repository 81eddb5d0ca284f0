// High-resolution linear Radon transform: molvak._native._hr_radon.
#include <cstring>

#include "hr_radon/hr_radon.hpp"
#include "module/highres_args.hpp"
#include "module/native_methods.hpp"

namespace molvak {

namespace {

const char hr_radon_docstring[] =
    "_hr_radon(data, offsets, phase_vels, dt, f_range=None, iterations=8, damping=0.1, "
    "sparseness=1e-3, norm='cauchy', n=0)\n--\n\n"
    "High-resolution linear Radon model of a gather (NX, NT) at the slownesses 1 / c, for\n"
    "every frequency of the band: iteratively reweighted damped least squares, one damped\n"
    "solve and `iterations` reweighted ones (weights |m|^2 + eps, 'cauchy', or |m| + eps,\n"
    "'l1'). Returns (f, m), m complex128 (NF, NC).";

PyObject* hr_radon_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "phase_vels", "dt", "f_range", "iterations",
                                     "damping", "sparseness", "norm", "n", nullptr};
    PyObject *data_obj, *offsets_obj, *phase_vels_obj, *f_range = nullptr;
    double dt, damping = 0.1, sparseness = 1e-3;
    Py_ssize_t iterations = 8, n = 0;
    const char* norm_name = "cauchy";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|Onddsn", const_cast<char**>(keywords), &data_obj,
                                     &offsets_obj, &phase_vels_obj, &dt, &f_range, &iterations, &damping,
                                     &sparseness, &norm_name, &n))
        return nullptr;
    PyRef data, offsets, phase_vels;
    if (!to_double_arrays({{data_obj, &data}, {offsets_obj, &offsets}, {phase_vels_obj, &phase_vels}}))
        return nullptr;
    double band[2];
    if (initialise_f_range(band, f_range, dt)) return nullptr;
    hr_radon::Norm norm;
    if (std::strcmp(norm_name, "cauchy") == 0) {
        norm = hr_radon::Norm::cauchy;
    } else if (std::strcmp(norm_name, "l1") == 0) {
        norm = hr_radon::Norm::l1;
    } else {
        return set_error(PyExc_ValueError, "norm must be 'cauchy' or 'l1'");
    }
    highres::Inputs in;
    if (!highres::check_inputs(data, offsets, phase_vels, false, &in)) return nullptr;
    if (iterations < 0)
        return set_errorf(PyExc_ValueError, "iterations must be non-negative; got %zd", iterations);
    if (!highres::positive(damping, "damping") || !highres::positive(sparseness, "sparseness")) return nullptr;
    highres::Band b;
    if (!highres::band_of(band, dt, n, in.nt, &b)) return nullptr;

    highres::Work work(b, static_cast<std::size_t>(in.nx), static_cast<std::size_t>(b.bins), in.nc,
                       NPY_CDOUBLE);
    if (!work.image) return nullptr;

    hr_radon::Problem p{};
    p.spectrum = work.spectra.data();
    p.nx = static_cast<std::size_t>(in.nx);
    p.nf = static_cast<std::size_t>(b.bins);
    p.freqs = ddata(b.f);
    p.offsets = ddata(offsets);
    p.velocities = ddata(phase_vels);
    p.nc = static_cast<std::size_t>(in.nc);
    p.iterations = static_cast<std::size_t>(iterations);
    p.damping = damping;
    p.sparseness = sparseness;
    p.norm = norm;
    p.model = ddata(work.image);
    std::size_t failed;
    {
        GilRelease nogil;
        fdbf::band_spectrum(work.plan, ddata(data), p.nx, static_cast<std::size_t>(in.nt),
                            static_cast<std::size_t>(b.first), p.nf, dt, work.spectra.data());
        failed = hr_radon::model(p);
    }
    if (failed < p.nf)
        return set_errorf(PyExc_ValueError, "the damped Radon system at %g Hz is not positive definite "
                          "(non-finite data or offsets)", p.freqs[failed]);
    return Py_BuildValue("NN", b.f.release(), work.image.release());
}

}  // namespace

namespace native {
PyMethodDef method_hr_radon() { return MOLVAK_METHOD(_hr_radon, hr_radon_py, hr_radon_docstring); }
}  // namespace native

}  // namespace molvak
