// Frequency-domain beamforming: the cross-spectral matrices of the traces
// steered with plane-wave or cylindrical-wave steering vectors.
//
// The contraction sum_ij conj(E_i) R_ij E_j of the textbook formulation runs
// as |sum_i a_i conj(E_i)|^2 (see fdbf/fdbf.hpp): no cross-spectral matrix
// and no steering array are formed. What that formulation would refuse is
// still refused, in its order: an empty band where the cross-spectral
// matrices would be built, offsets that do not broadcast against the traces
// there (offset weighting) or at the contraction (no weighting), empty phase
// velocities or offsets where the steering vectors would be built, and the
// frequency axis's own errors between the two.
#include "module/fdbf.hpp"

#include <cstdint>

#include "module/band.hpp"
#include "common/buffer.hpp"
#include "fft/fft.hpp"
#include "module/rfft.hpp"
#include "fdbf/fdbf.hpp"

namespace molvak {

namespace {

// NumPy broadcasting of one axis: equal lengths, or a length of 1 repeated.
bool broadcastable(npy_intp a, npy_intp b) { return a == b || a == 1 || b == 1; }

PyObject* broadcast_error(npy_intp offsets, npy_intp traces) {
    return set_errorf(PyExc_ValueError,
                      "operands could not be broadcast together: %zd offsets for %zd traces",
                      static_cast<Py_ssize_t>(offsets), static_cast<Py_ssize_t>(traces));
}

}  // namespace

PyObject* FDBF_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offsets", "phase_vels", "dt", "f_range",
                                     "steering_method", "weighting", "n", nullptr};
    PyObject *data_obj, *offsets_obj, *phase_vels_obj, *f_range = nullptr;
    double dt;
    const char* steering_name = nullptr;
    const char* weighting_name = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|Ossn", const_cast<char**>(keywords),
                                     &data_obj, &offsets_obj, &phase_vels_obj, &dt, &f_range,
                                     &steering_name, &weighting_name, &n))
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
    const fdbf::Steering steering = cylindrical ? fdbf::Steering::cylindrical : fdbf::Steering::plane;
    if (ndim(offsets) != 1) return set_error(PyExc_ValueError, "offsets must be a 1D array");
    if (ndim(phase_vels) != 1) return set_error(PyExc_ValueError, "phase_vels must be a 1D array");

    // Spectrum of every trace along time, scaled by dt, cut to the band.
    // Gathers that are not 2-D, or have no trace or no sample, take the real
    // FFT and band cut themselves, which refuse them in their order. A 2-D
    // gather is transformed trace by trace further down, keeping only the
    // band: the same numbers without the whole spectrum in memory.
    const npy_intp N = ndim(data) >= 2 ? fft_length(n, dim(data, 1)) : 0;
    if (ndim(data) != 2 || dim(data, 0) == 0 || dim(data, 1) == 0) {
        PyRef spectrum = rfft(data.array(), 1, n, dt);
        if (!spectrum) return nullptr;
        PyRef cut = slice_frequencies2D(spectrum.array(), band, 1, dt, N);
        if (!cut) return nullptr;
        return set_error(PyExc_RuntimeError, "a gather without traces or samples passed the FFT");
    }
    // The bins first .. first + bins - 1 that the band cut selects: the bin
    // range of the band rule under Python's slicing rules.
    npy_intp first = 0;
    const npy_intp bins = band_slice(band, dt, N, N / 2 + 1, &first);

    // The transform's work buffers and plan, where the FFT would make them.
    fft::RealPlan plan(static_cast<std::size_t>(N), 2);
    plan.prepare();

    const npy_intp nx = dim(data, 0);
    const npy_intp nxo = dim(offsets, 0), nc = dim(phase_vels, 0);
    // Cross-spectral matrices: traces x traces for every bin of the band,
    // with the offsets along both trace axes under offset weighting.
    npy_intp traces = nx;
    if (weight_by_offset) {
        if (!broadcastable(nx, nxo)) return broadcast_error(nxo, nx);
        traces = nx == 1 ? nxo : nx;
    }
    if (bins == 0 || traces == 0) return zero_size_error("the band-limited spectrum");

    PyRef f = build_freqs(N, band[0], band[1], dt);
    if (!f) return nullptr;
    if (dim(f, 0) != bins)
        return set_error(PyExc_RuntimeError, "frequency axis and band cut disagree");

    // Steering vectors: frequencies x velocities x offsets.
    if (nc == 0) return zero_size_error("phase_vels");
    if (nxo == 0) return zero_size_error("offsets");
    // Contraction of the steering vectors (offsets) with the matrices (traces).
    if (!broadcastable(nx, nxo)) return broadcast_error(nxo, nx);
    traces = nx == 1 ? nxo : nx;

    const npy_intp shape[2] = {bins, nc};
    PyRef power = new_array(2, shape, NPY_CDOUBLE, "dispersion spectrum");
    if (!power) return nullptr;
    std::size_t band_size = 0;
    if (!checked_mul(static_cast<std::size_t>(nx), static_cast<std::size_t>(bins), &band_size) ||
        !checked_mul(band_size, 2, &band_size))
        throw AllocFailure("band spectrum");
    Buffer<double> spectrum(band_size, "band spectrum");

    fdbf::Problem problem{};
    problem.spectrum = spectrum.data();
    problem.trace_stride = nx == 1 ? 0 : bins;
    problem.bin_stride = 1;
    problem.freqs = ddata(f);
    problem.nf = static_cast<std::size_t>(bins);
    problem.offsets = ddata(offsets);
    problem.offset_stride = nxo == 1 ? 0 : 1;
    problem.nx = static_cast<std::size_t>(traces);
    problem.velocities = ddata(phase_vels);
    problem.nc = static_cast<std::size_t>(nc);
    problem.weight_by_offset = weight_by_offset;
    problem.steering = steering;
    problem.power = ddata(power);
    {
        GilRelease nogil;
        fdbf::band_spectrum(plan, ddata(data), static_cast<std::size_t>(nx),
                            static_cast<std::size_t>(dim(data, 1)), static_cast<std::size_t>(first),
                            static_cast<std::size_t>(bins), dt, spectrum.data());
        fdbf::beam_power(problem);
    }
    return Py_BuildValue("NN", f.release(), power.release());
}

}  // namespace molvak
