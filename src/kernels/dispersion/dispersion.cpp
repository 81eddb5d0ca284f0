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

namespace molvak::dispersion {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The top of the search range, as a fraction of the half-space's Vs (the
// decaying solutions there need c < Vs).
constexpr double kTop = 1.0 - 1e-9;
// Brent's tolerance on the root, relative.
constexpr double kTolerance = 1e-12;

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
        const double u = l.vs2 / c2, u2 = u * u, t2 = t * t, g = l.g;
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
    for (int it = 0; it < 60; ++it) {
        const double t = 0.5 * (lo + hi);
        const double f = (2.0 - t) * (2.0 - t) - 4.0 * std::sqrt((1.0 - g * t) * (1.0 - t));
        (f < 0.0 ? lo : hi) = t;
    }
    return std::sqrt(0.5 * (lo + hi));
}

double lowest(const Layer* ly, std::size_t L, Wave wave) {
    double c = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < L; ++i) {
        const double vs = std::sqrt(ly[i].vs2);
        c = std::min(c, wave == Wave::rayleigh ? 0.95 * rayleigh_ratio(ly[i].g) * vs : (1.0 - 1e-6) * vs);
    }
    return c;
}

inline bool negative(double v) { return std::signbit(v); }

// Brent's method for a root of f in [a, b], f(a) and f(b) of opposite signs.
template <class F>
double brent(F&& f, double a, double b, double fa, double fb, double tol) {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    double c = a, fc = fa, d = b - a, e = d;
    for (int it = 0; it < 200; ++it) {
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
        if (std::fabs(xm) <= tol1 || fb == 0.0) return b;
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
        fb = f(b);
    }
    return b;
}

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

// One model's curve, the frequencies visited in ascending order.
void solve_model(const Layer* ly, std::size_t L, const Request& rq, const std::size_t* order, double* out,
                 std::size_t* evaluations) {
    const Wave wave = rq.wave;
    const std::size_t k = rq.mode;
    const double cmin = lowest(ly, L, wave);
    const double cmax = kTop * std::sqrt(ly[L - 1].vs2);
    if (!(cmin < cmax)) {  // no guided wave (Love: the half-space is the slowest layer)
        for (std::size_t j = 0; j < rq.frequencies; ++j) out[j] = kNaN;
        return;
    }
    double omega = 0.0;
    std::size_t count = 0;
    auto F = [&](double c) {
        ++count;
        return evaluate(ly, L, wave, c, omega);
    };
    // Below mode k's root the function has the sign of F(c_min) times (-1)^k.
    omega = kTwoPi * rq.frequency[order[0]];
    const bool s0 = negative(F(cmin));
    const bool below = (k % 2 == 0) ? s0 : !s0;

    // The scan of [c_min, c_max): the bracket of the (k+1)-th sign change.
    // Its points are equally spaced in 16 phase_count(c) + 24 (c - c_min) /
    // (c_max - c_min): 16 points per expected mode, where the modes crowd
    // (just above each layer's velocity), and 24 over the whole range. The
    // grid is the inverse of that function, interpolated linearly between
    // four times as many equally spaced velocities.
    auto scan = [&](double* lo, double* hi, double* flo, double* fhi) {
        constexpr double kPerMode = 16.0, kEven = 24.0;
        auto weight = [&](double c) {
            return kPerMode * phase_count(ly, L, wave, omega, c) + kEven * (c - cmin) / (cmax - cmin);
        };
        const double total = weight(cmax);
        const auto points = static_cast<std::size_t>(std::min(20000.0, std::ceil(total)));
        const std::size_t samples = 4 * points;
        double cp = cmin, fp = F(cmin);
        std::size_t changes = 0, j = 1;
        double target = total / double(points);
        double c_prev = cmin, v_prev = weight(cmin);
        auto visit = [&](double cj) {
            const double fj = F(cj);
            const bool change = negative(fj) != negative(fp);
            if (change && changes == k) {
                *lo = cp; *hi = cj; *flo = fp; *fhi = fj;
                return true;
            }
            if (change) ++changes;
            cp = cj;
            fp = fj;
            return false;
        };
        for (std::size_t q = 1; q <= samples && j < points; ++q) {
            const double cq = q == samples ? cmax : cmin + (cmax - cmin) * double(q) / double(samples);
            const double vq = weight(cq);
            while (j < points && target <= vq) {
                const double cj = vq > v_prev ? c_prev + (cq - c_prev) * (target - v_prev) / (vq - v_prev) : cq;
                if (cj > cp && visit(cj)) return true;
                ++j;
                target = total * double(j) / double(points);
            }
            c_prev = cq;
            v_prev = vq;
        }
        return visit(cmax);
    };

    // The roots at the last three frequencies (newest first), and the error
    // of the last prediction.
    double fs[3] = {0.0, 0.0, 0.0}, cs[3] = {0.0, 0.0, 0.0};
    std::size_t known = 0;
    double miss = 0.0;
    for (std::size_t n = 0; n < rq.frequencies; ++n) {
        const std::size_t j = order[n];
        const double f = rq.frequency[j];
        omega = kTwoPi * f;
        double lo = 0.0, hi = 0.0, flo = 0.0, fhi = 0.0, cp = 0.0;
        bool found = false;
        // Tracking from the previous roots, where the frequencies are close
        // (a step of more than a half may carry a mode past two others).
        const bool track = known > 0 && f <= 1.5 * fs[0];
        if (track) {
            cp = known > 1 && fs[0] != fs[1] ? extrapolate(fs, cs, known, f) : cs[0];
            if (!(cp > cmin && cp < cmax)) cp = cs[0];
            double w = std::max(4.0 * miss, 1e-9 * cp);
            if (known < 3) w = std::max(w, 0.5 * std::fabs(cp - cs[0]) + 1e-4 * cp);
            const double fp = F(cp);
            if (fp == 0.0) {
                lo = hi = cp;
                found = true;
            } else if (negative(fp) == below) {  // the root lies above cp
                lo = cp;
                flo = fp;
                for (;;) {
                    hi = std::min(lo + w, cmax);
                    fhi = F(hi);
                    if (negative(fhi) != below) {
                        found = true;
                        break;
                    }
                    if (hi >= cmax) break;
                    lo = hi;
                    flo = fhi;
                    w *= 2.0;
                }
            } else {  // below cp
                hi = cp;
                fhi = fp;
                for (;;) {
                    lo = hi - w;
                    if (lo <= cmin) break;
                    flo = F(lo);
                    if (negative(flo) == below) {
                        found = true;
                        break;
                    }
                    hi = lo;
                    fhi = flo;
                    w *= 2.0;
                }
            }
        }
        double c = 0.0;
        if (found) {
            c = lo == hi ? lo : brent(F, lo, hi, flo, fhi, kTolerance * hi);
            // A root far from the prediction may belong to another mode.
            if (std::fabs(c - cp) > 0.1 * cp) found = false;
        }
        const bool scanned = !found;
        if (!found) {
            if (!scan(&lo, &hi, &flo, &fhi)) {
                out[j] = kNaN;
                known = 0;
                continue;
            }
            c = brent(F, lo, hi, flo, fhi, kTolerance * hi);
        }
        double v = c;
        if (rq.group) {
            // Implicit differentiation of F(c, omega) = 0.
            const double hc = 1e-7 * c;
            const double c_up = std::min(c + hc, cmax);
            const double fc = (F(c_up) - F(c - hc)) / (c_up - c + hc);
            const double w0 = omega, hw = 1e-7 * w0;
            omega = w0 + hw;
            const double fwp = F(c);
            omega = w0 - hw;
            const double fwm = F(c);
            omega = w0;
            const double fw = (fwp - fwm) / (2.0 * hw);
            const double dcdw = -fw / fc;
            v = c / (1.0 - (omega / c) * dcdw);
        }
#ifdef MOLVAK_DISPERSION_TRACE
        std::fprintf(stderr, "f %g c %.12g cp %.12g scanned %d count %zu\n", f, c, cp, int(scanned), count);
#endif
        out[j] = v;
        miss = scanned ? 0.0 : std::fabs(c - cp);
        if (scanned) known = 0;
        for (std::size_t i = 2; i > 0; --i) {
            fs[i] = fs[i - 1];
            cs[i] = cs[i - 1];
        }
        fs[0] = f;
        cs[0] = c;
        known = std::min<std::size_t>(known + 1, 3);
    }
    if (evaluations != nullptr) *evaluations = count;
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

void curves(const Models& models, const Request& request, double* out, std::size_t workers) {
    const std::size_t M = models.models, L = models.layers, F = request.frequencies;
    if (M == 0 || F == 0) return;
    Buffer<std::size_t> order(F, "frequency order");
    std::iota(order.data(), order.data() + F, std::size_t{0});
    std::stable_sort(order.data(), order.data() + F,
                     [&](std::size_t a, std::size_t b) { return request.frequency[a] < request.frequency[b]; });
    workers = std::max<std::size_t>(1, std::min(workers, M));
    std::size_t cells = 0;
    if (!checked_mul(workers, L, &cells)) throw AllocFailure("layers");
    Buffer<Layer> layers(cells, "layers");
    auto run = [&](std::size_t w) {
        Layer* ly = layers.data() + w * L;
        const std::size_t first = M * w / workers, last = M * (w + 1) / workers;
        for (std::size_t m = first; m < last; ++m) {
            load(models, m, ly);
            solve_model(ly, L, request, order.data(), out + m * F,
                        request.evaluations != nullptr ? request.evaluations + m : nullptr);
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
