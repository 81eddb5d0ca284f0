// Slant-stack dispersion estimator: the linear tau-p transform at the
// slownesses 1/c, then a Fourier transform over intercept time.
#include "module/slantstack.hpp"

#include "module/band.hpp"
#include "fft/fft.hpp"
#include "module/rfft.hpp"
#include "module/radon.hpp"
#include "radon/radon.hpp"

namespace molvak {

PyObject* disp_slantstack_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "time", "phase_vel", "dt", "f_range",
                                     "n", nullptr};
    PyObject *data_obj, *offsets_obj, *time_obj, *phase_vel_obj, *f_range = nullptr;
    double dt;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOd|On", const_cast<char**>(keywords),
                                     &data_obj, &offsets_obj, &time_obj, &phase_vel_obj, &dt,
                                     &f_range, &n))
        return nullptr;
    PyRef data, offsets, time, phase_vel;
    if (!to_double_arrays(
            {{data_obj, &data}, {offsets_obj, &offsets}, {time_obj, &time}, {phase_vel_obj, &phase_vel}}))
        return nullptr;

    double band[2];
    if (initialise_f_range(band, f_range, dt)) return nullptr;

    // Slowness 1/c with IEEE division: c = 0 gives an infinite slowness.
    if (size(phase_vel) == 0) return zero_size_error("phase_vel");
    PyRef slowness(PyArray_NewLikeArray(phase_vel.array(), NPY_CORDER, nullptr, 0));
    if (!slowness) return nullptr;
    {
        const double* c = ddata(phase_vel);
        double* p = ddata(slowness);
        for (npy_intp k = 0, count = size(phase_vel); k < count; ++k) p[k] = 1.0 / c[k];
    }
    if (!check_radon_arguments(data, offsets, time, slowness, 0, "time", "phase_vel"))
        return nullptr;

    const npy_intp ntime = dim(time, 0), nslow = dim(slowness, 0);
    const npy_intp N = fft_length(n, ntime);
    const npy_intp shape[2] = {N / 2 + 1, nslow};
    // Every bin is written: the caller receives the band as a view of the
    // whole spectrum, which stays reachable as the view's base.
    PyRef spectrum = new_array(2, shape, NPY_CDOUBLE, "output");
    if (!spectrum) return nullptr;
    fft::RealPlan plan(static_cast<std::size_t>(N), 16);
    plan.prepare();
    const radon::Gather g{ddata(data), static_cast<std::size_t>(dim(data, 0)),
                          static_cast<std::size_t>(dim(data, 1)), ddata(offsets)};
    {
        GilRelease nogil;
        radon::slant_stack_spectrum(g, ddata(slowness), static_cast<std::size_t>(nslow),
                                    ddata(time), static_cast<std::size_t>(ntime), dt, plan,
                                    0, static_cast<std::size_t>(shape[0]),
                                    static_cast<double*>(PyArray_DATA(spectrum.array())));
    }
    PyRef disp_spec = slice_frequencies2D(spectrum.array(), band, 0, dt, N);
    if (!disp_spec) return nullptr;
    PyRef f = build_freqs(N, band[0], band[1], dt);
    if (!f) return nullptr;
    return Py_BuildValue("NN", f.release(), disp_spec.release());
}

}  // namespace molvak
