// What the dispersion functions' lane code (dispersion_lanes.cpp, compiled
// once per instruction set) shares with the root search (dispersion.cpp): the
// normalised dispersion functions of W models at once, one phase velocity and
// angular frequency per lane. Each lane computes what the scalar function of
// dispersion.cpp computes, in the same order; the exponentials are the lane
// code's own (a polynomial after reduction by ln 2) and the sines the lane
// vocabulary's, so values agree with the scalar ones to rounding.
#pragma once

#include <cstddef>

#include "simd/lane_table.hpp"

namespace molvak::dispersion {

// W models' layers, lane-interleaved: the value of layer i, lane l at
// [i * W + l] (the half-space's thickness and ratio unused).
struct LaneLayers {
    const double* h;
    const double* vs2;
    const double* inv_vs2;
    const double* g;
    const double* ratio;
    std::size_t layers;
};

struct LaneKernels {
    std::size_t width;  // W
    // out[l] = the Rayleigh (Love) function of lane l's model at c[l], omega[l]
    void (*rayleigh)(const LaneLayers& layers, const double* c, const double* omega, double* out);
    void (*love)(const LaneLayers& layers, const double* c, const double* omega, double* out);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::dispersion
