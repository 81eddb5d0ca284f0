// Frequency-wavenumber power of equally spaced traces over raw buffers.
// Plain C++.
//
// For every frequency f of the band the trace spectra U_i (traces at
// x_0 + i dx) are transformed over space on an nk-point wavenumber grid,
//
//     V(k_q) = sum_i U_i exp(+i 2 pi q i / nk),    k_q = q / (nk dx),
//
// the sign that makes a wave travelling towards larger offsets appear at
// positive k; nk > nx zero-pads the line and samples k more finely. The power
// |V|^2 is read at k = f / c for every trial velocity c by linear
// interpolation between the two neighbouring grid wavenumbers, on the
// periodic grid: a wavenumber beyond the grid's span 1 / dx is read where it
// aliases to, as the sampled line sees it.
#pragma once

#include <cstddef>

namespace molvak::fk {

struct Problem {
    const double* spectrum;    // U[i, g] at spectrum + 2 * (i * nf + g)
    std::size_t nx;
    std::size_t nf;
    const double* freqs;       // nf
    double spacing;            // dx, nonzero (negative: offsets decreasing)
    std::size_t nk;            // >= nx
    const double* velocities;  // nc
    std::size_t nc;
    double* power;             // (nf, nc) float64, C order, written whole
};

// Throws AllocFailure when its work buffers cannot be had.
void power(const Problem& p);

}  // namespace molvak::fk
