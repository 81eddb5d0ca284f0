// What the correlation's lane code (correlate_lanes.cpp, compiled once per
// instruction set) shares with the generic code (correlate.cpp). Spectra are
// held planar (real parts, then imaginary parts); `pairs` arrays hold complex
// numbers as (real, imaginary) pairs, as FFTW reads and writes them. Each
// formula is evaluated as written, one rounding per operation, on every set:
// all sets give the same bits.
#pragma once

#include <cstddef>

#include "simd/lane_table.hpp"

namespace molvak::correlate {

// The sum of a line is taken in this many running sums (sample t in sum
// t mod kSums), added up pairwise at the end: the same order on every set.
constexpr std::size_t kSums = 32;

// Receivers that cross_add_windows takes at once
constexpr std::size_t kReceivers = 4;

struct LaneKernels {
    // sum of x[0 .. n-1], in kSums running sums
    double (*sum)(const double* x, std::size_t n);
    // out[t] = (x[t] - mean) * taper[t], or x[t] - mean without a taper
    void (*center)(const double* x, double mean, const double* taper, double* out, std::size_t n);
    // re[k], im[k] = pairs[k]
    void (*split)(const double* pairs, double* re, double* im, std::size_t n);
    // re[k], im[k] = pairs[k]; amp[k] = sqrt(re^2 + im^2)
    void (*split_modulus)(const double* pairs, double* re, double* im, double* amp, std::size_t n);
    // pairs[k] whitened into (re, im): times s = a > 0 ? weight[k] / a : 0, a = |pairs[k]|
    void (*split_whiten)(const double* pairs, const double* weight, double* re, double* im, std::size_t n);
    // (re, im)[k] times s = amp[k] > 0 ? weight[k] / amp[k] : 0
    void (*whiten)(double* re, double* im, const double* amp, const double* weight, std::size_t n);
    // (ar, ai)[k] += conj(sr + i si) (xr + i xi)
    void (*cross_add)(const double* sr, const double* si, const double* xr, const double* xi, double* ar,
                      double* ai, std::size_t n);
    // For q < count (1..kReceivers) and k < n: (ar[q], ar[q] + aimag)[k] +=
    // conj(S_w) X_qw for the windows w = 0.. windows - 1 in turn, S_w the pair
    // (s, s + imag)[w step + k] and X_qw the pair (x[q], x[q] + imag)[w step + k]:
    // the bits of cross_add called window by window, the sums held in registers
    void (*cross_add_windows)(const double* s, const double* const* x, std::size_t count, std::size_t windows,
                              std::size_t step, std::size_t imag, double* const* ar, std::size_t aimag,
                              std::size_t n);
    // split_whiten then cross_add, with the whitened (xr, xi)[k] never stored:
    // the same bits, one pass over the bins
    void (*whiten_cross_add)(const double* pairs, const double* weight, const double* sr, const double* si,
                             double* ar, double* ai, std::size_t n);
    // out[k] = E + i O (pairs) with E = (cr + i ci)[k] + (dr + i di)[k] and
    // O = ((cr + i ci)[k] - (dr + i di)[k]) w[k] (w pairs): the folded
    // spectrum of a half-length inverse, d holding conj C_{M-k}
    void (*fold)(const double* cr, const double* ci, const double* dr, const double* di, const double* w,
                 double* out, std::size_t n);
    // C = conj(sr + i si) (xr + i xi); a[k] = 2 C, b[k] = 2 C w[k] (pairs)
    void (*analytic)(const double* sr, const double* si, const double* xr, const double* xi, const double* w,
                     double* a, double* b, std::size_t n);
    // analytic, with (xr + i xi)[k] the pairs[k] whitened as by split_whiten
    // (the same bits, the whitened spectrum never stored)
    void (*whiten_analytic)(const double* pairs, const double* weight, const double* sr, const double* si,
                            const double* w, double* a, double* b, std::size_t n);
    // For q < n: (zr, zi)[2q] = even[m0 + q], (zr, zi)[2q + 1] = odd[m0 + q], even
    // and odd holding pairs: the samples 2m and 2m + 1 back in order.
    void (*merge)(const double* even, const double* odd, std::size_t m0, double* zr, double* zi, std::size_t n);
    // z = (zr[k] + i zi[k]) * scale; lin[k] += Re z; (pr, pi)[k] += z / |z|
    // (as z times 1 / |z|; nothing where z = 0)
    void (*phasor_add)(const double* zr, const double* zi, double scale, double* lin, double* pr, double* pi,
                       std::size_t n);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::correlate
