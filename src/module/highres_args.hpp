// Argument checks and band spectra shared by the high-resolution estimators
// of molvak._native (Capon beamforming, high-resolution Radon, f-k).
#pragma once

#include <cmath>
#include <cstring>

#include "common/buffer.hpp"
#include "fdbf/fdbf.hpp"
#include "fft/fft.hpp"
#include "module/band.hpp"
#include "module/pyutil.hpp"
#include "module/rfft.hpp"

namespace molvak::highres {

// The gather(s), offsets and velocities of a call, checked; `stacked` admits
// a 3-D stack of gathers (gathers x traces x samples) of one geometry.
struct Inputs {
    npy_intp shots = 1, nx = 0, nt = 0, nc = 0;
};

inline bool check_inputs(const PyRef& data, const PyRef& offsets, const PyRef& phase_vels, bool stacked,
                         Inputs* in) {
    const int nd = ndim(data);
    if (nd != 2 && !(stacked && nd == 3)) {
        set_error(PyExc_ValueError, stacked ? "data must be a 2-D gather (traces x samples) or a 3-D stack "
                                              "of gathers (gathers x traces x samples)"
                                            : "data must be a 2-D gather (traces x samples)");
        return false;
    }
    in->shots = nd == 3 ? dim(data, 0) : 1;
    in->nx = dim(data, nd - 2);
    in->nt = dim(data, nd - 1);
    if (in->shots == 0 || in->nx == 0 || in->nt == 0) {
        set_error(PyExc_ValueError, "data must hold at least one trace and one sample");
        return false;
    }
    if (ndim(offsets) != 1 || dim(offsets, 0) != in->nx) {
        set_errorf(PyExc_ValueError, "offsets must be 1-D with one entry per trace: got shape (%zd) for %zd traces",
                   static_cast<Py_ssize_t>(ndim(offsets) >= 1 ? dim(offsets, 0) : 0),
                   static_cast<Py_ssize_t>(in->nx));
        return false;
    }
    if (ndim(phase_vels) != 1 || dim(phase_vels, 0) == 0) {
        set_error(PyExc_ValueError, "phase_vels must be a non-empty 1-D array");
        return false;
    }
    in->nc = dim(phase_vels, 0);
    const double* c = ddata(phase_vels);
    for (npy_intp h = 0; h < in->nc; ++h)
        if (!(std::isfinite(c[h]) && c[h] != 0.0)) {
            set_errorf(PyExc_ValueError, "phase_vels must be finite and nonzero; got %g at index %zd", c[h],
                       static_cast<Py_ssize_t>(h));
            return false;
        }
    return true;
}

// The FFT length, the band's first bin and bin count, and its frequencies.
struct Band {
    npy_intp N = 0, first = 0, bins = 0;
    PyRef f;
};

inline bool band_of(const double band[2], double dt, Py_ssize_t n, npy_intp nt, Band* b) {
    b->N = fft_length(n, nt);
    b->bins = band_slice(band, dt, b->N, b->N / 2 + 1, &b->first);
    if (b->bins <= 0) {
        set_errorf(PyExc_ValueError, "the band %g to %g Hz holds no frequency of the FFT (steps of %g Hz)",
                   band[0], band[1], 1.0 / (dt * static_cast<double>(b->N)));
        return false;
    }
    b->f = build_freqs(b->N, band[0], band[1], dt);
    if (!b->f) return false;
    if (dim(b->f, 0) != b->bins) {
        set_error(PyExc_RuntimeError, "frequency axis and band cut disagree");
        return false;
    }
    return true;
}

// The spectra of bins first .. first + count - 1 of every trace of every
// gather: out[(s * nx + i) * count + k], dt times the DFT of the trace
// zero-padded to the plan's length. Runs without the interpreter lock.
inline void band_spectra(fft::RealPlan& plan, const double* data, std::size_t shots, std::size_t nx,
                         std::size_t nt, std::size_t first, std::size_t count, double dt, double* out) {
    for (std::size_t s = 0; s < shots; ++s)
        fdbf::band_spectrum(plan, data + s * nx * nt, nx, nt, first, count, dt, out + 2 * s * nx * count);
}

// The work of a call: the band spectra of `rows` traces over `width` bins
// (complex, interleaved), the real-FFT plan of length N, and the output
// image (bins x velocities) of the given NumPy type. `image` is null, with
// the exception set, when the output cannot be had; the buffers throw
// AllocFailure.
struct Work {
    Buffer<double> spectra;
    fft::RealPlan plan;
    PyRef image;

    Work(const Band& b, std::size_t rows, std::size_t width, npy_intp nc, int type)
        : spectra(size(rows, width), "band spectrum"), plan(static_cast<std::size_t>(b.N), 2) {
        const npy_intp shape[2] = {b.bins, nc};
        image = new_array(2, shape, type, "dispersion spectrum");
        if (image) plan.prepare();
    }

private:
    static std::size_t size(std::size_t rows, std::size_t width) {
        std::size_t count = 0;
        if (!checked_mul(rows, width, &count) || !checked_mul(count, 2, &count))
            throw AllocFailure("band spectrum");
        return count;
    }
};

// A positive, finite double argument.
inline bool positive(double value, const char* name) {
    if (std::isfinite(value) && value > 0.0) return true;
    set_errorf(PyExc_ValueError, "%s must be positive and finite; got %g", name, value);
    return false;
}

}  // namespace molvak::highres
