// Minimum-variance (Capon) beamforming: molvak._native._capon.
#include "capon/capon.hpp"
#include "module/highres_args.hpp"
#include "module/native_methods.hpp"

namespace molvak {

namespace {

const char capon_docstring[] =
    "_capon(data, offsets, phase_vels, dt, f_range=None, steering_method='cylindrical', "
    "weighting='sqrt', loading=0.1, smoothing=0, subarray=0, n=0)\n--\n\n"
    "Minimum-variance (Capon) beam power P = 1 / Re(e^H R_L^-1 e) of one gather (NX, NT) or\n"
    "a stack of gathers of one geometry (S, NX, NT), R_L = R + loading * tr(R) / M * I.\n"
    "R is averaged over the gathers, over the bins f - smoothing .. f + smoothing and over\n"
    "the subarrays of `subarray` consecutive traces (0: the whole line). Returns (f, P),\n"
    "P float64 (NF, NC).";

PyObject* capon_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "phase_vels", "dt", "f_range", "steering_method",
                                     "weighting", "loading", "smoothing", "subarray", "n", nullptr};
    PyObject *data_obj, *offsets_obj, *phase_vels_obj, *f_range = nullptr;
    double dt, loading = 0.1;
    const char* steering_name = "cylindrical";
    const char* weighting_name = "sqrt";
    Py_ssize_t smoothing = 0, subarray = 0, n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|Ossdnnn", const_cast<char**>(keywords), &data_obj,
                                     &offsets_obj, &phase_vels_obj, &dt, &f_range, &steering_name,
                                     &weighting_name, &loading, &smoothing, &subarray, &n))
        return nullptr;
    PyRef data, offsets, phase_vels;
    if (!to_double_arrays({{data_obj, &data}, {offsets_obj, &offsets}, {phase_vels_obj, &phase_vels}}))
        return nullptr;
    double band[2];
    if (initialise_f_range(band, f_range, dt)) return nullptr;
    bool cylindrical, weight_by_offset;
    if (!parse_steering(steering_name, "steering_method", &cylindrical) ||
        !parse_weighting(weighting_name, &weight_by_offset))
        return nullptr;
    const capon::Steering steering = cylindrical ? capon::Steering::cylindrical : capon::Steering::plane;
    highres::Inputs in;
    if (!highres::check_inputs(data, offsets, phase_vels, true, &in)) return nullptr;
    if (!highres::positive(loading, "loading")) return nullptr;
    if (smoothing < 0)
        return set_errorf(PyExc_ValueError, "smoothing must be a non-negative number of bins; got %zd", smoothing);
    if (subarray < 0 || subarray > in.nx)
        return set_errorf(PyExc_ValueError, "subarray must lie between 1 and the %zd traces (0: all); got %zd",
                          static_cast<Py_ssize_t>(in.nx), subarray);
    highres::Band b;
    if (!highres::band_of(band, dt, n, in.nt, &b)) return nullptr;

    // The band widened by the smoothing bins that exist (a smoothing wider
    // than the spectrum reaches its ends, as the whole spectrum does).
    const npy_intp last = b.N / 2;
    const npy_intp reach = smoothing < last ? static_cast<npy_intp>(smoothing) : last;
    const npy_intp lo = b.first > reach ? b.first - reach : 0;
    const npy_intp hi = b.first + b.bins - 1 + reach < last ? b.first + b.bins - 1 + reach : last;
    const std::size_t width = static_cast<std::size_t>(hi - lo + 1);
    highres::Work work(b, static_cast<std::size_t>(in.shots * in.nx), width, in.nc, NPY_DOUBLE);
    if (!work.image) return nullptr;

    capon::Problem p{};
    p.spectra = work.spectra.data();
    p.nshots = static_cast<std::size_t>(in.shots);
    p.nx = static_cast<std::size_t>(in.nx);
    p.nbins = width;
    p.first_bin = static_cast<std::size_t>(lo);
    p.band_first = static_cast<std::size_t>(b.first);
    p.nf = static_cast<std::size_t>(b.bins);
    p.freqs = ddata(b.f);
    p.offsets = ddata(offsets);
    p.velocities = ddata(phase_vels);
    p.nc = static_cast<std::size_t>(in.nc);
    p.weight_by_offset = weight_by_offset;
    p.steering = steering;
    p.loading = loading;
    p.smoothing = static_cast<std::size_t>(reach);
    p.subarray = static_cast<std::size_t>(subarray == 0 ? in.nx : subarray);
    p.power = ddata(work.image);
    std::size_t failed;
    {
        GilRelease nogil;
        highres::band_spectra(work.plan, ddata(data), p.nshots, p.nx, static_cast<std::size_t>(in.nt),
                              p.first_bin, width, dt, work.spectra.data());
        failed = capon::beam_power(p);
    }
    if (failed < p.nf)
        return set_errorf(PyExc_ValueError,
                          "the loaded cross-spectral matrix at %g Hz is not positive definite (non-finite "
                          "data, or loading too small for the data's dynamic range)",
                          p.freqs[failed]);
    return Py_BuildValue("NN", b.f.release(), work.image.release());
}

}  // namespace

namespace native {
PyMethodDef method_capon() { return MOLVAK_METHOD(_capon, capon_py, capon_docstring); }
}  // namespace native

}  // namespace molvak
