// The dispersion functions of W models at once (dispersion_lanes.hpp),
// written once over the lane vocabulary and compiled once per instruction set.
#include "simd/lanes.hpp"

#include <cstdint>

#include "dispersion/dispersion_lanes.hpp"

namespace molvak::dispersion::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

// Vectors of doubles with the arithmetic operators, so that the formulas read
// as in the scalar code.
struct V {
    vd v;
};
inline V operator+(V a, V b) { return {add(a.v, b.v)}; }
inline V operator-(V a, V b) { return {sub(a.v, b.v)}; }
inline V operator*(V a, V b) { return {mul(a.v, b.v)}; }
inline V operator/(V a, V b) { return {divide(a.v, b.v)}; }
inline V operator-(V a) { return {sub(set1(0.0), a.v)}; }
inline V operator+(double a, V b) { return {add(set1(a), b.v)}; }
inline V operator+(V a, double b) { return {add(a.v, set1(b))}; }
inline V operator-(double a, V b) { return {sub(set1(a), b.v)}; }
inline V operator-(V a, double b) { return {sub(a.v, set1(b))}; }
inline V operator*(double a, V b) { return {mul(set1(a), b.v)}; }
inline V operator*(V a, double b) { return {mul(a.v, set1(b))}; }
inline V operator/(double a, V b) { return {divide(set1(a), b.v)}; }
inline V vsqrt(V a) { return {sqrt(a.v)}; }
inline V vsel(vm m, V a, V b) { return {select(m, a.v, b.v)}; }
inline V load(const double* p) { return {loadu(p)}; }

// e^x and e^x - 1 for x <= 0 (below -700 taken as -700): x = n ln 2 + r,
// |r| <= ln 2 / 2, e^r - 1 by its Taylor series to r^13 (a relative error
// below 1e-16), scaled by 2^n from the exponent bits.
inline void exp_parts(V x, V* e, V* em1) {
    const double kMagic = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
    const double kLog2e = 1.4426950408889634;
    const double kLn2Hi = 0.6931471803691238, kLn2Lo = 1.9082149292705877e-10;
    x = vsel(lt(x.v, set1(-700.0)), V{set1(-700.0)}, x);
    const V t = x * kLog2e + kMagic;
    const V nf = t - kMagic;
    const V r = (x - nf * kLn2Hi) - nf * kLn2Lo;
    // e^r - 1 = r P(r), P(r) = sum_k r^k / (k + 1)! to k = 12, by Estrin's
    // scheme (a short dependency chain) with fused multiply-adds.
    const V r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
    auto pair = [&](double a, double b) { return V{fmadd(r.v, set1(b), set1(a))}; };
    auto join = [](V lo, V hi, V x) { return V{fmadd(hi.v, x.v, lo.v)}; };
    const V q0 = join(pair(1.0, 0.5), pair(1.0 / 6.0, 1.0 / 24.0), r2);
    const V q1 = join(pair(1.0 / 120.0, 1.0 / 720.0), pair(1.0 / 5040.0, 1.0 / 40320.0), r2);
    const V q2 = join(pair(1.0 / 362880.0, 1.0 / 3628800.0), pair(1.0 / 39916800.0, 1.0 / 479001600.0), r2);
    const V p = join(join(q0, q1, r4), join(q2, V{set1(1.0 / 6227020800.0)}, r4), r8);
    const V pm1 = p * r;  // e^r - 1
    const vi n = isub(bits(t.v), bits(set1(kMagic)));
    const V scale{from_bits(sll<52>(iadd(n, iset1(1023))))};
    *e = scale + scale * pm1;
    *em1 = scale * pm1 + (scale - 1.0);
}

// The normalised cosh, sinh / nu and the factor of the terms that do not
// grow, as layer_functions in dispersion.cpp.
inline void layer_functions(V n2, V x, V* c, V* s, V* unit) {
    const V zero{set1(0.0)}, one{set1(1.0)};
    const vm evanescent = gt(n2.v, zero.v);
    const V n = vsqrt(V{absval(n2.v)});  // |nu|
    const V a = n * x;
    const vm moving = gt(a.v, zero.v);
    // One division per layer: 1 / ((2 + e^-2a - 1) |nu|) for evanescent
    // waves, 1 / |nu| for propagating ones.
    V em = zero, q = zero, sn = zero, cs = one;
    if (any(evanescent)) {
        V qm1;
        exp_parts(-a, &q, &qm1);
        em = qm1 * (q + 1.0);  // e^-2a - 1 = (q - 1)(q + 1), accurate for small a
    }
    if (any(invert(evanescent))) {
        vd sv, cv;
        sincos(a.v, &sv, &cv);
        sn = V{sv};
        cs = V{cv};
    }
    const V den = vsel(evanescent, (2.0 + em) * n, n);
    const V r = 1.0 / vsel(moving, den, one);
    *c = vsel(evanescent, one, cs);
    *s = vsel(moving, vsel(evanescent, -em, sn) * r, x);
    *unit = vsel(evanescent, 2.0 * q * n * r, one);
}

template <int N>
inline void keep_in_range(V (&y)[N]) {
    vd big = absval(y[0].v);
    for (int i = 1; i < N; ++i) big = select(gt(absval(y[i].v), big), absval(y[i].v), big);
    const vm rescale = both(gt(big, set1(0.0)),
                            invert(both(le(big, set1(1e150)), ge(big, set1(1e-150)))));
    if (!any(rescale)) return;
    const V s = vsel(rescale, 1.0 / V{big}, V{set1(1.0)});
    for (V& v : y) v = v * s;
}

void rayleigh(const LaneLayers& ly, const double* cp, const double* op, double* out) {
    const std::size_t L = ly.layers;
    const V c = load(cp), omega = load(op);
    const V c2 = c * c;
    const V inv_c2 = 1.0 / c2;
    const V k = omega / c;
    const std::size_t top = (L - 1) * W;
    V t = c2 * load(ly.inv_vs2 + top);
    const V ra = vsqrt(1.0 - t * load(ly.g + top));
    const V rb = vsqrt(1.0 - t);
    const V rr = ra * rb;
    V y[5] = {rr - 1.0, 2.0 - t - 2.0 * rr, rb * t, -(ra * t), (2.0 - t) * (2.0 - t) - 4.0 * rr};
    for (std::size_t i = L - 1; i-- > 0;) {
        const std::size_t at = i * W;
        const V r = load(ly.ratio + at);
        const V y0 = y[0], y1 = y[1] * r, y2 = y[2] * r, y3 = y[3] * r, y4 = y[4] * r * r;
        t = c2 * load(ly.inv_vs2 + at);
        const V u = load(ly.vs2 + at) * inv_c2, u2 = u * u, t2 = t * t, g = load(ly.g + at);
        const V x = k * load(ly.h + at);
        V ca, sa, ga, cb, sb, gb;
        layer_functions(1.0 - t * g, x, &ca, &sa, &ga);
        layer_functions(1.0 - t, x, &cb, &sb, &gb);
        const V cc = ca * cb, ss = sa * sb, cs = ca * sb, sc = sa * cb, one = ga * gb;
        const V x0 = sc * u;
        const V x1 = cs * u;
        const V x2 = cs + x0 - x1;
        const V x3 = g * sc;
        const V x4 = -x0 + x1 + x3;
        const V x5 = ss * u;
        const V x6 = 2 * cc;
        const V x7 = g * ss;
        const V x8 = u * x7;
        const V x9 = 8 * one;
        const V x10 = ss * u2;
        const V x11 = -8 * cc * u2 - 4 * x8 + u2 * x9 + 8 * x10 + 4 * x7;
        const V x12 = cc * u;
        const V x13 = cc + 4 * one * u + 8 * x5 - ss - x11 - 4 * x12;
        const V x15 = -2 * x0 + 2 * x1;
        const V x17 = one * u;
        const V x18 = 16 * u2;
        const V x19 = -cc * x18 + one * x18 + 16 * x10 + 8 * x7 - 8 * x8;
        const V x20 = ss * t;
        const V x22 = 4 * cs;
        const V x23 = 4 * x0;
        const V x24 = 4 * x1;
        const V x25 = -x23 + x24;
        const V x26 = -x22 + x25;
        const V x27 = sc * t - 4 * sc + x22 + x23 - x24;
        const V x28 = 4 * x3;
        const V x29 = cs * t + x26 + x28;
        const V x30 = 32 * u2;
        const V x31 = -cc * x30 + one * x30 + 32 * x10 + 16 * x7 - 16 * x8;
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
    storeu(out, y[4].v);
}

void love(const LaneLayers& ly, const double* cp, const double* op, double* out) {
    const std::size_t L = ly.layers;
    const V c = load(cp), omega = load(op);
    const V c2 = c * c;
    const V k = omega / c;
    V y[2] = {V{set1(1.0)}, -vsqrt(1.0 - c2 * load(ly.inv_vs2 + (L - 1) * W))};
    for (std::size_t i = L - 1; i-- > 0;) {
        const std::size_t at = i * W;
        const V n2 = 1.0 - c2 * load(ly.inv_vs2 + at);
        V cb, sb, unit;
        layer_functions(n2, k * load(ly.h + at), &cb, &sb, &unit);
        const V y0 = y[0], y1 = y[1] * load(ly.ratio + at);
        y[0] = cb * y0 - sb * y1;
        y[1] = -n2 * sb * y0 + cb * y1;
        keep_in_range(y);
    }
    storeu(out, y[1].v);
}

}  // namespace

const LaneKernels lane_kernels = {W, &rayleigh, &love};

}  // namespace molvak::dispersion::MOLVAK_LANES_NS
