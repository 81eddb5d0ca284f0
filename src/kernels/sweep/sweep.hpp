// Sub-array sweeps: the dispersion images of many windows of neighbouring
// traces of one line, each equal to imaging that window on its own.
//
// Every estimator here is, for one window, a sum over the window's rows of
// terms that belong to one row alone, followed by a per-window step:
//
//   phase shift   rows are the trapezoid segments between neighbouring
//                 traces, segment j = (j, j + 1):
//                   Q[j] = (P[j+1] + P[j]) * (|x_{j+1} - x_j| * 0.5),
//                   P[i] = u_i / |u_i| * e^{i theta}, theta = ((2 pi x_i) / c) * f;
//                 the window's image is the sum of its segments.
//   beamforming   rows are traces: T[i] = a_i conj(E_i), a_i = x_i u_i under
//                 offset weighting (u_i otherwise), E_i the plane phasor of
//                 phi = ((f * -2pi) / c) * x_i or the cylindrical one of the
//                 phase of H0(1)(kappa), kappa = ((f * 2pi) / c) * x_i, each
//                 trace at its own distance from the source; the window's
//                 power is |sum T|^2.
//   slant stack   rows are segments again, per slowness p = 1 / c and
//                 intercept time tau_j = j dt:
//                   Q[j](tau) = ((x_{j+1} - x_j) * (a_j + a_{j+1})) * 0.5,
//                 a_i the trace's amplitude at tau + x_i p (linear
//                 interpolation); the window's tau-p column is the sum of its
//                 segments, Fourier transformed over tau (scaled by dt) and
//                 cut to the band. The transform is linear, so the rows are
//                 the segments' transforms at the band's bins, formed from
//                 each trace's transform A_i (slant_stack.cpp).
//
// The terms are formed once per row for the whole line (the slant stack's
// block by block, as the sums reach them) and summed over every window by
// block prefix and suffix sums (window_sums.hpp), so a window costs
// a constant amount per (frequency, velocity) whatever its length, and each
// window sum has the rounding of a direct sum of its own terms.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/buffer.hpp"
#include "simd/isa.hpp"

namespace molvak::sweep {

// The rows of every window: first[w] .. last[w], both included; windows in
// order of their first rows.
struct Windows {
    const std::int64_t* first;
    const std::int64_t* last;
    std::size_t count;
};

// The longest window, in rows (at least 1).
inline std::size_t longest(const Windows& windows) {
    std::int64_t block = 1;
    for (std::size_t w = 0; w < windows.count; ++w)
        block = std::max(block, windows.last[w] - windows.first[w] + 1);
    return static_cast<std::size_t>(block);
}

// Where window w's value at frequency g and velocity k goes: the complex
// number at data + 2 * (w * window_stride + g * freq_stride + k); strides in
// complex elements, velocities contiguous.
struct Output {
    double* data;
    std::ptrdiff_t window_stride;
    std::ptrdiff_t freq_stride;
};

// The band of a line's spectrum, u[i, g] the complex number at
// u + 2 * (i * u_row + g * u_col) (strides in complex elements), at the
// frequencies f[0 .. nf), for traces at offsets x[0 .. nx), trial phase
// velocities c[0 .. nc).
struct Spectrum {
    const double* u;
    std::ptrdiff_t u_row;
    std::ptrdiff_t u_col;
    const double* f;
    std::size_t nf;
    const double* x;
    std::size_t nx;
    const double* c;
    std::size_t nc;
};

// Velocities per block: terms of one block and one frequency form a row.
constexpr std::size_t kBlock = 64;

// Work memory, allocated before the heavy work (AllocFailure on failure):
// of order traces x kBlock, nothing of size traces x frequencies x velocities.
struct Work {
    Buffer<double> unit;    // phase shift: unit spectra, (nf, nx) complex
    Buffer<double> angle;   // per-trace angles or phasors of one block
    Buffer<double> weight;  // trace weights
    Buffer<double> terms;           // rows x width
    Buffer<double> prefix, suffix;  // 2 block and block rows x width (window_sums.hpp)
    std::size_t block = 1;  // the longest window, in rows
};

// Phase shift over the segments: window w sums segments first[w] .. last[w]
// (rows 0 .. nx-2).
Work phase_shift_work(const Spectrum& s, const Windows& windows);
// Both return whether every value they wrote is finite.
bool phase_shift(const Spectrum& s, const Windows& windows, const Output& out, Work& work,
                 simd::Isa isa = simd::Isa::best) noexcept;

// Beamforming over the traces: window w sums traces first[w] .. last[w]; the
// output is the power, with an imaginary part of exactly 0.
Work beam_work(const Spectrum& s, const Windows& windows);
bool beam(const Spectrum& s, const Windows& windows, bool weight_by_offset, bool cylindrical,
          const Output& out, Work& work, simd::Isa isa = simd::Isa::best);

// Slant stack of a C-ordered (nx, nt) gather over the segments: window w
// sums segments first[w] .. last[w] (rows 0 .. nx-2); the tau-p columns are
// transformed with DFTs of length n >= nt and bins first_bin .. first_bin +
// nbins - 1 are written, as the frequencies of the output.
struct Gather {
    const double* data;
    std::size_t nx;
    std::size_t nt;
    const double* x;
    double dt;
};
// Bins per pass over a trace's samples.
constexpr std::size_t kSlantBins = 8;
struct SlantWork {
    Buffer<double> twiddle;   // W^{bk}, k = 0 .. nt + 1, of a pass's bins
    Buffer<double> suffix_run, prefix_run;  // one trace's running sums, (nt + 1) rows
    Buffer<double> slowness, beta, shift;   // per velocity
    Buffer<std::int64_t> whole;             // per velocity: floor of the shift
    Buffer<double> amplitude;  // two traces' transforms, width each
    Buffer<double> rows;       // the segment rows of two blocks
    Buffer<double> prefix, suffix, scratch;  // window_sums.hpp
    std::size_t block = 1;  // the longest window, in rows
    std::size_t width = 1;  // doubles per row: kSlantBins x nc complex
};
SlantWork slant_stack_work(const Gather& g, std::size_t nc, const Windows& windows);
void slant_stack(const Gather& g, const double* c, std::size_t nc, std::size_t n,
                 std::size_t first_bin, std::size_t nbins, const Windows& windows,
                 const Output& out, SlantWork& work);

}  // namespace molvak::sweep
