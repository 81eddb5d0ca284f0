// What the phase-shift lane code (phase_shift_lanes.cpp, compiled once per
// instruction set) shares with the generic code (phase_shift.cpp).
#pragma once

#include <cstddef>

#include "simd/lane_table.hpp"

namespace molvak::phase_shift {

// The recurrence and its correction hold while |theta| <= 2**22: the
// correction r is then below 2**-29 and its second-order term below 1e-17.
constexpr double kMaxRecurrencePhase = 4194304.0;
// Frequencies between two direct anchors of the recurrence. Each step adds a
// few ulps of phase drift: at most 63 steps keep it below about 3e-14.
constexpr std::size_t kAnchor = 64;

// The widest lane count of any instruction set; the state buffer is sized
// for it.
constexpr std::size_t kMaxLanes = 8;
constexpr std::size_t kStateArrays = 6;

struct Ctx {
    const double* unit;     // (nf, nu) unit spectra, complex pairs
    std::size_t nu;
    std::size_t nu_step;    // 1, or 0 when one trace stands at every offset
    const double* f;
    std::size_t nf;
    double df;
    const double* x;        // nx offsets
    const double* w;        // nx weights, w[0] unused
    std::size_t nx;
    const double* c;
    std::size_t nc;
    double *phi, *delta, *er, *ei, *dr, *di;  // nx * lanes each
    double* v;
};

struct LaneKernels {
    void (*run)(const Ctx& c);
    std::size_t lanes;  // velocities per block
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::phase_shift
