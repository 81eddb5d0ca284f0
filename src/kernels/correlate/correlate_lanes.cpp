// The element-wise loops of the correlation, written once over the lane
// vocabulary and compiled once per instruction set. The tails take the same
// formulas one element at a time, so a value never depends on where it falls
// in a vector.
#include "simd/lanes.hpp"

#include <cmath>

#include "correlate/correlate_lanes.hpp"

namespace molvak::correlate::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

void split(const double* pairs, double* re, double* im, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        vd a, b;
        load_pairs(pairs + 2 * k, &a, &b);
        storeu(re + k, a);
        storeu(im + k, b);
    }
    for (; k < n; ++k) {
        re[k] = pairs[2 * k];
        im[k] = pairs[2 * k + 1];
    }
}

void split_modulus(const double* pairs, double* re, double* im, double* amp, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        vd a, b;
        load_pairs(pairs + 2 * k, &a, &b);
        storeu(re + k, a);
        storeu(im + k, b);
        storeu(amp + k, sqrt(add(mul(a, a), mul(b, b))));
    }
    for (; k < n; ++k) {
        const double a = pairs[2 * k], b = pairs[2 * k + 1];
        re[k] = a;
        im[k] = b;
        amp[k] = std::sqrt(a * a + b * b);
    }
}

void split_whiten(const double* pairs, const double* weight, double* re, double* im, std::size_t n) {
    const vd zero = set1(0.0);
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        vd a, b;
        load_pairs(pairs + 2 * k, &a, &b);
        const vd m = sqrt(add(mul(a, a), mul(b, b)));
        // lanes of a zero amplitude divide by zero and are dropped
        const vd s = zero_unless(gt(m, zero), divide(loadu(weight + k), m));
        storeu(re + k, mul(a, s));
        storeu(im + k, mul(b, s));
    }
    for (; k < n; ++k) {
        const double a = pairs[2 * k], b = pairs[2 * k + 1];
        const double m = std::sqrt(a * a + b * b);
        const double s = m > 0.0 ? weight[k] / m : 0.0;
        re[k] = a * s;
        im[k] = b * s;
    }
}

void whiten(double* re, double* im, const double* amp, const double* weight, std::size_t n) {
    const vd zero = set1(0.0);
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        const vd m = loadu(amp + k);
        const vd s = zero_unless(gt(m, zero), divide(loadu(weight + k), m));
        storeu(re + k, mul(loadu(re + k), s));
        storeu(im + k, mul(loadu(im + k), s));
    }
    for (; k < n; ++k) {
        const double s = amp[k] > 0.0 ? weight[k] / amp[k] : 0.0;
        re[k] *= s;
        im[k] *= s;
    }
}

void cross_add(const double* sr, const double* si, const double* xr, const double* xi, double* ar, double* ai,
               std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        const vd a = loadu(sr + k), b = loadu(si + k), c = loadu(xr + k), d = loadu(xi + k);
        storeu(ar + k, add(loadu(ar + k), add(mul(a, c), mul(b, d))));
        storeu(ai + k, add(loadu(ai + k), sub(mul(a, d), mul(b, c))));
    }
    for (; k < n; ++k) {
        ar[k] += sr[k] * xr[k] + si[k] * xi[k];
        ai[k] += sr[k] * xi[k] - si[k] * xr[k];
    }
}

void analytic(const double* sr, const double* si, const double* xr, const double* xi, const double* w, double* a,
              double* b, std::size_t n) {
    const vd two = set1(2.0);
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        const vd p = loadu(sr + k), q = loadu(si + k), u = loadu(xr + k), v = loadu(xi + k);
        const vd cr = mul(two, add(mul(p, u), mul(q, v)));
        const vd ci = mul(two, sub(mul(p, v), mul(q, u)));
        vd wr, wi;
        load_pairs(w + 2 * k, &wr, &wi);
        store_pairs(a + 2 * k, cr, ci);
        store_pairs(b + 2 * k, sub(mul(cr, wr), mul(ci, wi)), add(mul(cr, wi), mul(ci, wr)));
    }
    for (; k < n; ++k) {
        const double cr = 2.0 * (sr[k] * xr[k] + si[k] * xi[k]);
        const double ci = 2.0 * (sr[k] * xi[k] - si[k] * xr[k]);
        const double wr = w[2 * k], wi = w[2 * k + 1];
        a[2 * k] = cr;
        a[2 * k + 1] = ci;
        b[2 * k] = cr * wr - ci * wi;
        b[2 * k + 1] = cr * wi + ci * wr;
    }
}

void merge(const double* even, const double* odd, std::size_t m0, double* zr, double* zi, std::size_t n) {
    const double* e = even + 2 * m0;
    const double* o = odd + 2 * m0;
    std::size_t q = 0;
    for (; q + W <= n; q += W) {
        vd er, ei, orr, oi;
        load_pairs(e + 2 * q, &er, &ei);
        load_pairs(o + 2 * q, &orr, &oi);
        store_pairs(zr + 2 * q, er, orr);
        store_pairs(zi + 2 * q, ei, oi);
    }
    for (; q < n; ++q) {
        zr[2 * q] = e[2 * q];
        zi[2 * q] = e[2 * q + 1];
        zr[2 * q + 1] = o[2 * q];
        zi[2 * q + 1] = o[2 * q + 1];
    }
}

void phasor_add(const double* zr, const double* zi, double scale, double* lin, double* pr, double* pi,
                std::size_t n) {
    const vd zero = set1(0.0), one = set1(1.0), f = set1(scale);
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        const vd a = mul(loadu(zr + k), f), b = mul(loadu(zi + k), f);
        storeu(lin + k, add(loadu(lin + k), a));
        const vd m = sqrt(add(mul(a, a), mul(b, b)));
        // lanes where z = 0 divide by zero and are dropped
        const vd inv = zero_unless(gt(m, zero), divide(one, m));
        storeu(pr + k, add(loadu(pr + k), mul(a, inv)));
        storeu(pi + k, add(loadu(pi + k), mul(b, inv)));
    }
    for (; k < n; ++k) {
        const double a = zr[k] * scale, b = zi[k] * scale;
        lin[k] += a;
        const double m = std::sqrt(a * a + b * b);
        const double inv = m > 0.0 ? 1.0 / m : 0.0;
        pr[k] += a * inv;
        pi[k] += b * inv;
    }
}

}  // namespace

const LaneKernels lane_kernels = {&split, &split_modulus, &split_whiten, &whiten, &cross_add, &analytic, &merge,
                                  &phasor_add};

}  // namespace molvak::correlate::MOLVAK_LANES_NS
