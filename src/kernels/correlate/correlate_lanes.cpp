// The element-wise loops of the correlation, written once over the lane
// vocabulary and compiled once per instruction set. Each loop runs a block
// function over W elements at a time; the last few elements go through the
// same block function on padded copies, never through scalar code of their
// own: compiled with a wide set's flags, the compiler may turn such scalar
// code into fused multiply-adds (its complex-multiplication patterns do,
// whatever -ffp-contract says), and a value would then depend on where it
// falls. So every set gives the bits of the portable one.
#include "simd/lanes.hpp"

#include <algorithm>

#include "correlate/correlate_lanes.hpp"

namespace molvak::correlate::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

// ---- the blocks: W elements each

inline void split_block(const double* pairs, double* re, double* im) {
    vd a, b;
    load_pairs(pairs, &a, &b);
    storeu(re, a);
    storeu(im, b);
}

inline void split_modulus_block(const double* pairs, double* re, double* im, double* amp) {
    vd a, b;
    load_pairs(pairs, &a, &b);
    storeu(re, a);
    storeu(im, b);
    storeu(amp, sqrt(add(mul(a, a), mul(b, b))));
}

inline void split_whiten_block(const double* pairs, const double* weight, double* re, double* im) {
    vd a, b;
    load_pairs(pairs, &a, &b);
    const vd m = sqrt(add(mul(a, a), mul(b, b)));
    // lanes of a zero amplitude divide by zero and are dropped
    const vd s = zero_unless(gt(m, set1(0.0)), divide(loadu(weight), m));
    storeu(re, mul(a, s));
    storeu(im, mul(b, s));
}

inline void whiten_block(double* re, double* im, const double* amp, const double* weight) {
    const vd m = loadu(amp);
    const vd s = zero_unless(gt(m, set1(0.0)), divide(loadu(weight), m));
    storeu(re, mul(loadu(re), s));
    storeu(im, mul(loadu(im), s));
}

inline void cross_add_block(const double* sr, const double* si, const double* xr, const double* xi, double* ar,
                            double* ai) {
    const vd a = loadu(sr), b = loadu(si), c = loadu(xr), d = loadu(xi);
    storeu(ar, add(loadu(ar), add(mul(a, c), mul(b, d))));
    storeu(ai, add(loadu(ai), sub(mul(a, d), mul(b, c))));
}

inline void analytic_block(const double* sr, const double* si, const double* xr, const double* xi, const double* w,
                           double* a, double* b) {
    const vd two = set1(2.0);
    const vd p = loadu(sr), q = loadu(si), u = loadu(xr), v = loadu(xi);
    const vd cr = mul(two, add(mul(p, u), mul(q, v)));
    const vd ci = mul(two, sub(mul(p, v), mul(q, u)));
    vd wr, wi;
    load_pairs(w, &wr, &wi);
    store_pairs(a, cr, ci);
    store_pairs(b, sub(mul(cr, wr), mul(ci, wi)), add(mul(cr, wi), mul(ci, wr)));
}

inline void merge_block(const double* e, const double* o, double* zr, double* zi) {
    vd er, ei, orr, oi;
    load_pairs(e, &er, &ei);
    load_pairs(o, &orr, &oi);
    store_pairs(zr, er, orr);
    store_pairs(zi, ei, oi);
}

inline void phasor_block(const double* zr, const double* zi, vd f, double* lin, double* pr, double* pi) {
    const vd a = mul(loadu(zr), f), b = mul(loadu(zi), f);
    storeu(lin, add(loadu(lin), a));
    const vd m = sqrt(add(mul(a, a), mul(b, b)));
    // lanes where z = 0 divide by zero and are dropped
    const vd inv = zero_unless(gt(m, set1(0.0)), divide(set1(1.0), m));
    storeu(pr, add(loadu(pr), mul(a, inv)));
    storeu(pi, add(loadu(pi), mul(b, inv)));
}

// ---- padded copies for the last n < W elements

struct Pad {
    alignas(64) double v[2 * W];
};

// The first `count` elements (of `width` doubles each) of src, zeros after.
inline Pad padded(const double* src, std::size_t count, std::size_t width = 1) {
    Pad p{};
    std::copy(src, src + count * width, p.v);
    return p;
}

inline void put(const Pad& p, double* dst, std::size_t count, std::size_t width = 1) {
    std::copy(p.v, p.v + count * width, dst);
}

// ---- the loops

void split(const double* pairs, double* re, double* im, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) split_block(pairs + 2 * k, re + k, im + k);
    if (const std::size_t r = n - k) {
        Pad in = padded(pairs + 2 * k, r, 2), a, b;
        split_block(in.v, a.v, b.v);
        put(a, re + k, r);
        put(b, im + k, r);
    }
}

void split_modulus(const double* pairs, double* re, double* im, double* amp, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) split_modulus_block(pairs + 2 * k, re + k, im + k, amp + k);
    if (const std::size_t r = n - k) {
        Pad in = padded(pairs + 2 * k, r, 2), a, b, m;
        split_modulus_block(in.v, a.v, b.v, m.v);
        put(a, re + k, r);
        put(b, im + k, r);
        put(m, amp + k, r);
    }
}

void split_whiten(const double* pairs, const double* weight, double* re, double* im, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) split_whiten_block(pairs + 2 * k, weight + k, re + k, im + k);
    if (const std::size_t r = n - k) {
        Pad in = padded(pairs + 2 * k, r, 2), w = padded(weight + k, r), a, b;
        split_whiten_block(in.v, w.v, a.v, b.v);
        put(a, re + k, r);
        put(b, im + k, r);
    }
}

void whiten(double* re, double* im, const double* amp, const double* weight, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) whiten_block(re + k, im + k, amp + k, weight + k);
    if (const std::size_t r = n - k) {
        Pad a = padded(re + k, r), b = padded(im + k, r), m = padded(amp + k, r), w = padded(weight + k, r);
        whiten_block(a.v, b.v, m.v, w.v);
        put(a, re + k, r);
        put(b, im + k, r);
    }
}

void cross_add(const double* sr, const double* si, const double* xr, const double* xi, double* ar, double* ai,
               std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) cross_add_block(sr + k, si + k, xr + k, xi + k, ar + k, ai + k);
    if (const std::size_t r = n - k) {
        Pad a = padded(sr + k, r), b = padded(si + k, r), c = padded(xr + k, r), d = padded(xi + k, r);
        Pad e = padded(ar + k, r), f = padded(ai + k, r);
        cross_add_block(a.v, b.v, c.v, d.v, e.v, f.v);
        put(e, ar + k, r);
        put(f, ai + k, r);
    }
}

void analytic(const double* sr, const double* si, const double* xr, const double* xi, const double* w, double* a,
              double* b, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) analytic_block(sr + k, si + k, xr + k, xi + k, w + 2 * k, a + 2 * k, b + 2 * k);
    if (const std::size_t r = n - k) {
        Pad p = padded(sr + k, r), q = padded(si + k, r), u = padded(xr + k, r), v = padded(xi + k, r);
        Pad t = padded(w + 2 * k, r, 2), oa, ob;
        analytic_block(p.v, q.v, u.v, v.v, t.v, oa.v, ob.v);
        put(oa, a + 2 * k, r, 2);
        put(ob, b + 2 * k, r, 2);
    }
}

void merge(const double* even, const double* odd, std::size_t m0, double* zr, double* zi, std::size_t n) {
    const double* e = even + 2 * m0;
    const double* o = odd + 2 * m0;
    std::size_t q = 0;
    for (; q + W <= n; q += W) merge_block(e + 2 * q, o + 2 * q, zr + 2 * q, zi + 2 * q);
    if (const std::size_t r = n - q) {
        Pad a = padded(e + 2 * q, r, 2), b = padded(o + 2 * q, r, 2), c, d;
        merge_block(a.v, b.v, c.v, d.v);
        put(c, zr + 2 * q, r, 2);
        put(d, zi + 2 * q, r, 2);
    }
}

void phasor_add(const double* zr, const double* zi, double scale, double* lin, double* pr, double* pi,
                std::size_t n) {
    const vd f = set1(scale);
    std::size_t k = 0;
    for (; k + W <= n; k += W) phasor_block(zr + k, zi + k, f, lin + k, pr + k, pi + k);
    if (const std::size_t r = n - k) {
        Pad a = padded(zr + k, r), b = padded(zi + k, r), c = padded(lin + k, r), d = padded(pr + k, r),
            e = padded(pi + k, r);
        phasor_block(a.v, b.v, f, c.v, d.v, e.v);
        put(c, lin + k, r);
        put(d, pr + k, r);
        put(e, pi + k, r);
    }
}

}  // namespace

const LaneKernels lane_kernels = {&split, &split_modulus, &split_whiten, &whiten, &cross_add, &analytic, &merge,
                                  &phasor_add};

}  // namespace molvak::correlate::MOLVAK_LANES_NS
