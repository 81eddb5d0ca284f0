// Sub-array sweep of the slant stack, in the frequency domain.
//
// A window's image at bin b and slowness p is dt times the DFT (length n,
// W = e^{-2 pi i / n}) of its tau-p column, the sum of its segments'
// columns; the DFT being linear, it is the sum over the window's segments of
//
//   Q_j(b) = ((x_{j+1} - x_j) * (A_j(b) + A_{j+1}(b))) * 0.5,
//
// A_i(b) = sum_{j < nt} a_i[j] W^{bj} the DFT of trace i's column: its
// amplitudes at tau_j + x_i p. The segments are summed over every window by
// the block sums of window_sums.hpp, so nothing is transformed per window.
//
// Trace i is read at the sample positions h_j = s + j, s = (x_i p) / dt =
// M + beta (M = floor(s), 0 <= beta < 1). The interpolation (the tau-p
// kernel's, radon_uniform.hpp) gives, wherever h_j >= 0 (that is j >= -M),
//
//   a[j] = (1 - beta) u[j + M] + beta u[j + M + 1],   u[k] = 0 for k >= nt,
//
// so that, with R(lo, hi) = sum_{lo <= k < hi} u[k] W^{bk} cut to the
// samples that land on j in [0, nt),
//
//   A(b) = (1 - beta) W^{-bM} R1 + beta W^{-b(M+1)} R2,
//   M >= 0:  R1 = R(M, nt),   R2 = R(M + 1, nt)              (suffix sums)
//   M < 0:   R1 = R(0, nt + M), R2 = R(1, nt + M + 1)        (prefix sums)
//
// and the positions -2 < h_j < 0 (at most two, M < 0: the interpolation
// reaching before the trace's first sample) are added term by term with the
// interpolation itself. Positions h >= nt and h <= -2 read nothing.
//
// One pass over a trace's samples gives the running sums at every k for a
// few bins at once, from which every slowness takes its two: about nt
// complex multiply-adds per trace and bin, instead of a transform per
// window and slowness. Every range sum is a running sum of its own terms,
// never a difference: R(0, e) is u[0] plus the running sum from k = 1 on.
// W^{bk} comes from the integer b k mod n, the sine and cosine reduced to
// the first quadrant; no recurrence.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "radon/radon_uniform.hpp"
#include "sweep/sweep.hpp"
#include "sweep/window_sums.hpp"

namespace molvak::sweep {

namespace {

constexpr std::size_t T = kSlantBins;
constexpr std::size_t kNoBlock = std::numeric_limits<std::size_t>::max();
// The floor of the shift of a trace that reads no sample at that slowness.
constexpr std::int64_t kNothing = std::numeric_limits<std::int64_t>::min();

std::size_t product(std::size_t a, std::size_t b, const char* what) {
    std::size_t out = 0;
    if (!checked_mul(a, b, &out)) throw AllocFailure(what);
    return out;
}

// e^{-2 pi i r / n} for 0 <= r < n: exact at r = 0 and at r = n / 2, the
// angle reduced to [0, pi / 2] through integers.
void root(std::uint64_t r, std::uint64_t n, double* re, double* im) {
    const bool lower = 2 * r > n;  // e^{-2 pi i r / n} = conj(e^{-2 pi i (n - r) / n})
    if (lower) r = n - r;
    const double pi = 3.141592653589793;
    double c, s;
    if (4 * r > n) {  // angle pi - y
        const double y = (pi * static_cast<double>(n - 2 * r)) / static_cast<double>(n);
        c = -std::cos(y);
        s = std::sin(y);
    } else {
        const double y = (pi * static_cast<double>(2 * r)) / static_cast<double>(n);
        c = std::cos(y);
        s = std::sin(y);
    }
    *re = c;
    *im = lower ? s : -s;
}

// The per-call state of one pass (a tile of up to T bins).
struct Pass {
    const Gather& g;
    std::size_t nc;
    std::size_t count;  // bins of the tile
    std::size_t width;  // doubles per row: count x nc complex
    SlantWork& w;
};

// W^{bk} for the tile's bins b0 .. b0 + count - 1 (the last one repeated up
// to T), k = 0 .. nt + 1: row k holds T real parts, then T imaginary parts.
void twiddles(std::size_t nt, std::uint64_t n, std::size_t b0, std::size_t count, double* tw) {
    for (std::size_t q = 0; q < T; ++q) {
        const std::uint64_t b = b0 + std::min(q, count - 1);
        std::uint64_t r = 0;  // b k mod n
        for (std::size_t k = 0; k < nt + 2; ++k) {
            root(r, n, tw + k * 2 * T + q, tw + k * 2 * T + T + q);
            r += b;
            if (r >= n) r -= n;
        }
    }
}

// Trace i's transform at the tile's bins and every slowness, into
// a[(q * nc + v) * 2] (real part, then imaginary part).
void trace_transform(const Pass& ps, std::size_t i, double* a) {
    const Gather& g = ps.g;
    SlantWork& w = ps.w;
    const auto nt = static_cast<std::int64_t>(g.nt);
    const double* u = g.data + i * g.nt;
    const double* tw = w.twiddle.data();
    double* shift = w.shift.data();
    double* beta = w.beta.data();
    std::int64_t* whole = w.whole.data();
    bool want_suffix = false, want_prefix = false;
    for (std::size_t v = 0; v < ps.nc; ++v) {
        const double s = (g.x[i] * w.slowness[v]) / g.dt;
        shift[v] = s;
        if (!(s > -(static_cast<double>(nt) + 1.0) && s < static_cast<double>(nt))) {
            whole[v] = kNothing;  // every position at or beyond nt, at or below -2, or NaN
            continue;
        }
        const double left = std::floor(s);
        whole[v] = static_cast<std::int64_t>(left);
        beta[v] = s - left;
        if (whole[v] >= 0) want_suffix = true;
        else if (whole[v] > -nt) want_prefix = true;
    }
    if (want_suffix) {  // suffix[k] = sum_{k' >= k} u[k'] W^{bk'}, suffix[nt] = 0
        // (real parts, then imaginary parts: one row of 2 T as the twiddles)
        double* run = w.suffix_run.data();
        double acc[2 * T] = {};
        for (std::size_t q = 0; q < 2 * T; ++q) run[g.nt * 2 * T + q] = 0.0;
        for (std::size_t k = g.nt; k-- > 0;) {
            const double uk = u[k];
            const double* t = tw + k * 2 * T;
            double* r = run + k * 2 * T;
            for (std::size_t q = 0; q < 2 * T; ++q) acc[q] = acc[q] + uk * t[q];
            for (std::size_t q = 0; q < 2 * T; ++q) r[q] = acc[q];
        }
    }
    if (want_prefix) {  // prefix[e] = sum_{1 <= k < e} u[k] W^{bk}, e = 1 .. nt
        double* run = w.prefix_run.data();
        double acc[2 * T] = {};
        for (std::size_t q = 0; q < 2 * T; ++q) run[2 * T + q] = 0.0;
        for (std::size_t k = 1; k < g.nt; ++k) {
            const double uk = u[k];
            const double* t = tw + k * 2 * T;
            double* r = run + (k + 1) * 2 * T;
            for (std::size_t q = 0; q < 2 * T; ++q) acc[q] = acc[q] + uk * t[q];
            for (std::size_t q = 0; q < 2 * T; ++q) r[q] = acc[q];
        }
    }
    const std::ptrdiff_t stride = 2 * static_cast<std::ptrdiff_t>(ps.nc);
    for (std::size_t v = 0; v < ps.nc; ++v) {
        const std::int64_t m = whole[v];
        double ar[T] = {}, ai[T] = {};
        if (m != kNothing && m > -nt) {
            const double *r1, *r2, *p0, *p1;
            double u0 = 0.0, sign;
            if (m >= 0) {
                r1 = w.suffix_run.data() + m * 2 * T;
                r2 = r1 + 2 * T;
                p0 = tw + m * 2 * T;  // W^{-bm} = conj(W^{bm})
                p1 = p0 + 2 * T;
                sign = -1.0;
            } else {
                r1 = w.prefix_run.data() + (nt + m) * 2 * T;
                r2 = r1 + 2 * T;
                u0 = u[0];
                p0 = tw + (-m) * 2 * T;  // W^{-bm} = W^{b|m|}
                p1 = p0 - 2 * T;
                sign = 1.0;
            }
            const double b = beta[v], keep = 1.0 - b;
            for (std::size_t q = 0; q < T; ++q) {
                const double x1r = r1[q] + u0, x1i = r1[T + q];
                const double c0r = p0[q], c0i = sign * p0[T + q];
                const double c1r = p1[q], c1i = sign * p1[T + q];
                const double y1r = c0r * x1r - c0i * x1i, y1i = c0i * x1r + c0r * x1i;
                const double y2r = c1r * r2[q] - c1i * r2[T + q];
                const double y2i = c1i * r2[q] + c1r * r2[T + q];
                ar[q] = keep * y1r + b * y2r;
                ai[q] = keep * y1i + b * y2i;
            }
        }
        if (m != kNothing && m < 0) {
            // positions -2 < h < 0, before the first sample
            const std::int64_t j0 = std::max<std::int64_t>(0, -m - 2);
            const std::int64_t j1 = std::min<std::int64_t>(nt, -m);
            for (std::int64_t j = j0; j < j1; ++j) {
                const double val = radon::uniform::interp(u, nt, shift[v] + static_cast<double>(j));
                const double* t = tw + j * 2 * T;
                for (std::size_t q = 0; q < T; ++q) {
                    ar[q] = ar[q] + val * t[q];
                    ai[q] = ai[q] + val * t[T + q];
                }
            }
        }
        double* o = a + 2 * v;
        for (std::size_t q = 0; q < ps.count; ++q) {
            o[q * stride] = ar[q];
            o[q * stride + 1] = ai[q];
        }
    }
}

}  // namespace

SlantWork slant_stack_work(const Gather& g, std::size_t nc, const Windows& windows) {
    SlantWork w;
    w.block = longest(windows);
    w.width = product(2 * T, nc, "sweep work");
    w.twiddle.reset(product(g.nt + 2, 2 * T, "sweep work"), "sweep work");
    w.suffix_run.reset(product(g.nt + 1, 2 * T, "sweep work"), "sweep work");
    w.prefix_run.reset(product(g.nt + 1, 2 * T, "sweep work"), "sweep work");
    w.slowness.reset(nc, "sweep work");
    w.beta.reset(nc, "sweep work");
    w.shift.reset(nc, "sweep work");
    w.whole.reset(nc, "sweep work");
    w.amplitude.reset(product(2, w.width, "sweep work"), "sweep work");
    const std::size_t block_rows = product(w.block, w.width, "sweep work");
    w.rows.reset(product(2, block_rows, "sweep work"), "sweep work");
    w.prefix.reset(product(2, block_rows, "sweep work"), "sweep work");
    w.suffix.reset(block_rows, "sweep work");
    w.scratch.reset(w.width, "sweep work");
    return w;
}

void slant_stack(const Gather& g, const double* c, std::size_t nc, std::size_t n,
                 std::size_t first_bin, std::size_t nbins, const Windows& windows,
                 const Output& out, SlantWork& work) {
    if (g.nx < 2 || g.nt < 1 || nc == 0 || nbins == 0) return;
    for (std::size_t v = 0; v < nc; ++v) work.slowness[v] = 1.0 / c[v];
    const std::size_t rows = g.nx - 1;
    const std::size_t block = work.block;
    const std::size_t nyquist = n % 2 == 0 ? n / 2 : kNoBlock;
    const double dt = g.dt;
    for (std::size_t q0 = 0; q0 < nbins; q0 += T) {
        const std::size_t count = std::min(T, nbins - q0);
        const Pass ps{g, nc, count, 2 * count * nc, work};
        const std::size_t width = ps.width;
        twiddles(g.nt, n, first_bin + q0, count, work.twiddle.data());
        // The segment rows, formed block by block as the window sums first
        // ask for them (two blocks held); trace transforms carried from one
        // block to the next.
        std::size_t resident[2] = {kNoBlock, kNoBlock};
        double* held = work.amplitude.data();
        double* next = held + width;
        std::size_t held_trace = kNoBlock;
        auto row = [&](std::size_t j) -> const double* {
            const std::size_t b = j / block, slot = b & 1;
            double* base = work.rows.data() + slot * block * width;
            if (resident[slot] != b) {
                const std::size_t r0 = b * block, r1 = std::min(rows, r0 + block);
                if (held_trace != r0) trace_transform(ps, r0, held);
                for (std::size_t r = r0; r < r1; ++r) {
                    trace_transform(ps, r + 1, next);
                    const double dx = g.x[r + 1] - g.x[r];
                    double* dst = base + (r - r0) * width;
                    for (std::size_t k = 0; k < width; ++k)
                        dst[k] = (dx * (held[k] + next[k])) * 0.5;
                    std::swap(held, next);
                }
                held_trace = r1;
                resident[slot] = b;
            }
            return base + (j - b * block) * width;
        };
        window_sums_of(row, rows, width, block, windows.first, windows.last, windows.count,
                       work.prefix.data(), work.suffix.data(), work.scratch.data(),
                       [&](std::size_t wi, const double* a, const double* b) {
                           for (std::size_t q = 0; q < count; ++q) {
                               const std::size_t bin = first_bin + q0 + q;
                               const bool real = bin == 0 || bin == nyquist;
                               double* o = out.data +
                                           2 * (static_cast<std::ptrdiff_t>(wi) * out.window_stride +
                                                static_cast<std::ptrdiff_t>(q0 + q) * out.freq_stride);
                               const double* aq = a + q * 2 * nc;
                               if (b != nullptr) {
                                   const double* bq = b + q * 2 * nc;
                                   for (std::size_t v = 0; v < nc; ++v) {
                                       o[2 * v] = (aq[2 * v] + bq[2 * v]) * dt;
                                       o[2 * v + 1] = real ? 0.0 : (aq[2 * v + 1] + bq[2 * v + 1]) * dt;
                                   }
                               } else {
                                   for (std::size_t v = 0; v < nc; ++v) {
                                       o[2 * v] = aq[2 * v] * dt;
                                       o[2 * v + 1] = real ? 0.0 : aq[2 * v + 1] * dt;
                                   }
                               }
                           }
                       });
    }
}

}  // namespace molvak::sweep
