// Phase-shift dispersion kernels over raw buffers. Plain C++: nothing here
// knows Python, and nothing allocates once a Workspace exists.
#pragma once

#include <cstddef>

#include "common/buffer.hpp"
#include "simd/isa.hpp"

namespace molvak::phase_shift {

// One estimate. The rotated spectra P[i, g, k] = U[i', g] * e^{i theta},
// theta = ((2 pi x[i]) / c[k]) * f[g], are never stored: each is formed,
// paired with its predecessor on the trace axis and folded into V at once.
struct Problem {
    // The band's columns of the spectrum, complex (re, im) pairs: element
    // (trace t, frequency g) starts at u + t * u_row + g * u_col (in doubles).
    const double* u;
    std::ptrdiff_t u_row;
    std::ptrdiff_t u_col;
    std::size_t nu;   // traces in u: nx, or 1 for one trace seen at every offset
    const double* f;  // nf frequencies of the band, increasing, f[g] = (first + g) * df
    std::size_t nf;
    double df;        // spacing of the frequency grid
    const double* x;  // nx offsets: P has one row per offset
    std::size_t nx;
    const double* c;  // nc trial phase velocities
    std::size_t nc;
};

// Work memory of one estimate, of order nx * nf + nx (nothing of size
// nx * nf * nc). Allocated with the interpreter lock held; throws
// AllocFailure.
class Workspace {
public:
    explicit Workspace(const Problem& p);

    Buffer<double> unit;   // (nf, nu) unit-modulus spectra, frequency-major
    Buffer<double> w;      // nx trapezoid weights |x_i - x_{i-1}| * 0.5
    Buffer<double> state;  // per-trace state of one block of velocities
};

// Writes V, C-ordered complex (nf, nc):
//   V[g, k] = sum over i = 1 .. nx-1, in this order, onto 0, of
//             (P[i, g, k] + P[i-1, g, k]) * (|x_i - x_{i-1}| * 0.5).
// The spectrum is first reduced to unit modulus, u / sqrt(re^2 + im^2), with
// no guard for a zero modulus (a dead trace turns V into NaN).
void phase_shift(const Problem& p, Workspace& ws, double* v,
                 simd::Isa isa = simd::Isa::best) noexcept;

}  // namespace molvak::phase_shift
