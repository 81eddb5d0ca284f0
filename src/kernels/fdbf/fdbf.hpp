// Frequency-domain beamforming kernels over raw buffers. Plain C++.
//
// The beam power of frequency g and trial velocity c[h] is
//
//     P[g,h] = sum_i sum_j conj(E[g,h,i]) R[g,i,j] E[g,h,j],
//     R[g,i,j] = w_i U[i,g] conj(w_j U[j,g]),
//
// with w_i the offset x[i] (offset weighting) or 1. R is the outer product of
// a_i = w_i U[i,g] with its conjugate, so the double sum factors into
//
//     P[g,h] = |sum_i a_i conj(E[g,h,i])|^2,
//
// traces rather than traces squared operations per (g, h), and neither R nor
// the steering array is ever formed. P is returned as a complex number with
// an imaginary part of exactly zero. The steering elements are unit phasors:
//
//   plane:        E = (cos phi, sin phi),     phi   = ((f * -2pi) / c) * x,
//   cylindrical:  E = (cos th, -sin th),      kappa = ((f * 2pi) / c) * x,
//                 th = arg H0(1)(kappa) = atan2(y0(kappa), j0(kappa)),
//
// phi and kappa evaluated in exactly this order (2pi = 6.283185307179586).
#pragma once

#include <cstddef>

#include <memory>

#include "common/buffer.hpp"
#include "fft/fft.hpp"
#include "simd/isa.hpp"

namespace molvak::fdbf {

enum class Steering { plane, cylindrical };

struct Problem {
    // U[i,g] is the complex number at spectrum + 2 * (i * trace_stride +
    // g * bin_stride); strides count complex elements. A trace stride of 0
    // broadcasts one trace over every offset.
    const double* spectrum;
    std::ptrdiff_t trace_stride;
    std::ptrdiff_t bin_stride;
    const double* freqs;       // nf frequencies
    std::size_t nf;
    const double* offsets;     // offsets[i * offset_stride]; a stride of 0 broadcasts one offset
    std::ptrdiff_t offset_stride;
    std::size_t nx;            // traces after broadcasting
    const double* velocities;  // nc trial phase velocities
    std::size_t nc;
    bool weight_by_offset;
    Steering steering;
    double* power;             // (nf, nc) complex128, C order, written whole
};

// The band of the spectrum of a C-ordered (nx, nt) gather: out[i * count + k]
// (complex, interleaved) is dt times bin first + k of the forward DFT of trace
// i zero-padded to the plan's length, as the module's real FFT computes it;
// only the band is kept.
void band_spectrum(fft::RealPlan& plan, const double* data, std::size_t nx, std::size_t nt,
                   std::size_t first, std::size_t count, double dt, double* out);

// The beam power of every (frequency, velocity). Throws AllocFailure when its
// work buffers (of order traces + velocities) cannot be had.
void beam_power(const Problem& p, simd::Isa isa = simd::Isa::best);

struct Work;

// The beam before its sum over traces: for one frequency g, the steered term
// a_i conj(E[g,h,i]) of every trace i and velocity h, the values beam_power
// adds up (the same steering elements, from the same lane blocks). Its
// work buffers are those of beam_power, made once (AllocFailure); p.power
// is not used.
class BeamTerms {
public:
    explicit BeamTerms(const Problem& p, simd::Isa isa = simd::Isa::best);
    ~BeamTerms();
    BeamTerms(const BeamTerms&) = delete;
    BeamTerms& operator=(const BeamTerms&) = delete;
    // Velocities per row: nc rounded up to a multiple of 8 (the extra
    // entries are padding, written but not meaningful).
    std::size_t width() const noexcept { return width_; }
    // Writes re[i * stride + h] and im[i * stride + h] for every trace i
    // and h < width(); stride >= width().
    void frequency(std::size_t g, double* re, double* im, std::size_t stride) noexcept;

private:
    const Problem& p_;
    simd::Isa isa_;
    std::size_t width_;
    Buffer<double> x_, xinv_, rot_, velocities_, extremes_;
    Buffer<std::int64_t> plan_;
    std::unique_ptr<Work> work_;
};

// Element-wise helpers, the building blocks of beam_power (for the unit
// tests and for native callers), with the instruction set chosen:
// theta[k] = the phase of H0(1)(kappa[k]) in [-pi, pi], from the coarse or
// (fine) the finer table of the phase;
void hankel_phase(const double* kappa, double* theta, std::size_t n, bool fine = false,
                  simd::Isa isa = simd::Isa::best);
// out[2k], out[2k+1] = cos, sin of the phase of H0(1)(kappa[k]);
void hankel_phasor(const double* kappa, double* out, std::size_t n,
                   simd::Isa isa = simd::Isa::best);
// out[2k], out[2k+1] = cos, sin of angle[k].
void unit_phasor(const double* angle, double* out, std::size_t n,
                 simd::Isa isa = simd::Isa::best);

}  // namespace molvak::fdbf
