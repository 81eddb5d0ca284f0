// Minimum-variance (Capon) beamforming over raw buffers. Plain C++.
//
// For every frequency f of the band and trial velocity c,
//
//     P(f, c) = 1 / Re(e^H R_L^-1 e),    R_L = R + loading * tr(R) / M * I,
//
// e the steering vector of (f, c) over M traces and R the M x M
// cross-spectral matrix: the mean of a a^H over the gathers (shots of one
// geometry), over the bins f - m df .. f + m df that exist (smoothing m), and
// over the nx - M + 1 subarrays of M consecutive traces (spatial smoothing;
// M = nx uses the whole line), a the trace spectra of one bin, shot and
// subarray, each multiplied by its offset under offset weighting. The
// steering vectors are those of the beamformer: unit phasors
//
//   plane:        e_j = exp(-i 2 pi f x_j / c),
//   cylindrical:  e_j = exp(-i theta),  theta = arg H0(1)(2 pi f x_j / c),
//
// over the offsets of the first subarray. R_L is factorised once per
// frequency (Cholesky, R_L = G G^H) and e^H R_L^-1 e = |G^-1 e|^2 is
// evaluated for blocks of velocities at once; under plane steering over
// equally spaced offsets it is a polynomial in exp(i 2 pi f dx / c) whose
// coefficients, the lag sums of R_L^-1, are formed once per frequency.
#pragma once

#include <cstddef>

namespace molvak::capon {

enum class Steering { plane, cylindrical };

struct Problem {
    // Spectrum of trace i of gather s at FFT bin first_bin + k:
    // spectra + 2 * ((s * nx + i) * nbins + k), for k in [0, nbins).
    const double* spectra;
    std::size_t nshots;
    std::size_t nx;
    std::size_t nbins;
    std::size_t first_bin;
    // The band: bins band_first .. band_first + nf - 1 (absolute), every one
    // of them within the bins given, at the frequencies freqs[0..nf).
    std::size_t band_first;
    std::size_t nf;
    const double* freqs;
    const double* offsets;     // nx
    const double* velocities;  // nc
    std::size_t nc;
    bool weight_by_offset;
    Steering steering;
    double loading;            // > 0
    std::size_t smoothing;     // m
    std::size_t subarray;      // M, 1 <= M <= nx
    double* power;             // (nf, nc) float64, C order, written whole
};

// Fills p.power. Returns nf, or the index of the first frequency whose
// loaded matrix was not positive definite (its row, and those of any later
// such frequency, hold NaN). A frequency whose cross-spectral matrix has a
// zero trace (no signal) gets a row of zeros. Throws AllocFailure when its
// work buffers cannot be had.
std::size_t beam_power(const Problem& p);

}  // namespace molvak::capon
