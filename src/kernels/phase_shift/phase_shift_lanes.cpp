// The phase-shift accumulation, written once over the lane vocabulary (one
// lane per trial velocity) and compiled once per instruction set. The
// recurrence of the phasor (phase_shift.cpp explains it) needs a
// single-rounding multiply-add; lanes without a hardware one evaluate every
// phasor directly.
#include "simd/lanes.hpp"

#include <type_traits>

#include "phase_shift/phase_shift_lanes.hpp"

namespace molvak::phase_shift::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

// Frequencies accumulated together in registers.
constexpr int kTile = W >= 8 ? 4 : 2;
static_assert(kAnchor % kTile == 0, "a tile must never straddle an anchor");
static_assert(W <= kMaxLanes, "the state buffer holds kMaxLanes lanes per trace");

// Fills the per-trace state of the velocities k0 .. k0+lanes-1 (lanes beyond
// them get phi = 0): phi = (2 pi x) / c, the recurrence step delta = phi * df
// and its phasor e^{i delta}. Returns whether the recurrence may stand in for
// the direct phasor in this block (see kMaxRecurrencePhase).
inline bool prepare_block(const Ctx& c, std::size_t k0, std::size_t lanes) {
    double phi_max = 0.0;
    for (std::size_t i = 0; i < c.nx; ++i) {
        double* phi = c.phi + i * W;
        const double twopi_x = 6.283185307179586 * c.x[i];
        for (std::size_t l = 0; l < W; ++l) {
            const double p = l < lanes ? twopi_x / c.c[k0 + l] : 0.0;
            phi[l] = p;
            // Non-finite phi (c = 0) makes its column NaN on either path,
            // so it does not force the direct evaluation on its neighbours.
            const double a = p < 0.0 ? -p : p;
            if (a > phi_max && a <= 1.7976931348623157e308) phi_max = a;
        }
    }
    const double f_top = c.f[c.nf - 1] > -c.f[0] ? c.f[c.nf - 1] : -c.f[0];
    const bool rec = kFusedMultiplyAdd && c.nf > 1 && phi_max * f_top <= kMaxRecurrencePhase;
    const vd df = set1(rec ? c.df : 0.0);
    for (std::size_t i = 0; i < c.nx; ++i) {
        const std::size_t o = i * W;
        const vd delta = mul(loadu(c.phi + o), df);
        storeu(c.delta + o, delta);
        vd s = set1(0.0), co = set1(1.0);
        if (rec) sincos(delta, &s, &co);
        storeu(c.dr + o, co);
        storeu(c.di + o, s);
    }
    return rec;
}

// vd rows g0 .. g0+G-1 of the velocity block at k0, over every trace.
//
// Rec: the phasor of frequency g comes from the last anchor ga (a direct
// sine and cosine of theta_a = phi * f[ga]) advanced m = g - ga times by
// e^{i delta}, which carries the phase theta_a + m * delta. The estimator's
// phase is theta = phi * f[g] as rounded in double precision; the two differ
// by r = (theta - theta_a) - m * delta, a few ulps of theta. From the second
// anchor on (ga >= kAnchor > m) theta <= 2 theta_a, so theta - theta_a is
// exact (Sterbenz); before it, theta spans fewer than 2 kAnchor grid steps
// and the difference is rounded once, by half an ulp of that small theta.
// The fused multiply-add rounds r once, and multiplying by 1 + i r (error
// r^2 / 2 < 1e-17 under kMaxRecurrencePhase) yields e^{i theta} of that
// rounded theta to within the recurrence's own drift of a few ulps per
// step, over at most kAnchor - 1 steps.
//
// !Rec (G = 1): the phasor is the sine and cosine of theta itself.
template <int G, bool Rec>
inline void tile(const Ctx& c, std::size_t g0, std::size_t ga, std::size_t k0,
                 std::size_t lanes) {
    static_assert(Rec || G == 1, "the direct evaluation goes one frequency at a time");
    // Everything the trace loop reads, in locals: vector stores may alias
    // any object, so fields read through `c` would be reloaded every step.
    const std::size_t nx = c.nx;
    const double* const phi_p = c.phi;
    const double* const delta_p = c.delta;
    const double* const dr_p = c.dr;
    const double* const di_p = c.di;
    double* const er_p = c.er;
    double* const ei_p = c.ei;
    const double* const w_p = c.w;
    const double* const unit = c.unit + 2 * g0 * c.nu;
    const std::size_t unit_trace = 2 * c.nu_step, unit_freq = 2 * c.nu;
    const bool anchor = !Rec || g0 == ga;
    const double f_a = c.f[ga];
    alignas(64) double f_g[G], steps[G];
    for (int m = 0; m < G; ++m) {
        f_g[m] = c.f[g0 + m];
        steps[m] = static_cast<double>(g0 + m - ga);
    }

    vd acc_re[G], acc_im[G], prev_re[G], prev_im[G];
    for (int m = 0; m < G; ++m) acc_re[m] = acc_im[m] = set1(0.0);

    // One trace: its G values of P, the trapezoid terms of the pair
    // (i-1, i) unless it is the first trace, and the phasor advanced by G
    // frequencies.
    auto trace = [&](std::size_t i, auto first) {
        const std::size_t o = i * W;
        const vd phi = loadu(phi_p + o);
        const vd theta_a = mul(phi, set1(f_a));
        vd er, ei;
        if (anchor) {
            sincos(theta_a, &ei, &er);
        } else {
            er = loadu(er_p + o);
            ei = loadu(ei_p + o);
        }
        const double* u = unit + i * unit_trace;
        for (int m = 0; m < G; ++m) {
            vd cr = er, ci = ei;
            if constexpr (Rec) {
                const vd t = sub(mul(phi, set1(f_g[m])), theta_a);
                const vd r = fnmadd(set1(steps[m]), loadu(delta_p + o), t);
                cr = fnmadd(r, ei, er);
                ci = fmadd(r, er, ei);
            }
            // P = u * e^{i theta}: four separate products, then the
            // difference and the sum.
            const vd ur = set1(u[m * unit_freq]), ui = set1(u[m * unit_freq + 1]);
            const vd pr = sub(mul(ur, cr), mul(ui, ci));
            const vd pi = add(mul(ui, cr), mul(ur, ci));
            // The trapezoid term of the pair (i-1, i): (P_i + P_{i-1}) * w_i,
            // added onto the running sum.
            if constexpr (!decltype(first)::value) {
                const vd w = set1(w_p[i]);
                acc_re[m] = add(acc_re[m], mul(add(pr, prev_re[m]), w));
                acc_im[m] = add(acc_im[m], mul(add(pi, prev_im[m]), w));
            }
            prev_re[m] = pr;
            prev_im[m] = pi;
            if constexpr (Rec) {
                const vd dr = loadu(dr_p + o), di = loadu(di_p + o);
                const vd nr = fnmadd(ei, di, mul(er, dr));
                ei = fmadd(er, di, mul(ei, dr));
                er = nr;
            }
        }
        if constexpr (Rec) {
            storeu(er_p + o, er);
            storeu(ei_p + o, ei);
        }
    };
    trace(0, std::true_type{});
    for (std::size_t i = 1; i < nx; ++i) trace(i, std::false_type{});

    alignas(64) double re[W], im[W];
    for (int m = 0; m < G; ++m) {
        storeu(re, acc_re[m]);
        storeu(im, acc_im[m]);
        double* row = c.v + 2 * ((g0 + m) * c.nc + k0);
        for (std::size_t l = 0; l < lanes; ++l) {
            row[2 * l] = re[l];
            row[2 * l + 1] = im[l];
        }
    }
}

void run(const Ctx& c) {
    for (std::size_t k0 = 0; k0 < c.nc; k0 += W) {
        const std::size_t lanes = c.nc - k0 < W ? c.nc - k0 : W;
        std::size_t g0 = 0;
        if (prepare_block(c, k0, lanes)) {
            for (; g0 + kTile <= c.nf; g0 += kTile) tile<kTile, true>(c, g0, g0 - g0 % kAnchor, k0, lanes);
            for (; g0 < c.nf; ++g0) tile<1, true>(c, g0, g0 - g0 % kAnchor, k0, lanes);
        } else {
            for (; g0 < c.nf; ++g0) tile<1, false>(c, g0, g0, k0, lanes);
        }
    }
}

}  // namespace

const LaneKernels lane_kernels = {&run, W};

}  // namespace molvak::phase_shift::MOLVAK_LANES_NS
