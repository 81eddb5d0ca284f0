// High-resolution linear Radon transform in the frequency domain over raw
// buffers. Plain C++.
//
// For every frequency f the trace spectra d (nx) are modelled as d = L m
// over the slownesses p_h = 1 / c_h, L_ih = exp(-i 2 pi f x_i p_h), and m is
// found by iteratively reweighted damped least squares in the data-space
// form (nx x nx systems, cheaper than nc x nc when nx < nc):
//
//     m = Q L^H (L Q L^H + mu I)^-1 d,     mu = damping * tr(L Q L^H) / nx,
//
// Q = I for the first solve (the damped minimum-norm model), then
// Q = diag(|m_h|^2 + eps) (Cauchy-like weights, Sacchi and Ulrych 1995;
// Trad, Ulrych and Sacchi 2003) or diag(|m_h| + eps) (an L1-like
// reweighting) from the previous model, eps = sparseness * max_h of the
// first term. Each reweighting concentrates the model further on the
// slownesses that explain the data.
//
// Equally spaced offsets (to rounding) make L Q L^H Toeplitz: its entries
// are the lags sum_h q_h z_h^l, z_h = exp(-i 2 pi f p_h dx), l < nx, and
// L^H y is a polynomial in conj(z_h), so each solve costs O(nx nc + nx^3)
// instead of O(nx^2 nc).
#pragma once

#include <cstddef>

namespace molvak::hr_radon {

enum class Norm { cauchy, l1 };

struct Problem {
    const double* spectrum;    // U[i, g] at spectrum + 2 * (i * nf + g)
    std::size_t nx;
    std::size_t nf;
    const double* freqs;       // nf
    const double* offsets;     // nx
    const double* velocities;  // nc, none zero
    std::size_t nc;
    std::size_t iterations;    // reweighted solves after the first
    double damping;            // > 0
    double sparseness;         // > 0
    Norm norm;
    double* model;             // (nf, nc) complex128, C order, written whole
};

// Fills p.model. Returns nf, or the index of the first frequency whose
// system was not positive definite (its row holds NaN). Throws AllocFailure
// when its work buffers cannot be had.
std::size_t model(const Problem& p);

}  // namespace molvak::hr_radon
