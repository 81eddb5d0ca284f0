// Dispersion curves of layered models: the normalised dispersion functions,
// the root search and the threads over models (dispersion.hpp).
#include "dispersion/dispersion.hpp"

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include "common/buffer.hpp"
#include "dispersion/dispersion_lanes.hpp"
#include "simd/lane_table.hpp"

namespace molvak::dispersion {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The top of the search range, as a fraction of the half-space's Vs (the
// decaying solutions there need c < Vs).
constexpr double kTop = 1.0 - 1e-9;
// Brent's tolerance on the root, relative.
constexpr double kTolerance = 1e-12;
// The grid of the counts that check tracked roots: points per expected mode
// and over the whole range.
constexpr double kCountPerMode = 10.0, kCountEven = 8.0;
// Vertices taken in one dip of |F| at most.
constexpr int kDipSteps = 4;

// One layer's constants for the dispersion functions.
struct Layer {
    double h;         // thickness (m); 0 for the half-space
    double vs2;       // Vs^2
    double inv_vs2;   // 1 / Vs^2
    double g;         // Vs^2 / Vp^2
    double ratio;     // mu of the layer below / mu of this one (1 for the half-space)
};

void load(const Models& models, std::size_t m, Layer* out) {
    const std::size_t L = models.layers;
    const double* h = models.thickness + m * (L - 1);
    const double* vs = models.vs + m * L;
    const double* vp = models.vp + m * L;
    const double* rho = models.density + m * L;
    for (std::size_t i = 0; i < L; ++i) {
        out[i].h = i + 1 < L ? h[i] : 0.0;
        out[i].vs2 = vs[i] * vs[i];
        out[i].inv_vs2 = 1.0 / out[i].vs2;
        out[i].g = out[i].vs2 / (vp[i] * vp[i]);
        out[i].ratio = i + 1 < L ? (rho[i + 1] * vs[i + 1] * vs[i + 1]) / (rho[i] * out[i].vs2) : 1.0;
    }
}

// The normalised cosh(nu x), sinh(nu x) / nu of a layer for nu^2 = n2 and
// x = kh: for evanescent waves (n2 > 0) both divided by cosh(nu x), with
// `unit` = 1 / cosh(nu x) the factor of the terms that do not grow; for
// propagating ones cos and sin over |nu|, unit 1.
inline void layer_functions(double n2, double x, double* c, double* s, double* unit) {
    if (n2 > 0.0) {
        const double n = std::sqrt(n2);
        const double a = n * x;
        const double q = std::exp(-a);
        const double em = a < 0.5 ? std::expm1(-2.0 * a) : q * q - 1.0;  // exp(-2a) - 1
        const double den = 1.0 / (2.0 + em);
        *c = 1.0;
        *s = a > 0.0 ? (-em * den) / n : x;  // tanh(a) / n
        *unit = 2.0 * q * den;               // 1 / cosh(a)
    } else {
        const double n = std::sqrt(-n2);
        const double a = n * x;
        *c = std::cos(a);
        *s = a > 0.0 ? std::sin(a) / n : x;
        *unit = 1.0;
    }
}

// Keeps the carried vector within range (a positive factor: the sign and the
// roots of the function are kept). Only far from 1, so that the function is
// smooth where the derivatives are taken.
template <std::size_t N>
inline void keep_in_range(double (&y)[N]) {
    double big = 0.0;
    for (double v : y) big = std::max(big, std::fabs(v));
    if (big > 1e150 || (big < 1e-150 && big > 0.0)) {
        const double s = 1.0 / big;
        for (double& v : y) v *= s;
    }
}

double rayleigh_function(const Layer* ly, std::size_t L, double c, double omega) {
    const double c2 = c * c;
    const double inv_c2 = 1.0 / c2;
    const double k = omega / c;
    const Layer& hs = ly[L - 1];
    double t = c2 * hs.inv_vs2;
    const double ra = std::sqrt(1.0 - t * hs.g);
    const double rb = std::sqrt(1.0 - t);
    const double rr = ra * rb;
    // The minors (12, 13, 14, 23, 34) of the two decaying solutions
    // (1, nu_a, -2 mu nu_a, mu (t - 2)) and (-nu_b, -1, mu (2 - t), 2 mu nu_b),
    // over mu for 13, 14, 23 and mu^2 for 34; the 24 minor is minus the 13.
    double y[5] = {rr - 1.0, 2.0 - t - 2.0 * rr, rb * t, -ra * t, (2.0 - t) * (2.0 - t) - 4.0 * rr};
    for (std::size_t i = L - 1; i-- > 0;) {
        const Layer& l = ly[i];
        const double r = l.ratio;
        const double y0 = y[0], y1 = y[1] * r, y2 = y[2] * r, y3 = y[3] * r, y4 = y[4] * r * r;
        t = c2 * l.inv_vs2;
        const double u = l.vs2 * inv_c2, u2 = u * u, t2 = t * t, g = l.g;
        const double x = k * l.h;
        double ca, sa, ga, cb, sb, gb;
        layer_functions(1.0 - t * g, x, &ca, &sa, &ga);
        layer_functions(1.0 - t, x, &cb, &sb, &gb);
        const double cc = ca * cb, ss = sa * sb, cs = ca * sb, sc = sa * cb, one = ga * gb;
        // The compound of exp(-A kh) (A over k, the upward propagator) on the
        // scaled minors, in the layer's own normalisation.
        const double x0 = sc * u;
        const double x1 = cs * u;
        const double x2 = cs + x0 - x1;
        const double x3 = g * sc;
        const double x4 = -x0 + x1 + x3;
        const double x5 = ss * u;
        const double x6 = 2 * cc;
        const double x7 = g * ss;
        const double x8 = u * x7;
        const double x9 = 8 * one;
        const double x10 = ss * u2;
        const double x11 = -8 * cc * u2 - 4 * x8 + u2 * x9 + 8 * x10 + 4 * x7;
        const double x12 = cc * u;
        const double x13 = cc + 4 * one * u + 8 * x5 - ss - x11 - 4 * x12;
        const double x15 = -2 * x0 + 2 * x1;
        const double x17 = one * u;
        const double x18 = 16 * u2;
        const double x19 = -cc * x18 + one * x18 + 16 * x10 + 8 * x7 - 8 * x8;
        const double x20 = ss * t;
        const double x22 = 4 * cs;
        const double x23 = 4 * x0;
        const double x24 = 4 * x1;
        const double x25 = -x23 + x24;
        const double x26 = -x22 + x25;
        const double x27 = sc * t - 4 * sc + x22 + x23 - x24;
        const double x28 = 4 * x3;
        const double x29 = cs * t + x26 + x28;
        const double x30 = 32 * u2;
        const double x31 = -cc * x30 + one * x30 + 32 * x10 + 16 * x7 - 16 * x8;
        y[0] = x13 * y0 + x2 * y3 - x4 * y2 + y1 * (2 * x17 + 6 * x5 - u * x6 - x11) +
               y4 * (x7 + 2 * one * u2 + 2 * x10 - u2 * x6 - x5 - x8);
        y[1] = y0 * (2 * one + 6 * ss + 12 * x12 - 12 * x17 + x19 - x20 - 20 * x5 - x6) +
               y1 * (one + 2 * ss + 8 * x12 - 8 * x17 + x19 - 16 * x5) + y2 * (-cs + x15 + 2 * x3) +
               y3 * (sc - 2 * cs + x15) +
               y4 * (4 * cc * u2 + 2 * x8 + x17 + 3 * x5 - 4 * one * u2 - 4 * x10 - x12 - 2 * x7);
        y[2] = cc * y2 - x2 * y4 + x27 * y0 + y1 * (-2 * sc - x26) + y3 * (x20 - ss);
        y[3] = cc * y3 - x29 * y0 + x4 * y4 + y1 * (2 * cs - x25 - x28) + y2 * (t * x7 - ss);
        y[4] = x13 * y4 - x27 * y3 + x29 * y2 +
               y0 * (-8 * cc + ss * t2 + 24 * ss + 32 * x12 - 32 * x17 - 8 * x20 + x31 - 48 * x5 + x9) +
               y1 * (-4 * cc + 12 * ss + 24 * x12 + 4 * one - 24 * x17 - 2 * x20 + x31 - 40 * x5);
        keep_in_range(y);
    }
    return y[4];  // the traction minor at the surface
}

double love_function(const Layer* ly, std::size_t L, double c, double omega) {
    const double c2 = c * c;
    const double k = omega / c;
    // The decaying SH solution (1, -mu nu_b), stress over the layer's mu.
    double y[2] = {1.0, -std::sqrt(1.0 - c2 * ly[L - 1].inv_vs2)};
    for (std::size_t i = L - 1; i-- > 0;) {
        const Layer& l = ly[i];
        const double n2 = 1.0 - c2 * l.inv_vs2;
        double cb, sb, unit;
        layer_functions(n2, k * l.h, &cb, &sb, &unit);
        const double y0 = y[0], y1 = y[1] * l.ratio;
        y[0] = cb * y0 - sb * y1;
        y[1] = -n2 * sb * y0 + cb * y1;
        keep_in_range(y);
    }
    return y[1];  // the traction at the surface
}

inline double evaluate(const Layer* ly, std::size_t L, Wave wave, double c, double omega) {
    return wave == Wave::rayleigh ? rayleigh_function(ly, L, c, omega) : love_function(ly, L, c, omega);
}

// c / Vs of Rayleigh waves on a half-space with Vs^2 / Vp^2 = g: the root in
// (0, 1) of (2 - t)^2 - 4 sqrt(1 - g t) sqrt(1 - t), t = (c / Vs)^2, by
// bisection (the function is negative just above 0 and 1 at t = 1).
double rayleigh_ratio(double g) {
    double lo = 1e-6, hi = 1.0;
    for (int it = 0; it < 30; ++it) {  // c / Vs to 1e-9: ample for a bound
        const double t = 0.5 * (lo + hi);
        const double f = (2.0 - t) * (2.0 - t) - 4.0 * std::sqrt((1.0 - g * t) * (1.0 - t));
        (f < 0.0 ? lo : hi) = t;
    }
    return std::sqrt(0.5 * (lo + hi));
}

double lowest(const Layer* ly, std::size_t L, Wave wave) {
    double vs2_min = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < L; ++i) vs2_min = std::min(vs2_min, ly[i].vs2);
    if (wave == Wave::love) return (1.0 - 1e-6) * std::sqrt(vs2_min);
    // c / Vs of Rayleigh waves lies in (0.68, 0.96) for every g in (0, 3/4)
    // (0.6889 as g -> 3/4, 0.9553 as g -> 0): a layer with 0.68 Vs >= 0.96
    // min(Vs) cannot hold the minimum, and its ratio is not needed.
    const double skip2 = (0.96 / 0.68) * (0.96 / 0.68) * vs2_min;
    double c = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < L; ++i)
        if (ly[i].vs2 < skip2) c = std::min(c, 0.95 * rayleigh_ratio(ly[i].g) * std::sqrt(ly[i].vs2));
    return c;
}

inline bool negative(double v) { return std::signbit(v); }

// Brent's method (Brent 1973, ch. 4) for a root in [a, b], f(a) and f(b) of
// opposite signs, as a state machine that asks for one value at a time (so
// that W roots can be refined together, their values computed in lanes):
// next() gives the point to evaluate, or false once the bracket is within
// the tolerance (the root is then b); feed() takes the value there.
struct Brent {
    double a, b, c, fa, fb, fc, d, e, tol;
    int iterations;

    void start(double lo, double hi, double flo, double fhi, double tolerance) {
        a = lo; b = hi; fa = flo; fb = fhi;
        c = a; fc = fa; d = e = b - a;
        tol = tolerance;
        iterations = 0;
    }
    bool next(double* x) {
        constexpr double eps = std::numeric_limits<double>::epsilon();
        if (fb == 0.0 || ++iterations > 200) return false;
        if (negative(fb) == negative(fc)) {
            c = a;
            fc = fa;
            d = e = b - a;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b; b = c; c = a;
            fa = fb; fb = fc; fc = fa;
        }
        const double tol1 = 2.0 * eps * std::fabs(b) + 0.5 * tol;
        const double xm = 0.5 * (c - b);
        if (std::fabs(xm) <= tol1 || fb == 0.0) return false;
        if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
            const double s = fb / fa;
            double p, q;
            if (a == c) {  // secant
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {  // inverse quadratic interpolation
                const double qq = fa / fc, r = fb / fc;
                p = s * (2.0 * xm * qq * (qq - r) - (b - a) * (r - 1.0));
                q = (qq - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q; else p = -p;
            if (2.0 * p < std::min(3.0 * xm * q - std::fabs(tol1 * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = xm;
                e = d;
            }
        } else {
            d = xm;
            e = d;
        }
        a = b;
        fa = fb;
        b += std::fabs(d) > tol1 ? d : (xm > 0.0 ? tol1 : -tol1);
        *x = b;
        return true;
    }
    void feed(double fx) { fb = fx; }

    // The lower end of the final bracket and its value (the root is b): where
    // the root's count is taken, so that every root between the first
    // bracket's end and this one is counted. (lo, flo) where F(b) = 0.
    void lower(double lo, double flo, double* x, double* fx) const {
        if (fb == 0.0) {
            *x = lo;
            *fx = flo;
        } else if (c < b) {
            *x = c;
            *fx = fc;
        } else {
            *x = b;
            *fx = fb;
        }
    }
};

// The vertical phase across the layers over pi at phase velocity c and
// angular frequency omega, sum_i omega h_i sqrt(1 / v_i^2 - 1 / c^2) / pi over
// the layers slower than c (Vs, and Vp for Rayleigh waves): about the number
// of modes below c (a WKB count).
double phase_count(const Layer* ly, std::size_t L, Wave wave, double omega, double c) {
    const double p2 = 1.0 / (c * c);
    double phase = 0.0;
    for (std::size_t i = 0; i + 1 < L; ++i) {
        phase += ly[i].h * std::sqrt(std::max(0.0, ly[i].inv_vs2 - p2));
        if (wave == Wave::rayleigh) phase += ly[i].h * std::sqrt(std::max(0.0, ly[i].inv_vs2 * ly[i].g - p2));
    }
    return omega * phase / 3.141592653589793;
}

// Lagrange extrapolation of the roots at the previous frequencies (newest
// first) to f.
double extrapolate(const double* fs, const double* cs, std::size_t n, double f) {
    double out = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double w = 1.0;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i) w *= (f - fs[j]) / (fs[i] - fs[j]);
        out += w * cs[i];
    }
    return out;
}

// One model's search: its layers, range, parity, and the roots at the last
// three frequencies (newest first) with the error of the last prediction.
struct Search {
    const Layer* ly = nullptr;
    std::size_t L = 0;
    Wave wave = Wave::rayleigh;
    std::size_t mode = 0;
    double cmin = 0.0, cmax = 0.0;
    bool exists = false;  // a guided wave at all
    bool s0 = false;      // the sign bit of the function at c_min
    bool below = false;   // the sign bit of the function just below mode k's root
    double fs[3] = {0.0, 0.0, 0.0}, cs[3] = {0.0, 0.0, 0.0};
    std::size_t known = 0;
    double miss = 0.0;
    std::size_t count = 0;  // evaluations

    void start(const Layer* layers, std::size_t n, const Request& rq, double f0) {
        ly = layers;
        L = n;
        wave = rq.wave;
        mode = rq.mode;
        cmin = lowest(ly, L, wave);
        cmax = kTop * std::sqrt(ly[L - 1].vs2);
        exists = cmin < cmax;
        known = 0;
        miss = 0.0;
        count = 0;
        if (!exists) return;
        // Below mode k's root the function has the sign of F(c_min) times (-1)^k.
        s0 = negative(F(cmin, kTwoPi * f0));
        below = (mode % 2 == 0) ? s0 : !s0;
    }

    double F(double c, double omega) {
        ++count;
        return evaluate(ly, L, wave, c, omega);
    }

    // Tracking applies where a root is known at a close frequency (a step of
    // more than a half may carry a mode past two others).
    bool tracks(double f) const { return known > 0 && f <= 1.5 * fs[0]; }

    // The predicted root at f and the first step of its bracket.
    void predict(double f, double* cp, double* w) const {
        double c = known > 1 && fs[0] != fs[1] ? extrapolate(fs, cs, known, f) : cs[0];
        if (!(c > cmin && c < cmax)) c = cs[0];
        double step = std::max(4.0 * miss, 1e-9 * c);
        if (known < 3) step = std::max(step, 0.5 * std::fabs(c - cs[0]) + 1e-4 * c);
        *cp = c;
        *w = step;
    }

    // A tracked root c is taken for another mode's when it lies further from
    // its prediction cp than a tenth of cp plus the predicted move.
    // A higher mode moving by more than 5 % is checked by a scan as well
    // (near an avoided crossing the next root may be the neighbour's).
    bool far(double c, double cp) const {
        return std::fabs(c - cp) > 0.1 * cp + std::fabs(cp - cs[0]) || (mode > 0 && std::fabs(c - cs[0]) > 0.05 * cs[0]);
    }

    // A root accepted at f, predicted at cp (scanned: found by a scan).
    void record(double f, double c, double cp, bool scanned) {
        if (scanned) {
            // A scanned root is mode k's by its count, as are the roots before
            // it (each counted, or solved again by a scan where a count was
            // wrong): they stay the history unless f is too far from them to
            // track, and the miss is that of their prediction (else a steep
            // stretch of the curve, each step further than a tenth from the
            // last root, would be scanned at every frequency).
            if (tracks(f)) {
                double w;
                predict(f, &cp, &w);
            } else {
                known = 0;
            }
        }
        miss = known > 0 ? std::fabs(c - cp) : 0.0;
        for (std::size_t i = 2; i > 0; --i) {
            fs[i] = fs[i - 1];
            cs[i] = cs[i - 1];
        }
        fs[0] = f;
        cs[0] = c;
        known = std::min<std::size_t>(known + 1, 3);
    }

    // The scan of [c_min, c_max): the bracket of the (k+1)-th sign change.
    // Its points are equally spaced in 16 phase_count(c) + 24 (c - c_min) /
    // (c_max - c_min): 16 points per expected mode, where the modes crowd
    // (just above each layer's velocity), and 24 over the whole range (10 and
    // 8 for a count). The grid is the inverse of that function, interpolated
    // linearly between twice as many equally spaced velocities (as many for a
    // count). A state machine like Brent's (scan_next gives the next point,
    // scan_feed takes its value), so that lanes scan together.
    struct Scan {
        double omega, total, target, c_prev, v_prev, cq, vq, cp, fp, lo, hi, flo, fhi;
        double cpp, fpp;             // the point before cp
        double dip[3], fdip[3], xv;  // three points around a dip of |F|, and the parabola's vertex
        double limit, flimit;        // a count stops at this velocity, whose value is known
        double per_mode, even;       // points per expected mode and over the range
        std::size_t points, samples, q, j, changes, wanted;
        int dip_steps;               // vertices taken in the current dip
        bool started, first, have_q, last, done, found, have_pp, dip_pending;
    } sc{};

    double scan_weight(double c) const {
        return sc.per_mode * phase_count(ly, L, wave, sc.omega, c) + sc.even * (c - cmin) / (cmax - cmin);
    }
    // A scan for mode k's bracket, or (limit < c_max) a count of the roots
    // below `limit`.
    void scan_begin(double omega, double limit = std::numeric_limits<double>::infinity(), double flimit = 0.0) {
        sc = Scan{};
        sc.omega = omega;
        sc.limit = limit;
        sc.flimit = flimit;
        sc.wanted = limit < cmax ? std::numeric_limits<std::size_t>::max() - 1 : mode;
        // a count checks a tracked root, where the modes are known to lie
        // apart: a coarser grid (its dips still count close pairs)
        sc.per_mode = limit < cmax ? kCountPerMode : 16.0;
        sc.even = limit < cmax ? kCountEven : 24.0;
        sc.total = scan_weight(cmax);
        sc.points = static_cast<std::size_t>(std::min(20000.0, std::ceil(sc.total)));
        sc.samples = (limit < cmax ? 1 : 2) * sc.points;
        sc.j = 1;
        sc.target = sc.total / double(sc.points);
        sc.c_prev = cmin;
        sc.v_prev = 0.0;  // no layer is slower than c_min
    }
    bool scan_next(double* x) {
        if (sc.dip_pending) {
            *x = sc.xv;
            return true;
        }
        if (sc.done) return false;
        if (!sc.started) {
            sc.started = sc.first = true;
            if (sc.limit < cmax) {
                // a count: F(c_min) has the sign s0 at every frequency (its
                // size is not needed: no dip is sought at the first point)
                scan_feed(cmin, s0 ? -1.0 : 1.0);
            } else {
                *x = cmin;
                return true;
            }
        }
        for (;;) {
            if (sc.have_q && sc.j < sc.points && sc.target <= sc.vq) {
                const double cj = sc.vq > sc.v_prev
                                      ? sc.c_prev + (sc.cq - sc.c_prev) * (sc.target - sc.v_prev) / (sc.vq - sc.v_prev)
                                      : sc.cq;
                ++sc.j;
                sc.target = sc.total * double(sc.j) / double(sc.points);
                if (cj >= sc.limit) {  // a count: the last point is the limit, its value known
                    if (!sc.last) {
                        sc.last = true;
                        scan_feed(sc.limit, sc.flimit);
                        if (sc.dip_pending) {
                            *x = sc.xv;
                            return true;
                        }
                    }
                    sc.done = true;
                    return false;
                }
                if (cj > sc.cp) {
                    *x = cj;
                    return true;
                }
                continue;
            }
            if (sc.have_q) {
                sc.c_prev = sc.cq;
                sc.v_prev = sc.vq;
                sc.have_q = false;
            }
            if (sc.j < sc.points && sc.q < sc.samples) {
                ++sc.q;
                sc.cq = sc.q == sc.samples ? cmax : cmin + (cmax - cmin) * double(sc.q) / double(sc.samples);
                sc.vq = scan_weight(sc.cq);
                sc.have_q = true;
                continue;
            }
            if (!sc.last && sc.limit > cmax) {
                sc.last = true;
                *x = cmax;
                return true;
            }
            sc.done = true;
            return false;
        }
    }
    // The vertex of the parabola through (x[i], |y[i]|), x ascending and the
    // middle value the smallest, where it lies strictly inside and apart from
    // the middle point (to 1e-12 relative).
    static bool vertex(const double* x, const double* y, double* xv) {
        const double num = (x[1] - x[0]) * (x[1] - x[0]) * (y[1] - y[2]) - (x[1] - x[2]) * (x[1] - x[2]) * (y[1] - y[0]);
        const double den = (x[1] - x[0]) * (y[1] - y[2]) - (x[1] - x[2]) * (y[1] - y[0]);
        if (den == 0.0) return false;
        *xv = x[1] - 0.5 * num / den;
        return *xv > x[0] && *xv < x[2] && std::fabs(*xv - x[1]) > 1e-12 * std::fabs(x[1]);
    }
    // A pair of roots closer than the grid leaves no sign change between grid
    // points, but |F| dips between them: where three points of one sign have
    // the smallest |F| in the middle, F is also taken at the vertex of the
    // parabola through them, and a sign change there counts two roots.
    void scan_feed(double x, double fx) {
        if (sc.dip_pending) {
            sc.dip_pending = false;
            if (negative(fx) != negative(sc.fdip[1])) {
                const bool right = x > sc.dip[1];
                const double a = right ? sc.dip[1] : sc.dip[0], fa = right ? sc.fdip[1] : sc.fdip[0];
                const double b = right ? sc.dip[2] : sc.dip[1], fb = right ? sc.fdip[2] : sc.fdip[1];
                if (sc.changes == sc.wanted || sc.changes + 1 == sc.wanted) {
                    const bool first_root = sc.changes == sc.wanted;
                    sc.lo = first_root ? a : x;
                    sc.hi = first_root ? x : b;
                    sc.flo = first_root ? fa : fx;
                    sc.fhi = first_root ? fx : fb;
                    sc.done = sc.found = true;
                    return;
                }
                sc.changes += 2;
            } else if (++sc.dip_steps < kDipSteps) {
                // Still one sign: the bracket of the dip narrows to the three
                // points around the smallest |F|, and F is taken at the next
                // vertex (successive parabolic interpolation): a pair closer
                // than the first vertex could tell is still found.
                const bool left = x < sc.dip[1];
                if (std::fabs(fx) < std::fabs(sc.fdip[1])) {
                    const int out = left ? 2 : 0;
                    sc.dip[out] = sc.dip[1];
                    sc.fdip[out] = sc.fdip[1];
                    sc.dip[1] = x;
                    sc.fdip[1] = fx;
                } else {
                    sc.dip[left ? 0 : 2] = x;
                    sc.fdip[left ? 0 : 2] = fx;
                }
                if (vertex(sc.dip, sc.fdip, &sc.xv)) {
                    sc.dip_pending = true;
                    return;
                }
            }
            if (sc.last) sc.done = true;
            return;
        }
        if (sc.first) {
            sc.first = false;
            sc.cp = x;
            sc.fp = fx;
            return;
        }
        const bool after_first = sc.limit < cmax && sc.cpp == cmin;  // a count fakes F(c_min)
        const bool change = negative(fx) != negative(sc.fp);
        if (change && sc.changes == sc.wanted) {
            sc.lo = sc.cp; sc.hi = x; sc.flo = sc.fp; sc.fhi = fx;
            sc.done = sc.found = true;
            return;
        }
        if (change) ++sc.changes;
        if (!change && sc.have_pp && !after_first && negative(sc.fpp) == negative(sc.fp) &&
            std::fabs(sc.fp) < std::fabs(sc.fpp) && std::fabs(sc.fp) < std::fabs(fx)) {
            const double xs[3] = {sc.cpp, sc.cp, x}, ys[3] = {sc.fpp, sc.fp, fx};
            if (vertex(xs, ys, &sc.xv)) {
                for (int i = 0; i < 3; ++i) {
                    sc.dip[i] = xs[i];
                    sc.fdip[i] = ys[i];
                }
                sc.dip_steps = 0;
                sc.dip_pending = true;
            }
        }
        sc.cpp = sc.cp;
        sc.fpp = sc.fp;
        sc.have_pp = true;
        sc.cp = x;
        sc.fp = fx;
        if (sc.last && !sc.dip_pending) sc.done = true;
    }
    bool scan(double omega, double* lo, double* hi, double* flo, double* fhi) {
        scan_begin(omega);
        double x;
        while (scan_next(&x)) scan_feed(x, F(x, omega));
        *lo = sc.lo; *hi = sc.hi; *flo = sc.flo; *fhi = sc.fhi;
        return sc.found;
    }

    // The number of roots below c (a sign-change count with its dips).
    std::size_t count_below(double c, double fc, double omega) {
        scan_begin(omega, c, fc);
        double x;
        while (scan_next(&x)) scan_feed(x, F(x, omega));
        return sc.changes;
    }

    // The root in [lo, hi] by Brent's method; (lo, flo) become the lower end
    // of the final bracket and its value.
    double refine(double* lo, double hi, double* flo, double fhi, double omega) {
        if (*lo == hi) return *lo;
        Brent br;
        br.start(*lo, hi, *flo, fhi, kTolerance * hi);
        double x;
        while (br.next(&x)) br.feed(F(x, omega));
        br.lower(*lo, *flo, lo, flo);
        return br.b;
    }

    // Group velocity by implicit differentiation of F(c, omega) = 0: the two
    // partial derivatives from five-point central differences (error of the
    // fourth order in the step) at c +- h, c +- 2h with h = 1e-4 c (at most a
    // twentieth of the distance to c_max, where the half-space's vertical
    // wavenumber has its branch point), and at omega (1 +- 1e-4), (1 +- 2e-4).
    static constexpr int kGroupPoints = 8;
    void group_points(double c, double omega, double* pc, double* po) const {
        const double hc = std::min(1e-4 * c, 0.05 * (cmax - c)), hw = 1e-4 * omega;
        const double steps[4] = {1.0, -1.0, 2.0, -2.0};
        for (int i = 0; i < 4; ++i) {
            pc[i] = c + steps[i] * hc;
            po[i] = omega;
            pc[4 + i] = c;
            po[4 + i] = omega + steps[i] * hw;
        }
    }
    static double group(double c, double omega, const double* pc, const double* po, const double* v) {
        const double hc = pc[0] - c, hw = po[4] - omega;
        const double fc = (8.0 * (v[0] - v[1]) - (v[2] - v[3])) / (12.0 * hc);
        const double fw = (8.0 * (v[4] - v[5]) - (v[6] - v[7])) / (12.0 * hw);
        const double dcdw = -fw / fc;
        return c / (1.0 - (omega / c) * dcdw);
    }

    // The mode count below a tracked root is checked at every other tracked
    // frequency: a root tracked onto another mode's branch (a mode may drop
    // past its neighbours at an avoided crossing between two frequencies)
    // stays on that branch, so the next check finds the wrong count, and both
    // frequencies are then solved again by scans. The last root of a curve,
    // or of a run that ends, is checked on its own.
    double* row = nullptr;           // the model's output row
    bool group_velocity = false;
    bool unchecked = false;          // the last root was tracked and not counted
    std::size_t unchecked_j = 0;
    double unchecked_f = 0.0, unchecked_c = 0.0;

    // Checks the unchecked root (one evaluation and a count), and solves its
    // frequency again by a scan if the count is wrong.
    void settle() {
        if (!unchecked) return;
        unchecked = false;
        const double omega = kTwoPi * unchecked_f;
        const double limit = unchecked_c * (1.0 - 1e-9);
        if (count_below(limit, F(limit, omega), omega) == mode) return;
        redo();
    }
    void redo() {
        unchecked = false;
        known = 0;
        row[unchecked_j] = solve(unchecked_f, unchecked_j, false);
    }

    // Accepts a tracked root c at frequency index j: counted (the count right)
    // or left unchecked for the next frequency.
    void accept_tracked(double f, std::size_t j, double c, double cp, bool counted) {
        record(f, c, cp, false);
        unchecked = !counted;
        unchecked_j = j;
        unchecked_f = f;
        unchecked_c = c;
    }

    // The value (phase or group velocity) at an accepted root.
    double value(double c, double omega) {
        if (!group_velocity) return c;
        double pc[kGroupPoints], po[kGroupPoints], v[kGroupPoints];
        group_points(c, omega, pc, po);
        for (int i = 0; i < kGroupPoints; ++i) v[i] = F(pc[i], po[i]);
        return group(c, omega, pc, po, v);
    }

    // One frequency (index j), all on this thread: tracking where it applies,
    // else (or where the tracked root is lost, far from its prediction or of
    // the wrong count) a scan.
    double solve(double f, std::size_t j, bool allow_tracking) {
        const double omega = kTwoPi * f;
        double lo = 0.0, hi = 0.0, flo = 0.0, fhi = 0.0, cp = 0.0, c = 0.0;
        if (allow_tracking && tracks(f)) {
            double w;
            predict(f, &cp, &w);
            const double fp = F(cp, omega);
            if (bracket(cp, fp, w, omega, &lo, &hi, &flo, &fhi)) {
                c = refine(&lo, hi, &flo, fhi, omega);
                // A root far from the prediction may belong to another mode.
                if (!far(c, cp)) {
                    if (!unchecked) {
                        accept_tracked(f, j, c, cp, false);
                        return value(c, omega);
                    }
                    if (count_below(lo, flo, omega) == mode) {
                        accept_tracked(f, j, c, cp, true);
                        return value(c, omega);
                    }
                    redo();  // the previous root was another mode's too
                }
            }
        }
        settle();
        double clo, chi;
        if (!scan(omega, &lo, &hi, &clo, &chi)) {
            known = 0;
            return kNaN;
        }
        c = refine(&lo, hi, &clo, chi, omega);
        record(f, c, cp, true);
        return value(c, omega);
    }

    // The bracket from the prediction cp (F(cp) = fp), in the direction the
    // sign's parity gives, by steps that double from w.
    bool bracket(double cp, double fp, double w, double omega, double* lo, double* hi, double* flo, double* fhi) {
        if (fp == 0.0) {
            *lo = *hi = cp;
            return true;
        }
        if (negative(fp) == below) {  // the root lies above cp
            *lo = cp;
            *flo = fp;
            for (;;) {
                *hi = std::min(*lo + w, cmax);
                *fhi = F(*hi, omega);
                if (negative(*fhi) != below) return true;
                if (*hi >= cmax) return false;
                *lo = *hi;
                *flo = *fhi;
                w *= 2.0;
            }
        }
        *hi = cp;
        *fhi = fp;
        for (;;) {
            *lo = *hi - w;
            if (*lo <= cmin) return false;
            *flo = F(*lo, omega);
            if (negative(*flo) == below) return true;
            *hi = *lo;
            *fhi = *flo;
            w *= 2.0;
        }
    }
};

// One model's curve on this thread, the frequencies in ascending order.
void solve_model(const Layer* ly, std::size_t L, const Request& rq, const std::size_t* order, double* out,
                 std::size_t* evaluations) {
    Search s;
    s.start(ly, L, rq, rq.frequency[order[0]]);
    s.row = out;
    s.group_velocity = rq.group;
    for (std::size_t n = 0; n < rq.frequencies; ++n) {
        const std::size_t j = order[n];
        out[j] = s.exists ? s.solve(rq.frequency[j], j, true) : kNaN;
    }
    if (s.exists) s.settle();
    if (evaluations != nullptr) *evaluations += s.count;
}

// W models' curves together: at each frequency the tracked roots of all
// lanes are bracketed and refined in step, their function values computed in
// lanes; a lane whose root needs a scan takes the scalar path for that
// frequency. Every lane follows the steps its own model's values dictate, so
// its result does not depend on the other lanes.
void solve_lanes(const LaneKernels& kern, const Layer* const* ly, std::size_t lanes, std::size_t L,
                 const Request& rq, const std::size_t* const* orders, const std::size_t* counts, double* const* out,
                 std::size_t* const* evaluations, double* soa) {
    const std::size_t W = kern.width;
    // The lane-interleaved layers (lanes beyond `lanes` repeat the first).
    double* h = soa;
    double* vs2 = h + L * W;
    double* inv_vs2 = vs2 + L * W;
    double* g = inv_vs2 + L * W;
    double* ratio = g + L * W;
    for (std::size_t i = 0; i < L; ++i)
        for (std::size_t l = 0; l < W; ++l) {
            const Layer& y = ly[l < lanes ? l : 0][i];
            h[i * W + l] = y.h;
            vs2[i * W + l] = y.vs2;
            inv_vs2[i * W + l] = y.inv_vs2;
            g[i * W + l] = y.g;
            ratio[i * W + l] = y.ratio;
        }
    const LaneLayers layers{h, vs2, inv_vs2, g, ratio, L};
    auto fn = rq.wave == Wave::rayleigh ? kern.rayleigh : kern.love;
    constexpr std::size_t kMax = 16;
    Search s[kMax];
    std::size_t steps = 0;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (counts[l] > 0) s[l].start(ly[l], L, rq, rq.frequency[orders[l][0]]);
        s[l].row = out[l];
        s[l].group_velocity = rq.group;
        steps = std::max(steps, counts[l]);
    }
    double c[kMax], om[kMax], v[kMax];
    auto eval = [&](const bool* active) {
        // inactive lanes take a valid point of their own (their value unused)
        for (std::size_t l = 0; l < W; ++l) {
            if (l >= lanes || !active[l]) {
                const std::size_t m = l < lanes ? l : 0;
                c[l] = s[m].cmin;
                om[l] = om[m];
            }
        }
        fn(layers, c, om, v);
        for (std::size_t l = 0; l < lanes; ++l)
            if (active[l]) ++s[l].count;
    };
    // Runs the scans (or counts) begun on the `n` active lanes to their ends,
    // their values computed in lanes; done(l) as lane l's ends.
    auto scan_lanes = [&](bool* active, int n, auto done) {
        while (n > 0) {
            for (std::size_t l = 0; l < lanes; ++l) {
                if (active[l] && !s[l].scan_next(&c[l])) {
                    active[l] = false;
                    --n;
                    done(l);
                }
            }
            if (n == 0) break;
            eval(active);
            for (std::size_t l = 0; l < lanes; ++l)
                if (active[l]) s[l].scan_feed(c[l], v[l]);
        }
    };
    for (std::size_t n = 0; n < steps; ++n) {
        // This step's frequency of every lane (lanes past their last have none).
        bool live[kMax] = {};
        std::size_t jl[kMax] = {};
        double fl[kMax] = {}, wl[kMax] = {};
        for (std::size_t l = 0; l < lanes; ++l) {
            live[l] = n < counts[l];
            const std::size_t at = live[l] ? l : 0;
            jl[l] = orders[at][std::min(n, counts[at] - 1)];
            fl[l] = rq.frequency[jl[l]];
            wl[l] = kTwoPi * fl[l];
        }
        auto set_omega = [&]() {
            for (std::size_t l = 0; l < W; ++l) om[l] = wl[l < lanes ? l : 0];
        };
        bool active[kMax] = {};
        bool tracked[kMax] = {};
        double cp[kMax], w[kMax], lo[kMax], hi[kMax], flo[kMax], fhi[kMax], root[kMax];
        bool any_tracked = false;
        set_omega();
        for (std::size_t l = 0; l < lanes; ++l) {
            tracked[l] = live[l] && s[l].exists && s[l].tracks(fl[l]);
            if (tracked[l]) {
                s[l].predict(fl[l], &cp[l], &w[l]);
                c[l] = cp[l];
                active[l] = any_tracked = true;
            }
        }
        if (any_tracked) {
            // The values at the predictions, then bracket steps in lanes.
            eval(active);
            bool up[kMax] = {};
            int pending = 0;
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!tracked[l]) continue;
                if (v[l] == 0.0) {
                    lo[l] = hi[l] = cp[l];
                    active[l] = false;
                    continue;
                }
                up[l] = negative(v[l]) == s[l].below;
                (up[l] ? lo : hi)[l] = cp[l];
                (up[l] ? flo : fhi)[l] = v[l];
                ++pending;
            }
            while (pending > 0) {
                for (std::size_t l = 0; l < lanes; ++l) {
                    if (!active[l]) continue;
                    c[l] = up[l] ? std::min(lo[l] + w[l], s[l].cmax) : hi[l] - w[l];
                    if (!up[l] && c[l] <= s[l].cmin) {  // lost below: a scan
                        active[l] = tracked[l] = false;
                        --pending;
                    }
                }
                if (pending == 0) break;
                eval(active);
                for (std::size_t l = 0; l < lanes; ++l) {
                    if (!active[l]) continue;
                    if (up[l]) {
                        hi[l] = c[l];
                        fhi[l] = v[l];
                        if (negative(v[l]) != s[l].below) {
                            active[l] = false;
                        } else if (c[l] >= s[l].cmax) {  // lost above: a scan
                            active[l] = tracked[l] = false;
                        } else {
                            lo[l] = hi[l];
                            flo[l] = fhi[l];
                            w[l] *= 2.0;
                            continue;
                        }
                    } else {
                        lo[l] = c[l];
                        flo[l] = v[l];
                        if (negative(v[l]) == s[l].below) {
                            active[l] = false;
                        } else {
                            hi[l] = lo[l];
                            fhi[l] = flo[l];
                            w[l] *= 2.0;
                            continue;
                        }
                    }
                    --pending;
                }
            }
        }
        // The lanes without a tracked bracket scan together.
        bool bracketed[kMax] = {};
        int scanning = 0;
        for (std::size_t l = 0; l < lanes; ++l) {
            bracketed[l] = tracked[l];
            if (live[l] && s[l].exists && !tracked[l]) {
                s[l].scan_begin(wl[l]);
                active[l] = true;
                ++scanning;
            }
        }
        scan_lanes(active, scanning, [&](std::size_t l) {
            if (s[l].sc.found) {
                lo[l] = s[l].sc.lo; hi[l] = s[l].sc.hi; flo[l] = s[l].sc.flo; fhi[l] = s[l].sc.fhi;
                bracketed[l] = true;
            }
        });
        // Brent in lanes.
        {
            Brent br[kMax];
            int running = 0;
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!bracketed[l]) continue;
                if (lo[l] == hi[l]) {
                    root[l] = lo[l];
                    continue;
                }
                br[l].start(lo[l], hi[l], flo[l], fhi[l], kTolerance * hi[l]);
                active[l] = true;
                ++running;
            }
            while (running > 0) {
                for (std::size_t l = 0; l < lanes; ++l) {
                    if (active[l] && !br[l].next(&c[l])) {
                        active[l] = false;
                        root[l] = br[l].b;
                        br[l].lower(lo[l], flo[l], &lo[l], &flo[l]);
                        --running;
                    }
                }
                if (running == 0) break;
                eval(active);
                for (std::size_t l = 0; l < lanes; ++l)
                    if (active[l]) br[l].feed(v[l]);
            }
        }
        // The tracked roots' mode counts, the lanes scanning together up to
        // the lower ends of their final brackets (a first bracket may hold
        // three roots: the count below its lower end would miss two).
        bool miscounted[kMax] = {};
        {
            int counting = 0;
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!tracked[l] || s[l].far(root[l], cp[l]) || !s[l].unchecked) continue;
                s[l].scan_begin(wl[l], lo[l], flo[l]);
                active[l] = true;
                ++counting;
            }
            scan_lanes(active, counting, [&](std::size_t l) { miscounted[l] = s[l].sc.changes != s[l].mode; });
        }
        // The accepted roots; a tracked root far from its prediction or with
        // the wrong count below it (it belongs to another mode) is searched
        // again by a scan on its own.
        bool group_lane[kMax] = {};
        bool any_group = false;
        for (std::size_t l = 0; l < lanes; ++l) {
            if (!live[l]) continue;
            const std::size_t j = jl[l];
            if (!s[l].exists) {
                out[l][j] = kNaN;
                continue;
            }
            if (tracked[l] && !s[l].far(root[l], cp[l])) {
                if (!miscounted[l]) {
                    s[l].accept_tracked(fl[l], j, root[l], cp[l], s[l].unchecked);
                    out[l][j] = root[l];
                    group_lane[l] = rq.group;
                    any_group = any_group || rq.group;
                    continue;
                }
                s[l].redo();  // the previous root was another mode's too
            }
            if (tracked[l]) {  // far from its prediction, or miscounted
                out[l][j] = s[l].solve(fl[l], j, false);
                continue;
            }
            // a scanned lane: its count holds; the previous root is checked
            s[l].settle();
            if (!bracketed[l]) {  // no such mode at this frequency
                s[l].known = 0;
                out[l][j] = kNaN;
                continue;
            }
            s[l].record(fl[l], root[l], 0.0, true);
            out[l][j] = root[l];
            group_lane[l] = rq.group;
            any_group = any_group || rq.group;
        }
        if (any_group) {
            constexpr int P = Search::kGroupPoints;
            double pc[kMax][P], po[kMax][P], gv[kMax][P];
            for (std::size_t l = 0; l < lanes; ++l)
                if (group_lane[l]) s[l].group_points(root[l], wl[l], pc[l], po[l]);
            for (int i = 0; i < P; ++i) {
                for (std::size_t l = 0; l < lanes; ++l)
                    if (group_lane[l]) {
                        c[l] = pc[l][i];
                        om[l] = po[l][i];
                    }
                eval(group_lane);
                for (std::size_t l = 0; l < lanes; ++l)
                    if (group_lane[l]) gv[l][i] = v[l];
            }
            for (std::size_t l = 0; l < lanes; ++l)
                if (group_lane[l]) out[l][jl[l]] = Search::group(root[l], wl[l], pc[l], po[l], gv[l]);
        }
    }
    for (std::size_t l = 0; l < lanes; ++l) {
        if (counts[l] > 0 && s[l].exists) s[l].settle();
        if (evaluations[l] != nullptr) *evaluations[l] += s[l].count;
    }
}

}  // namespace

double secular(const Models& models, std::size_t m, Wave wave, double c, double omega) {
    Buffer<Layer> ly(models.layers, "layers");
    load(models, m, ly.data());
    return evaluate(ly.data(), models.layers, wave, c, omega);
}

double lowest_velocity(const Models& models, std::size_t m, Wave wave) {
    Buffer<Layer> ly(models.layers, "layers");
    load(models, m, ly.data());
    return lowest(ly.data(), models.layers, wave);
}

void curves(const Models& models, const Request& request, double* out, std::size_t workers, simd::Isa isa) {
    const std::size_t M = models.models, L = models.layers, F = request.frequencies;
    if (M == 0 || F == 0) return;
    Buffer<std::size_t> order(F, "frequency order");
    std::iota(order.data(), order.data() + F, std::size_t{0});
    std::stable_sort(order.data(), order.data() + F,
                     [&](std::size_t a, std::size_t b) { return request.frequency[a] < request.frequency[b]; });
    const LaneKernels& kern = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    if (request.evaluations != nullptr)
        for (std::size_t m = 0; m < M; ++m) request.evaluations[m] = 0;
    // One model's frequencies are shared among the lanes, each tracking its
    // own run of them from a scan at its first, where each lane gets two or
    // more; several models fill the lanes with one model each.
    const std::size_t width = kern.width;
    const bool split = M == 1 && width > 1 && F >= 2 * width;
    const std::size_t W = split || M > 1 ? width : 1;
    const std::size_t groups = split ? 1 : (M + W - 1) / W;
    workers = std::max<std::size_t>(1, std::min(workers, groups));
    std::size_t cells = 0, soa = 0;
    if (!checked_mul(workers * W, L, &cells) || !checked_mul(cells, 5, &soa)) throw AllocFailure("layers");
    Buffer<Layer> layers(cells, "layers");
    Buffer<double> interleaved(W > 1 ? soa : 1, "layers");
    auto run = [&](std::size_t w) {
        Layer* base = layers.data() + w * W * L;
        const std::size_t first = groups * w / workers, last = groups * (w + 1) / workers;
        for (std::size_t gi = first; gi < last; ++gi) {
            const std::size_t m0 = gi * W, lanes = split ? W : std::min(W, M - m0);
            if (W == 1) {
                load(models, m0, base);
                solve_model(base, L, request, order.data(), out + m0 * F,
                            request.evaluations != nullptr ? request.evaluations + m0 : nullptr);
                continue;
            }
            const Layer* ly[16];
            double* rows[16];
            std::size_t* counts_out[16];
            const std::size_t* orders[16];
            std::size_t counts[16];
            for (std::size_t l = 0; l < lanes; ++l) {
                const std::size_t m = split ? 0 : m0 + l;
                if (!split || l == 0) load(models, m, base + l * L);
                ly[l] = base + (split ? 0 : l * L);
                rows[l] = out + m * F;
                counts_out[l] = request.evaluations != nullptr ? request.evaluations + m : nullptr;
                const std::size_t f0 = split ? F * l / W : 0, f1 = split ? F * (l + 1) / W : F;
                orders[l] = order.data() + f0;
                counts[l] = f1 - f0;
            }
            solve_lanes(kern, ly, lanes, L, request, orders, counts, rows, counts_out,
                        interleaved.data() + w * W * L * 5);
        }
    };
    if (workers == 1) {
        run(0);
        return;
    }
    std::vector<std::thread> threads;
    try {
        threads.reserve(workers - 1);
        for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(run, w);
    } catch (...) {
        for (auto& th : threads) th.join();
        throw;
    }
    run(0);
    for (auto& th : threads) th.join();
}

}  // namespace molvak::dispersion
