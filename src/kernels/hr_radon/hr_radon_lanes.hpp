// What the high-resolution Radon lane code (hr_radon_lanes.cpp, compiled
// once per instruction set) offers the generic code (hr_radon.cpp). Sums
// over the slownesses keep eight partial sums, h mod 8, added in one fixed
// order, so every instruction set gives the same bits.
#pragma once

#include <cstddef>

#include "simd/lane_table.hpp"

namespace molvak::hr_radon {

struct LaneKernels {
    // Equally spaced offsets. The powers z_h^l, l < nx, into pr, pi
    // (nx, nc), by repeated multiplication.
    void (*powers)(const double* zr, const double* zi, std::size_t nc, std::size_t nx, double* pr, double* pi);
    // t[2l], t[2l+1] = sum_h q_h z_h^l for l < nx, from the powers.
    void (*lags)(const double* q, const double* pr, const double* pi, std::size_t nc, std::size_t nx,
                 double* t);
    // m_h = q_h conj(alpha_h) sum_i conj(z_h)^i y_i (Horner in conj(z_h));
    // sr, si (nc) are scratch.
    void (*horner)(const double* y, std::size_t nx, const double* q, const double* ar, const double* ai,
                   const double* zr, const double* zi, std::size_t nc, double* sr, double* si, double* m);
    // Any offsets, L (nx, nc) split into real and imaginary parts.
    // K_ik = sum_h q_h L_ih conj(L_kh) for k <= i (row-major complex nx x nx).
    void (*gram)(const double* q, const double* lr, const double* li, std::size_t nx, std::size_t nc,
                 double* K);
    // m_h = q_h sum_i conj(L_ih) y_i; sr, si (nc) are scratch.
    void (*backproject)(const double* y, const double* q, const double* lr, const double* li, std::size_t nx,
                        std::size_t nc, double* sr, double* si, double* m);
};

MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)

}  // namespace molvak::hr_radon
