// Tau-p columns at intercept times one sample interval apart, for the
// linear and parabolic moveouts: what the generic code (radon.cpp) and the
// lane code (radon_lanes.cpp) share.
//
// With tau_j = tau_0 + j dt the sample position of element j of trace i is
// h_ij = h_i0 + j: one fractional part per trace and moveout parameter, so
// every trace is read with contiguous loads instead of one gather per
// element. Blocks of intercept times keep the trapezoid sums in registers
// while the traces are summed, in groups of traces that stay in the level-2
// cache across the columns of a call.
//
// The values are those of the general path up to rounding. The sample
// positions differ, h_i0 + j instead of ((c + tau_j) - t0) / dt, by a few
// units in the last place. And where every sample and weight is finite, the
// trapezoid sum sum_i (dx_i (a_{i-1} + a_i)) / 2 is regrouped by trace,
// sum_i w_i a_i with w_i = (dx_i + dx_{i+1}) / 2, and each interpolated
// amplitude a = s_m + f (s_{m+1} - s_m) is folded into the weights: two
// fused multiply-adds per sample, w (1 - f) s_m + w f s_{m+1}, instead of
// seven operations. Elsewhere (a NaN or infinity, whose propagation the
// regrouping would change) the step is the general path's, operation for
// operation. Every instruction set gives the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace molvak::radon::uniform {

// Amplitude of a trace s[0..nt) at sample position h: the straight line
// through samples m = trunc(h) and m + 1, with s(-1) = s(nt) = 0. Positions
// with trunc(h) outside [-1, nt) (and NaN) give 0. fmod(h, 1) is computed as
// h - m with the sign of h, which is exact for every finite h.
inline double interp(const double* s, std::int64_t nt, double h) {
    if (!(h > -2.0 && h < static_cast<double>(nt))) return 0.0;
    const std::int64_t m = static_cast<std::int64_t>(h);
    const double f = std::copysign(h - static_cast<double>(m), h);
    const double sm = m >= 0 ? s[m] : 0.0;
    const double sm1 = m + 1 < nt ? s[m + 1] : 0.0;
    return (sm1 - sm) * f + sm;
}

// Intercept times per block on every instruction set's path divide this.
inline constexpr std::size_t kPad = 32;

// One trace at one moveout parameter.
struct Trace {
    const double* s;   // its samples
    double c;          // moveout term: x p (linear) or x^2 p (parabolic)
    double frac;       // fractional part of the sample position of element 0
    double dx;         // offset step from the previous trace
    std::int64_t m0;   // the sample left of element 0: floor(h_0)
    double w = 0.0;    // trapezoid weight (dx_i + dx_{i+1}) / 2
    double w0 = 0.0;   // w (1 - frac): the weight of the left sample
    double w1 = 0.0;   // w frac: the weight of the right sample
};

// The traces [first, last) of one column.
struct Column {
    const Trace* traces;
    std::size_t first, last;
    std::int64_t nt;
    const double* tau;   // kPad-padded intercept times
    double t0, dt;
    bool weighted = false;  // sum w_i a_i (the traces' weights are set)
};

// Element j of trace t exactly as the general path reads it.
inline double exact(const Column& col, const Trace& t, std::size_t j) {
    return interp(t.s, col.nt, ((t.c + col.tau[j]) - col.t0) / col.dt);
}

}  // namespace molvak::radon::uniform
