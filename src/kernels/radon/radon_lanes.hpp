// What the tau-p lane code (radon_lanes.cpp, compiled once per instruction
// set) offers the generic code (radon.cpp).
#pragma once

#include <cstdint>

#include "radon/radon.hpp"
#include "radon/radon_uniform.hpp"
#include "simd/lane_table.hpp"

namespace molvak::radon {

struct LaneKernels {
    void (*column)(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
                   double dt, double t0, double* sum, double* prev);
    // Traces must have fewer samples than this (the width of the gather
    // indices).
    std::int64_t max_samples;
    // Uniform intercept times: the blocks of [0, npad) of one column over its
    // traces [first, last); sum holds the running trapezoid sums (ignored
    // when `start`: the first group begins at zero).
    void (*uniform_blocks)(const uniform::Column& col, double* sum, std::size_t npad, bool start);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::radon
