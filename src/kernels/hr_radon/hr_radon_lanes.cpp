// The slowness loops of the high-resolution Radon transform, written once
// over the lane vocabulary and compiled once per instruction set.
#include "simd/lanes.hpp"

#include "hr_radon/hr_radon_lanes.hpp"

namespace molvak::hr_radon::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

// Eight partial sums of a product over h, whatever the vector width.
constexpr std::size_t kParts = 8;
static_assert(kParts % W == 0, "the partial sums fill whole vectors");
constexpr std::size_t R = kParts / W;

struct Partials {
    vd re[R], im[R];
    double tail_re[kParts], tail_im[kParts];
};

inline void start(Partials& s) {
    for (std::size_t r = 0; r < R; ++r) s.re[r] = s.im[r] = set1(0.0);
    for (std::size_t j = 0; j < kParts; ++j) s.tail_re[j] = s.tail_im[j] = 0.0;
}

// The total, in one order for every width.
inline void finish(Partials& s, double* re, double* im) {
    double a[kParts], b[kParts];
    for (std::size_t r = 0; r < R; ++r) {
        storeu(a + r * W, s.re[r]);
        storeu(b + r * W, s.im[r]);
    }
    for (std::size_t j = 0; j < kParts; ++j) {
        a[j] += s.tail_re[j];
        b[j] += s.tail_im[j];
    }
    *re = ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
    *im = ((b[0] + b[1]) + (b[2] + b[3])) + ((b[4] + b[5]) + (b[6] + b[7]));
}

void powers(const double* zr, const double* zi, std::size_t nc, std::size_t nx, double* pr, double* pi) {
    for (std::size_t h = 0; h < nc; ++h) {
        pr[h] = 1.0;
        pi[h] = 0.0;
    }
    const std::size_t body = nc / W * W;
    for (std::size_t l = 1; l < nx; ++l) {
        const double* ar = pr + (l - 1) * nc;
        const double* ai = pi + (l - 1) * nc;
        double* br = pr + l * nc;
        double* bi = pi + l * nc;
        for (std::size_t h = 0; h < body; h += W) {
            const vd a = loadu(ar + h), b = loadu(ai + h), c = loadu(zr + h), d = loadu(zi + h);
            storeu(br + h, sub(mul(a, c), mul(b, d)));
            storeu(bi + h, add(mul(a, d), mul(b, c)));
        }
        for (std::size_t h = body; h < nc; ++h) {
            br[h] = ar[h] * zr[h] - ai[h] * zi[h];
            bi[h] = ar[h] * zi[h] + ai[h] * zr[h];
        }
    }
}

void lags(const double* q, const double* pr, const double* pi, std::size_t nc, std::size_t nx, double* t) {
    const std::size_t body = nc / kParts * kParts;
    for (std::size_t l = 0; l < nx; ++l) {
        const double* ar = pr + l * nc;
        const double* ai = pi + l * nc;
        Partials s;
        start(s);
        for (std::size_t h0 = 0; h0 < body; h0 += kParts) {
            for (std::size_t r = 0; r < R; ++r) {
                const std::size_t h = h0 + r * W;
                const vd qv = loadu(q + h);
                s.re[r] = add(s.re[r], mul(qv, loadu(ar + h)));
                s.im[r] = add(s.im[r], mul(qv, loadu(ai + h)));
            }
        }
        for (std::size_t h = body; h < nc; ++h) {
            s.tail_re[h - body] += q[h] * ar[h];
            s.tail_im[h - body] += q[h] * ai[h];
        }
        finish(s, t + 2 * l, t + 2 * l + 1);
    }
}

void horner(const double* y, std::size_t nx, const double* q, const double* ar, const double* ai,
            const double* zr, const double* zi, std::size_t nc, double* sr, double* si, double* m) {
    for (std::size_t h = 0; h < nc; ++h) {
        sr[h] = y[2 * (nx - 1)];
        si[h] = y[2 * (nx - 1) + 1];
    }
    const std::size_t body = nc / W * W;
    for (std::size_t ii = nx - 1; ii-- > 0;) {
        const double yr = y[2 * ii], yi = y[2 * ii + 1];
        const vd vyr = set1(yr), vyi = set1(yi);
        for (std::size_t h = 0; h < body; h += W) {
            // s * conj(z) + y
            const vd a = loadu(sr + h), b = loadu(si + h), c = loadu(zr + h), d = loadu(zi + h);
            storeu(sr + h, add(add(mul(a, c), mul(b, d)), vyr));
            storeu(si + h, add(sub(mul(b, c), mul(a, d)), vyi));
        }
        for (std::size_t h = body; h < nc; ++h) {
            const double a = sr[h], b = si[h];
            sr[h] = (a * zr[h] + b * zi[h]) + yr;
            si[h] = (b * zr[h] - a * zi[h]) + yi;
        }
    }
    for (std::size_t h = 0; h < nc; ++h) {
        // q * conj(alpha) * s
        const double a = ar[h] * sr[h] + ai[h] * si[h];
        const double b = ar[h] * si[h] - ai[h] * sr[h];
        m[2 * h] = q[h] * a;
        m[2 * h + 1] = q[h] * b;
    }
}

void gram(const double* q, const double* lr, const double* li, std::size_t nx, std::size_t nc, double* K) {
    const std::size_t body = nc / kParts * kParts;
    for (std::size_t i = 0; i < nx; ++i) {
        const double* ar = lr + i * nc;
        const double* ai = li + i * nc;
        for (std::size_t k = 0; k <= i; ++k) {
            const double* br = lr + k * nc;
            const double* bi = li + k * nc;
            Partials s;
            start(s);
            for (std::size_t h0 = 0; h0 < body; h0 += kParts) {
                for (std::size_t r = 0; r < R; ++r) {
                    const std::size_t h = h0 + r * W;
                    // q L_ih conj(L_kh)
                    const vd qv = loadu(q + h), a = loadu(ar + h), b = loadu(ai + h);
                    const vd c = loadu(br + h), d = loadu(bi + h);
                    s.re[r] = add(s.re[r], mul(qv, add(mul(a, c), mul(b, d))));
                    s.im[r] = add(s.im[r], mul(qv, sub(mul(b, c), mul(a, d))));
                }
            }
            for (std::size_t h = body; h < nc; ++h) {
                s.tail_re[h - body] += q[h] * (ar[h] * br[h] + ai[h] * bi[h]);
                s.tail_im[h - body] += q[h] * (ai[h] * br[h] - ar[h] * bi[h]);
            }
            finish(s, K + 2 * (i * nx + k), K + 2 * (i * nx + k) + 1);
        }
    }
}

void backproject(const double* y, const double* q, const double* lr, const double* li, std::size_t nx,
                 std::size_t nc, double* sr, double* si, double* m) {
    for (std::size_t h = 0; h < nc; ++h) sr[h] = si[h] = 0.0;
    const std::size_t body = nc / W * W;
    for (std::size_t i = 0; i < nx; ++i) {
        const double yr = y[2 * i], yi = y[2 * i + 1];
        const vd vyr = set1(yr), vyi = set1(yi);
        const double* ar = lr + i * nc;
        const double* ai = li + i * nc;
        for (std::size_t h = 0; h < body; h += W) {
            // conj(L_ih) y_i
            const vd a = loadu(ar + h), b = loadu(ai + h);
            storeu(sr + h, add(loadu(sr + h), add(mul(a, vyr), mul(b, vyi))));
            storeu(si + h, add(loadu(si + h), sub(mul(a, vyi), mul(b, vyr))));
        }
        for (std::size_t h = body; h < nc; ++h) {
            sr[h] += ar[h] * yr + ai[h] * yi;
            si[h] += ar[h] * yi - ai[h] * yr;
        }
    }
    for (std::size_t h = 0; h < nc; ++h) {
        m[2 * h] = q[h] * sr[h];
        m[2 * h + 1] = q[h] * si[h];
    }
}

}  // namespace

const LaneKernels lane_kernels = {&powers, &lags, &horner, &gram, &backproject};

}  // namespace molvak::hr_radon::MOLVAK_LANES_NS
