// What the sweep's lane code (sweep_lanes.cpp, compiled once per instruction
// set) offers the generic code (sweep.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/lane_table.hpp"
#include "sweep/sweep.hpp"

namespace molvak::sweep {

// The phasor state of one velocity block of the phase shift, nx x kBlock
// values each: phi = (2 pi x_i) / c, delta = phi * df, (dr, di) = e^{i delta},
// (er, ei) the phasor at the next frequency.
struct PhaseState {
    const double* phi;
    double *delta, *dr, *di, *er, *ei;
};

struct LaneKernels {
    // Whether a multiply-add rounds once (the phasor recurrence needs it).
    bool fused;
    void (*phase_shift_steps)(const PhaseState& st, double df, std::size_t nx);
    // Phase-shift segment rows at one frequency f for one block of kBlock
    // velocities: unit the nx unit spectra (complex) at f, w[i] =
    // |x_i - x_{i-1}| * 0.5. Phasors direct at an anchor (or everywhere
    // unless rec), else from the state, `steps` frequencies after the anchor
    // fa. Writes nx - 1 rows of 2 kBlock doubles (real parts, then imaginary
    // parts).
    void (*phase_shift_segments)(const PhaseState& st, const double* unit, const double* w,
                                 double f, double fa, double steps, bool anchor, bool rec,
                                 std::size_t nx, double* rows);
    // Every window's sum of rows (2 half doubles: real parts, then imaginary
    // parts; windows in order of their first rows) written as `nb` complex
    // numbers at out + 2 * w * window_stride: the sum itself, or its power
    // |sum|^2 with an imaginary part of 0. Work: prefix 2 block rows, suffix
    // block rows, scratch one row. Returns whether every value written is
    // finite.
    bool (*emit)(const double* t, std::size_t rows, std::size_t half, std::size_t block,
                 const Windows& windows, std::size_t nb, bool power, double* out,
                 std::ptrdiff_t window_stride, double* prefix, double* suffix, double* scratch);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::sweep
