// Dispersion curves of layered models: molvak._native._dispersion, the core
// of molvak.layered (which builds and checks the models and passes them here).
#include <cmath>
#include <cstring>

#include "dispersion/dispersion.hpp"
#include "module/native_methods.hpp"

namespace molvak {

namespace {

const char dispersion_docstring[] =
    "_dispersion(thickness, vs, vp, density, frequency, mode=0, wave='rayleigh', velocity='phase',\n"
    "            workers=1)\n--\n\n"
    "The phase (velocity='phase') or group (velocity='group') velocity in m/s of mode `mode`\n"
    "(0: fundamental) of Rayleigh (wave='rayleigh') or Love (wave='love') waves of M layered\n"
    "models at F frequencies: thickness (M, L - 1) in m, vs, vp (m/s) and density (kg/m^3)\n"
    "(M, L), the last layer a half-space; frequency (F,) in Hz, positive. Returns float64\n"
    "(M, F), NaN where the mode does not exist (or leaks: faster than the half-space's Vs).\n"
    "`workers` threads share the models; the results do not depend on their number. The\n"
    "interpreter lock is released while it runs.";

PyObject* dispersion_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"thickness", "vs", "vp", "density", "frequency", "mode",
                                     "wave", "velocity", "workers", nullptr};
    PyObject *thickness_obj, *vs_obj, *vp_obj, *density_obj, *frequency_obj;
    Py_ssize_t mode = 0, workers = 1;
    const char* wave = "rayleigh";
    const char* velocity = "phase";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|nssn", const_cast<char**>(keywords), &thickness_obj,
                                     &vs_obj, &vp_obj, &density_obj, &frequency_obj, &mode, &wave, &velocity,
                                     &workers))
        return nullptr;
    PyRef thickness, vs, vp, density, frequency;
    if (!to_double_arrays({{thickness_obj, &thickness}, {vs_obj, &vs}, {vp_obj, &vp}, {density_obj, &density},
                           {frequency_obj, &frequency}}))
        return nullptr;
    if (ndim(vs) != 2 || dim(vs, 1) < 1)
        return set_errorf(PyExc_ValueError, "vs must be a 2-D array (models, layers) with at least one layer; got %d-D",
                          ndim(vs));
    const npy_intp M = dim(vs, 0), L = dim(vs, 1);
    const PyRef* same[] = {&vp, &density};
    const char* names[] = {"vp", "density"};
    for (int i = 0; i < 2; ++i)
        if (ndim(*same[i]) != 2 || dim(*same[i], 0) != M || dim(*same[i], 1) != L)
            return set_errorf(PyExc_ValueError, "%s must have the shape of vs, (%zd, %zd)", names[i],
                              static_cast<Py_ssize_t>(M), static_cast<Py_ssize_t>(L));
    if (ndim(thickness) != 2 || dim(thickness, 0) != M || dim(thickness, 1) != L - 1)
        return set_errorf(PyExc_ValueError, "thickness must have shape (%zd, %zd): one entry fewer than vs per model",
                          static_cast<Py_ssize_t>(M), static_cast<Py_ssize_t>(L - 1));
    if (ndim(frequency) != 1)
        return set_errorf(PyExc_ValueError, "frequency must be a 1-D array; got %d-D", ndim(frequency));
    const npy_intp F = dim(frequency, 0);
    const double* f = ddata(frequency);
    for (npy_intp j = 0; j < F; ++j)
        if (!(std::isfinite(f[j]) && f[j] > 0.0))
            return set_errorf(PyExc_ValueError, "frequency[%zd] must be positive and finite; got %g",
                              static_cast<Py_ssize_t>(j), f[j]);
    if (mode < 0) return set_errorf(PyExc_ValueError, "mode must be 0 or more; got %zd", mode);
    dispersion::Wave w;
    if (std::strcmp(wave, "rayleigh") == 0) {
        w = dispersion::Wave::rayleigh;
    } else if (std::strcmp(wave, "love") == 0) {
        w = dispersion::Wave::love;
    } else {
        return set_errorf(PyExc_ValueError, "wave must be 'rayleigh' or 'love'; got '%s'", wave);
    }
    bool group;
    if (std::strcmp(velocity, "phase") == 0) {
        group = false;
    } else if (std::strcmp(velocity, "group") == 0) {
        group = true;
    } else {
        return set_errorf(PyExc_ValueError, "velocity must be 'phase' or 'group'; got '%s'", velocity);
    }
    if (workers < 1) return set_errorf(PyExc_ValueError, "workers must be 1 or more; got %zd", workers);
    // A model the functions cannot take is refused here rather than turned
    // into NaN (the package checks its models before; this is one pass).
    const double *h = ddata(thickness), *b = ddata(vs), *a = ddata(vp), *rho = ddata(density);
    for (npy_intp m = 0; m < M; ++m) {
        for (npy_intp i = 0; i < L; ++i) {
            const npy_intp at = m * L + i;
            const bool thick_ok = i == L - 1 || (std::isfinite(h[m * (L - 1) + i]) && h[m * (L - 1) + i] > 0.0);
            if (!(thick_ok && std::isfinite(b[at]) && b[at] > 0.0 && std::isfinite(rho[at]) && rho[at] > 0.0 &&
                  std::isfinite(a[at]) && 3.0 * a[at] * a[at] > 4.0 * b[at] * b[at]))
                return set_errorf(PyExc_ValueError,
                                  "model %zd, layer %zd is not physical: thickness, vs and density must be positive "
                                  "and finite, and vp > 2 vs / sqrt(3)",
                                  static_cast<Py_ssize_t>(m), static_cast<Py_ssize_t>(i));
        }
    }
    const npy_intp shape[2] = {M, F};
    PyRef out = new_array(2, shape, NPY_DOUBLE, "dispersion curves");
    if (!out) return nullptr;
    dispersion::Models models{h, b, a, rho, static_cast<std::size_t>(M), static_cast<std::size_t>(L)};
    dispersion::Request request{f, static_cast<std::size_t>(F), static_cast<std::size_t>(mode), w, group};
    {
        GilRelease nogil;
        dispersion::curves(models, request, ddata(out), static_cast<std::size_t>(workers));
    }
    return out.release();
}

}  // namespace

namespace native {
PyMethodDef method_dispersion() { return MOLVAK_METHOD(_dispersion, dispersion_py, dispersion_docstring); }
}  // namespace native

}  // namespace molvak
