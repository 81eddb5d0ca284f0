// What the beamforming lane code (fdbf_lanes.cpp, compiled once per
// instruction set) shares with the generic code (fdbf.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fdbf/fdbf.hpp"
#include "simd/lane_table.hpp"

namespace molvak::fdbf {

// Work buffers of one call, owned by beam_power, and what it knows of the
// offsets.
struct Work {
    const double* x;           // offsets, broadcast, padded to a multiple of 8 with the last
    const double* xinv;        // 1 / x
    double* rot_r;             // 16 nx: a_i turned by the sixteenth roots of unity, see accumulate
    double* rot_i;
    std::int64_t* plan;        // per trace, how the Hankel phase is found (padded like x)
    const double* velocities;  // nc velocities, padded to a multiple of 8 with the last one
    double* c_lo;              // per block of velocities, see velocity_extremes
    double* c_hi;
    const double* table;       // Hankel phase tables (cylindrical steering)
    const double* fine_table;
    double x_min, x_max;       // smallest and largest offset
    double x_abs_max;          // largest |offset|
    bool x_finite;             // every offset finite
    bool x_positive;           // every offset finite and positive
};

// The element-wise helpers (fdbf.hpp).
enum class Helper { unit_phasor, hankel_phasor, hankel_phase, hankel_phase_fine };

struct LaneKernels {
    void (*beam_power)(const Problem& p, const Work& w);
    void (*helper)(Helper what, const double* in, double* out, std::size_t n, const double* table);
    // The steered terms of every trace at frequency g (see BeamTerms).
    void (*beam_terms)(const Problem& p, const Work& w, std::size_t g, double* re, double* im,
                       std::size_t stride);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

// The library's steering elements, for the arguments the fast code leaves
// alone (zero, negative, huge or non-finite ones): the literal formulas.
// conj(E) for plane waves, E = (cos phi, sin phi), and for cylindrical ones,
// E = (cos th, -sin th).
void plane_conj_library(double phi, double* re, double* im);
void hankel_conj_library(double kappa, double* re, double* im);

// The angle q pi/8 + r in [-pi, pi], for |r| <= pi/16 + 1e-6; q from the low
// bits of qbits.
double angle_from_reduced(double r, std::int64_t qbits);

}  // namespace molvak::fdbf
