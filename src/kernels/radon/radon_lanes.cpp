// The tau-p columns, written once over the lane vocabulary (one lane per
// intercept time) and compiled once per instruction set. Every set computes
// the same bits: the interpolation and the trapezoid sum are the same
// operations, in the same order, in every lane.
#include "simd/lanes.hpp"

#include <algorithm>
#include <cmath>

#include "radon/radon_lanes.hpp"

namespace molvak::radon::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

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

// Arrival time for the intercept time tau: c + tau for the linear and the
// parabolic laws (c = x*p or (x*x)*p), sqrt(c + tau*tau) for the hyperbolic
// one (c = (x*p)*(x*p)).
template <bool Hyperbolic>
inline double arrival(double c, double tau) {
    if constexpr (Hyperbolic) {
        return std::sqrt(c + tau * tau);
    } else {
        return c + tau;
    }
}

struct TracePass {
    const double* s;
    std::int64_t nt;
    const double* tau;
    std::size_t ntau;
    double c, t0, dt, dx;
    double* prev;
    double* sum;
};

// One trace: prev[j] = amplitude (first trace), or
// sum[j] = ((dx * (prev[j] + a)) * 0.5) + sum[j]; prev[j] = a (later traces),
// exactly in this order of operations. The intercept times j0 .. ntau-1 one
// at a time.
template <bool Hyperbolic, bool First>
inline void pass_tail(const TracePass& t, std::size_t j0) {
    for (std::size_t j = j0; j < t.ntau; ++j) {
        const double h = (arrival<Hyperbolic>(t.c, t.tau[j]) - t.t0) / t.dt;
        const double a = interp(t.s, t.nt, h);
        if constexpr (!First) t.sum[j] = (t.dx * (t.prev[j] + a)) * 0.5 + t.sum[j];
        t.prev[j] = a;
    }
}

// The same, W intercept times at a time: lanes outside the trace read
// nothing and give +0, as interp does.
template <bool Hyperbolic, bool First>
void pass(const TracePass& t) {
    std::size_t j = 0;
    if constexpr (W > 1) {
        const vd c = set1(t.c), t0 = set1(t.t0), dt = set1(t.dt);
        const vd dx = set1(t.dx), half = set1(0.5);
        const vd lo = set1(-2.0), hi = set1(static_cast<double>(t.nt));
        const vx one = xset1(1), minus_one = xset1(-1), nt = xset1(t.nt);
        for (; j + W <= t.ntau; j += W) {
            const vd tau = loadu(t.tau + j);
            vd time;
            if constexpr (Hyperbolic) {
                time = sqrt(add(c, mul(tau, tau)));
            } else {
                time = add(c, tau);
            }
            const vd h = divide(sub(time, t0), dt);
            const vm ok = both(gt(h, lo), lt(h, hi));
            const vd hc = zero_unless(ok, h);
            const vx m = to_index(hc);  // |hc| < nt < kIndexMax
            const vx m1 = xadd(m, one);
            const vd frac = copysign(sub(hc, index_value(m)), hc);
            const vd sm = gather_or_zero(t.s, m, both(ok, xgt(m, minus_one)));
            const vd sm1 = gather_or_zero(t.s, m1, both(ok, xlt(m1, nt)));
            const vd a = add(mul(sub(sm1, sm), frac), sm);
            if constexpr (!First) {
                const vd p = loadu(t.prev + j);
                const vd s = loadu(t.sum + j);
                storeu(t.sum + j, add(mul(mul(dx, add(p, a)), half), s));
            }
            storeu(t.prev + j, a);
        }
    }
    pass_tail<Hyperbolic, First>(t, j);
}

template <bool Hyperbolic>
void column_impl(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
                 double dt, double t0, double* sum, double* prev) {
    std::fill(sum, sum + ntau, 0.0);
    // Fewer than two traces leave nothing to integrate.
    if (g.nx < 2) return;
    if (g.nt == 0) {
        // Every position reads the zeros around an empty trace; the steps
        // still enter the sum (an infinite step makes it NaN).
        for (std::size_t i = 1; i < g.nx; ++i) {
            const double dx = g.offsets[i] - g.offsets[i - 1];
            for (std::size_t j = 0; j < ntau; ++j) sum[j] = (dx * (0.0 + 0.0)) * 0.5 + sum[j];
        }
        return;
    }
    TracePass t{nullptr, static_cast<std::int64_t>(g.nt), tau, ntau, 0.0, t0, dt, 0.0, prev, sum};
    for (std::size_t i = 0; i < g.nx; ++i) {
        const double x = g.offsets[i];
        t.s = g.data + i * g.nt;
        t.c = moveout == linear ? x * p : moveout == parabolic ? (x * x) * p : (x * p) * (x * p);
        if (i == 0) {
            pass<Hyperbolic, true>(t);
        } else {
            t.dx = x - g.offsets[i - 1];
            pass<Hyperbolic, false>(t);
        }
    }
}

void column(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
            double dt, double t0, double* sum, double* prev) {
    if (moveout == hyperbolic) {
        column_impl<true>(g, moveout, p, tau, ntau, dt, t0, sum, prev);
    } else {
        column_impl<false>(g, moveout, p, tau, ntau, dt, t0, sum, prev);
    }
}

// --- Uniform intercept times (radon_uniform.hpp) ---------------------------

// Vectors per block: blocks of N * W intercept times.
constexpr std::size_t N = 4;
constexpr std::size_t B = N * W;
static_assert(uniform::kPad % B == 0, "blocks must tile the padded intercept times");

enum Kind { none, inside, edge };  // no sample, all inside the trace, near an end

// Where the block of element positions L .. L + B - 1 (left samples) lies:
// below -3 or at nt and beyond everything is 0; positions in [-3, 0) are
// not the straight line of two neighbouring samples (the interpolation
// extrapolates there, and jumps at -2 and -1) and are evaluated exactly.
inline Kind classify(std::int64_t L, std::int64_t nt) {
    const std::int64_t hi = L + static_cast<std::int64_t>(B) - 1;
    if (hi <= -4 || L >= nt) return none;
    if (L >= 0 && hi + 1 <= nt - 1) return inside;
    return edge;
}

// Samples L .. L + B of trace t: where they lie, or (a block across an end
// of the trace) copied into `window` with zeros outside the trace.
inline const double* block_samples(const uniform::Column& col, const uniform::Trace& t, std::int64_t L,
                                   Kind kind, double* window) {
    if (kind != edge) return t.s + L;
    for (std::size_t l = 0; l <= B; ++l) {
        const std::int64_t k = L + static_cast<std::int64_t>(l);
        window[l] = k >= 0 && k < col.nt ? t.s[k] : 0.0;
    }
    return window;
}

// The amplitudes a[0..N) of trace t over the block starting at j0; true
// when the block reads no sample (every amplitude +0).
inline bool amplitudes(const uniform::Column& col, const uniform::Trace& t, std::size_t j0, vd* a) {
    const std::int64_t L = t.m0 + static_cast<std::int64_t>(j0);
    const Kind kind = classify(L, col.nt);
    if (kind == none) {
        for (std::size_t v = 0; v < N; ++v) a[v] = set1(0.0);
        return true;
    }
    double window[B + 1];
    const double* p = block_samples(col, t, L, kind, window);
    const vd f = set1(t.frac);
    for (std::size_t v = 0; v < N; ++v) {
        const vd s0 = loadu(p + v * W), s1 = loadu(p + v * W + 1);
        a[v] = add(mul(sub(s1, s0), f), s0);
    }
    if (kind == edge && L < 0) {
        double fixed[B];
        for (std::size_t v = 0; v < N; ++v) storeu(fixed + v * W, a[v]);
        for (std::size_t l = 0; l < B; ++l) {
            const std::int64_t k = L + static_cast<std::int64_t>(l);
            if (k <= -4) fixed[l] = 0.0;
            else if (k < 0) fixed[l] = uniform::exact(col, t, j0 + l);
        }
        for (std::size_t v = 0; v < N; ++v) a[v] = loadu(fixed + v * W);
    }
    return false;
}

// The block of intercept times j0 .. j0 + B - 1 of one column: sum += w_i a_i
// over its traces, the interpolation folded into the weights (except left of
// a trace's first sample).
void weighted_block(const uniform::Column& col, double* sum_io, std::size_t j0, bool start) {
    vd sum[N];
    for (std::size_t v = 0; v < N; ++v) sum[v] = start ? set1(0.0) : loadu(sum_io + j0 + v * W);
    for (std::size_t i = col.first; i < col.last; ++i) {
        const uniform::Trace& t = col.traces[i];
        const std::int64_t L = t.m0 + static_cast<std::int64_t>(j0);
        const Kind kind = classify(L, col.nt);
        // a block that reads no sample adds w * +0, which leaves every sum
        // as it is (a sum begins at +0 and so is never -0)
        if (kind == none) continue;
        // Every element takes the same operations whichever block it falls
        // in (blocks differ between instruction sets): w0 s_m + w1 s_m+1,
        // with zeros beyond the trace's ends...
        double window[B + 1];
        const double* p = block_samples(col, t, L, kind, window);
        const vd w0 = set1(t.w0), w1 = set1(t.w1);
        if (kind == edge && L < 0) {
            // ...except left of the first sample, where the interpolation
            // extrapolates and jumps: w a, a evaluated exactly.
            double before[B], after[B];
            for (std::size_t v = 0; v < N; ++v) {
                storeu(before + v * W, sum[v]);
                storeu(after + v * W, fmadd(w1, loadu(p + v * W + 1), fmadd(w0, loadu(p + v * W), sum[v])));
            }
            for (std::size_t l = 0; l < B; ++l) {
                const std::int64_t k = L + static_cast<std::int64_t>(l);
                if (k <= -4) after[l] = before[l];
                else if (k < 0) after[l] = std::fma(t.w, uniform::exact(col, t, j0 + l), before[l]);
            }
            for (std::size_t v = 0; v < N; ++v) sum[v] = loadu(after + v * W);
            continue;
        }
        for (std::size_t v = 0; v < N; ++v)
            sum[v] = fmadd(w1, loadu(p + v * W + 1), fmadd(w0, loadu(p + v * W), sum[v]));
    }
    for (std::size_t v = 0; v < N; ++v) storeu(sum_io + j0 + v * W, sum[v]);
}

void trapezoid_block(const uniform::Column& col, double* sum_io, std::size_t j0, bool start) {
    const vd half = set1(0.5);
    vd sum[N], prev[N], a[N];
    for (std::size_t v = 0; v < N; ++v) sum[v] = start ? set1(0.0) : loadu(sum_io + j0 + v * W);
    // the trace before the group (the carry of the trapezoid), or trace 0
    std::size_t i = col.first;
    bool prev_zero = amplitudes(col, col.traces[i == 0 ? 0 : i - 1], j0, prev);
    if (i == 0) ++i;
    for (; i < col.last; ++i) {
        const uniform::Trace& t = col.traces[i];
        const bool zero = amplitudes(col, t, j0, a);
        // A step between two traces that both miss the block adds
        // (dx (0 + 0)) 0.5 = +-0, which leaves every sum as it is (a sum
        // begins at +0 and so is never -0) unless dx is not finite.
        if (zero && prev_zero && std::isfinite(t.dx)) continue;
        prev_zero = zero;
        const vd dx = set1(t.dx);
        for (std::size_t v = 0; v < N; ++v) {
            sum[v] = add(mul(mul(dx, add(prev[v], a[v])), half), sum[v]);
            prev[v] = a[v];
        }
    }
    for (std::size_t v = 0; v < N; ++v) storeu(sum_io + j0 + v * W, sum[v]);
}

}  // namespace

void uniform_blocks(const uniform::Column& col, double* sum_io, std::size_t npad, bool start) {
    for (std::size_t j0 = 0; j0 < npad; j0 += B) {
        if (col.weighted)
            weighted_block(col, sum_io, j0, start);
        else
            trapezoid_block(col, sum_io, j0, start);
    }
}

const LaneKernels lane_kernels = {&column, kIndexMax, &uniform_blocks};

}  // namespace molvak::radon::MOLVAK_LANES_NS
