// What the Capon lane code (capon_lanes.cpp, compiled once per instruction
// set) offers the generic code (capon.cpp). Each velocity is computed on its
// own, with the same operations in every lane, so every instruction set
// gives the same bits.
#pragma once

#include <cstddef>

#include "simd/lane_table.hpp"

namespace molvak::capon {

struct LaneKernels {
    // q[h] = |Ginv e_h|^2 for velocities h < n: Ginv (M x M, lower
    // triangular, complex row-major), the steering vectors as er[j * stride
    // + h], ei[j * stride + h].
    void (*quadratic)(const double* inv, std::size_t M, const double* er, const double* ei, std::size_t stride,
                      std::size_t n, double* zr, double* zi, double* q);
    // q[h] = s_0 + 2 Re sum_(l >= 1) s_l z_h^l (Horner), s (M complex), z_h
    // = (zr[h], zi[h]).
    void (*lag_form)(const double* s, std::size_t M, const double* zr, const double* zi, std::size_t n, double* q);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::capon
