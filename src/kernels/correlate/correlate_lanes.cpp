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

// cross_add_block over the windows in turn for N receivers, the running sums
// (r, i) held in registers: the same operations in the same order
template <std::size_t N>
inline void cross_windows_block(const double* s, const double* const* x, std::size_t k, std::size_t windows,
                                std::size_t step, std::size_t imag, vd* r, vd* i) {
    for (std::size_t w = 0; w < windows; ++w) {
        const double* sw = s + w * step + k;
        const vd a = loadu(sw), b = loadu(sw + imag);
        for (std::size_t q = 0; q < N; ++q) {
            const double* xw = x[q] + w * step + k;
            const vd c = loadu(xw), d = loadu(xw + imag);
            r[q] = add(r[q], add(mul(a, c), mul(b, d)));
            i[q] = add(i[q], sub(mul(a, d), mul(b, c)));
        }
    }
}

inline void whiten_cross_add_block(const double* pairs, const double* weight, const double* sr, const double* si,
                                   double* ar, double* ai) {
    vd a, b;
    load_pairs(pairs, &a, &b);
    const vd m = sqrt(add(mul(a, a), mul(b, b)));
    const vd s = zero_unless(gt(m, set1(0.0)), divide(loadu(weight), m));
    const vd c = mul(a, s), d = mul(b, s);
    const vd p = loadu(sr), q = loadu(si);
    storeu(ar, add(loadu(ar), add(mul(p, c), mul(q, d))));
    storeu(ai, add(loadu(ai), sub(mul(p, d), mul(q, c))));
}

inline void fold_block(const double* cr, const double* ci, const double* dr, const double* di, const double* w,
                       double* out) {
    const vd a = loadu(cr), b = loadu(ci), c = loadu(dr), d = loadu(di);
    const vd er = add(a, c), ei = add(b, d);
    const vd fr = sub(a, c), fi = sub(b, d);
    vd wr, wi;
    load_pairs(w, &wr, &wi);
    const vd orr = sub(mul(fr, wr), mul(fi, wi));
    const vd oi = add(mul(fr, wi), mul(fi, wr));
    store_pairs(out, sub(er, oi), add(ei, orr));
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

inline void whiten_analytic_block(const double* pairs, const double* weight, const double* sr, const double* si,
                                  const double* w, double* a, double* b) {
    vd x, y;
    load_pairs(pairs, &x, &y);
    const vd m = sqrt(add(mul(x, x), mul(y, y)));
    const vd s = zero_unless(gt(m, set1(0.0)), divide(loadu(weight), m));
    const vd u = mul(x, s), v = mul(y, s);
    const vd two = set1(2.0);
    const vd p = loadu(sr), q = loadu(si);
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

double sum(const double* x, std::size_t n) {
    static_assert(kSums % W == 0, "whole vectors of running sums");
    constexpr std::size_t V = kSums / W;
    vd acc[V];
    for (std::size_t v = 0; v < V; ++v) acc[v] = set1(0.0);
    std::size_t t = 0;
    for (; t + kSums <= n; t += kSums)
        for (std::size_t v = 0; v < V; ++v) acc[v] = add(acc[v], loadu(x + t + v * W));
    if (const std::size_t r = n - t) {
        alignas(64) double rest[kSums] = {};
        std::copy(x + t, x + n, rest);
        for (std::size_t v = 0; v < V; ++v) acc[v] = add(acc[v], loadu(rest + v * W));
    }
    alignas(64) double s[kSums];
    for (std::size_t v = 0; v < V; ++v) storeu(s + v * W, acc[v]);
    for (std::size_t width = kSums / 2; width > 0; width /= 2)
        for (std::size_t q = 0; q < width; ++q) s[q] = s[q] + s[q + width];
    return s[0];
}

inline void center_block(const double* x, vd mean, double* out) { storeu(out, sub(loadu(x), mean)); }

inline void center_taper_block(const double* x, vd mean, const double* taper, double* out) {
    storeu(out, mul(sub(loadu(x), mean), loadu(taper)));
}

void center(const double* x, double mean, const double* taper, double* out, std::size_t n) {
    const vd m = set1(mean);
    std::size_t t = 0;
    if (taper) {
        for (; t + W <= n; t += W) center_taper_block(x + t, m, taper + t, out + t);
        if (const std::size_t r = n - t) {
            Pad a = padded(x + t, r), b = padded(taper + t, r), c;
            center_taper_block(a.v, m, b.v, c.v);
            put(c, out + t, r);
        }
        return;
    }
    for (; t + W <= n; t += W) center_block(x + t, m, out + t);
    if (const std::size_t r = n - t) {
        Pad a = padded(x + t, r), c;
        center_block(a.v, m, c.v);
        put(c, out + t, r);
    }
}

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

template <std::size_t N>
void cross_windows(const double* s, const double* const* x, std::size_t windows, std::size_t step,
                   std::size_t imag, double* const* ar, std::size_t aimag, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        vd r[N], i[N];
        for (std::size_t q = 0; q < N; ++q) {
            r[q] = loadu(ar[q] + k);
            i[q] = loadu(ar[q] + aimag + k);
        }
        cross_windows_block<N>(s, x, k, windows, step, imag, r, i);
        for (std::size_t q = 0; q < N; ++q) {
            storeu(ar[q] + k, r[q]);
            storeu(ar[q] + aimag + k, i[q]);
        }
    }
    if (const std::size_t r = n - k) {
        for (std::size_t q = 0; q < N; ++q) {
            Pad e = padded(ar[q] + k, r), f = padded(ar[q] + aimag + k, r);
            for (std::size_t w = 0; w < windows; ++w) {
                const double* sw = s + w * step + k;
                const double* xw = x[q] + w * step + k;
                Pad a = padded(sw, r), b = padded(sw + imag, r), c = padded(xw, r), d = padded(xw + imag, r);
                cross_add_block(a.v, b.v, c.v, d.v, e.v, f.v);
            }
            put(e, ar[q] + k, r);
            put(f, ar[q] + aimag + k, r);
        }
    }
}

void cross_add_windows(const double* s, const double* const* x, std::size_t count, std::size_t windows,
                       std::size_t step, std::size_t imag, double* const* ar, std::size_t aimag, std::size_t n) {
    switch (count) {
        case 1: cross_windows<1>(s, x, windows, step, imag, ar, aimag, n); break;
        case 2: cross_windows<2>(s, x, windows, step, imag, ar, aimag, n); break;
        case 3: cross_windows<3>(s, x, windows, step, imag, ar, aimag, n); break;
        case 4: cross_windows<4>(s, x, windows, step, imag, ar, aimag, n); break;
        default: break;
    }
}

void whiten_cross_add(const double* pairs, const double* weight, const double* sr, const double* si, double* ar,
                      double* ai, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) whiten_cross_add_block(pairs + 2 * k, weight + k, sr + k, si + k, ar + k, ai + k);
    if (const std::size_t r = n - k) {
        Pad in = padded(pairs + 2 * k, r, 2), w = padded(weight + k, r), a = padded(sr + k, r),
            b = padded(si + k, r), e = padded(ar + k, r), f = padded(ai + k, r);
        whiten_cross_add_block(in.v, w.v, a.v, b.v, e.v, f.v);
        put(e, ar + k, r);
        put(f, ai + k, r);
    }
}

void fold(const double* cr, const double* ci, const double* dr, const double* di, const double* w, double* out,
          std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W) fold_block(cr + k, ci + k, dr + k, di + k, w + 2 * k, out + 2 * k);
    if (const std::size_t r = n - k) {
        Pad a = padded(cr + k, r), b = padded(ci + k, r), c = padded(dr + k, r), d = padded(di + k, r),
            t = padded(w + 2 * k, r, 2), o;
        fold_block(a.v, b.v, c.v, d.v, t.v, o.v);
        put(o, out + 2 * k, r, 2);
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

void whiten_analytic(const double* pairs, const double* weight, const double* sr, const double* si, const double* w,
                     double* a, double* b, std::size_t n) {
    std::size_t k = 0;
    for (; k + W <= n; k += W)
        whiten_analytic_block(pairs + 2 * k, weight + k, sr + k, si + k, w + 2 * k, a + 2 * k, b + 2 * k);
    if (const std::size_t r = n - k) {
        Pad in = padded(pairs + 2 * k, r, 2), g = padded(weight + k, r), p = padded(sr + k, r),
            q = padded(si + k, r), t = padded(w + 2 * k, r, 2), oa, ob;
        whiten_analytic_block(in.v, g.v, p.v, q.v, t.v, oa.v, ob.v);
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

const LaneKernels lane_kernels = {
    &sum, &center, &split, &split_modulus, &split_whiten, &whiten, &cross_add,
    &cross_add_windows, &whiten_cross_add, &fold, &analytic, &whiten_analytic, &merge, &phasor_add};

}  // namespace molvak::correlate::MOLVAK_LANES_NS
