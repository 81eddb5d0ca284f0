#include "correlate/correlate.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "correlate/correlate_lanes.hpp"
#include "simd/lane_table.hpp"

namespace molvak::correlate {

std::size_t spectra_size(std::size_t a, std::size_t b) {
    std::size_t out = 0;
    if (!checked_mul(a, b, &out)) throw AllocFailure("correlation spectra");
    return out;
}

namespace {

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Mean over [k - h, k + h] of v[0 .. n-1], the window shortened at the ends,
// from the prefix sums sums[0] = 0, sums[k + 1] = sums[k] + v[k]:
// (sums[hi] - sums[lo]) / (hi - lo).
inline double window_mean(const double* sums, std::size_t k, std::size_t h, std::size_t n) {
    const std::size_t lo = k > h ? k - h : 0;
    const std::size_t hi = std::min(n, k + h + 1);
    return (sums[hi] - sums[lo]) / static_cast<double>(hi - lo);
}

// Steps 1 to 4 for window w of channel r: its spectrum, as complex pairs in
// the forward plan's output.
const double* transform(const Problem& p, Workspace& ws, const LaneKernels& lk, std::size_t w, std::size_t r) {
    const std::size_t nt = p.samples, bins = ws.bins;
    const double* x;
    if (p.window32) {
        const float* single = p.window32[w] + static_cast<std::ptrdiff_t>(r) * p.row_stride[w];
        double* wide = ws.row.data();
        for (std::size_t t = 0; t < nt; ++t) wide[t] = static_cast<double>(single[t]);
        x = wide;
    } else {
        x = p.window[w] + static_cast<std::ptrdiff_t>(r) * p.row_stride[w];
    }
    double* in = ws.forward.padded_in(0, nt);
    // 1. demean
    const double mean = lk.sum(x, nt) / static_cast<double>(nt);
    // 2. normalise in time; 3. taper
    if (p.normalization == Normalization::none) {
        lk.center(x, mean, p.taper, in, nt);
    } else {
        lk.center(x, mean, nullptr, in, nt);
        std::size_t t = 0;
        if (p.normalization == Normalization::onebit) {
            for (t = 0; t < nt; ++t) in[t] = in[t] > 0.0 ? 1.0 : in[t] < 0.0 ? -1.0 : 0.0;
        } else {
            double* sums = ws.line.data();
            sums[0] = 0.0;
            for (t = 0; t < nt; ++t) sums[t + 1] = sums[t] + std::fabs(in[t]);
            for (t = 0; t < nt; ++t) {
                const double weight = window_mean(sums, t, p.ram_half, nt);
                in[t] = weight > 0.0 ? in[t] / weight : 0.0;
            }
        }
        if (p.taper)
            for (t = 0; t < nt; ++t) in[t] *= p.taper[t];
    }
    // 4. transform, zero-padded. Bin 0 (and the Nyquist bin of an even
    // length) is real: its imaginary part is set to exactly 0 first, so
    // that whitening sees the same amplitude the reference does.
    ws.forward.execute(1);
    double* out = const_cast<double*>(ws.forward.out(0));
    out[1] = 0.0;
    if (p.nfft % 2 == 0) out[2 * bins - 1] = 0.0;
    return out;
}

// Step 5 for the spectrum `out` (pairs): whitened into planar (re, im).
void whiten(const Problem& p, Workspace& ws, const LaneKernels& lk, const double* out, double* re, double* im) {
    const std::size_t bins = ws.bins;
    if (!p.whiten) {
        lk.split(out, re, im, bins);
    } else if (p.whiten_half == 0) {
        lk.split_whiten(out, p.whiten, re, im, bins);
    } else {
        // by the running mean of the amplitude, from its prefix sums
        double* amp = ws.scratch.data();
        double* sums = amp + bins;
        lk.split_modulus(out, re, im, amp, bins);
        sums[0] = 0.0;
        for (std::size_t k = 0; k < bins; ++k) sums[k + 1] = sums[k] + amp[k];
        for (std::size_t k = 0; k < bins; ++k) amp[k] = window_mean(sums, k, p.whiten_half, bins);
        lk.whiten(re, im, amp, p.whiten, bins);
    }
}

// The lags -L..L of a circular sequence c of n samples (lag k at index k mod
// n), times `scale`, added to out[0 .. 2L].
void add_lags(const double* c, std::size_t n, std::size_t lag, double scale, double* out) {
    const double* negative = c + (n - lag);
    for (std::size_t i = 0; i < lag; ++i) out[i] += negative[i] * scale;
    for (std::size_t i = 0; i <= lag; ++i) out[lag + i] += c[i] * scale;
}

// The inverse transforms. For an even length N = 2M they go through complex
// transforms of length M (fft::BackwardPlan), with w_k = e^{+2 pi i k / N}:
//
// - a real sequence c from its bins C_0..C_M: y = IDFT_M(E + i O), with
//   E_k = C_k + conj C_{M-k} and O_k = (C_k - conj C_{M-k}) w_k, holds
//   c_{2m} + i c_{2m+1}: the even and the odd samples, each a sum over
//   bins folded onto M, are real;
// - the analytic signal z from the one-sided spectrum Z = (C_0, 2 C_1, ...,
//   2 C_{M-1}, C_M, 0, ...): z_{2m} = IDFT_M(A), z_{2m+1} = IDFT_M(B), with
//   A_0 = C_0 + C_M, B_0 = C_0 - C_M, A_k = 2 C_k, B_k = 2 C_k w_k.
//
// An odd length takes FFTW's real inverse (fft::InversePlan): c from C, and
// the Hilbert transform of c (the imaginary part of z) from -i C.

// The correlation of one pair from the sum of its cross-spectra (ar, ai),
// added at the lags -L..L, times 1 / N.
void invert_linear(const Problem& p, Workspace& ws, const LaneKernels& lk, const double* ar, const double* ai,
                   double* lin) {
    const std::size_t N = p.nfft, L = p.max_lag;
    const double scale = 1.0 / static_cast<double>(N);
    if (N % 2 == 0) {
        const std::size_t M = N / 2;
        // conj C_{M-k}, in order of k, beside C_k
        double* dr = ws.scratch.data();
        double* di = dr + M;
        for (std::size_t k = 0; k < M; ++k) {
            dr[k] = ar[M - k];
            di[k] = -ai[M - k];
        }
        lk.fold(ar, ai, dr, di, ws.twiddle.data(), ws.half->in(0), M);
        ws.half->execute(1);
        add_lags(ws.half->out(0), N, L, scale, lin);  // as doubles, y is c
        return;
    }
    double* in = ws.inverse->in(0);
    for (std::size_t k = 0; k < ws.bins; ++k) {
        in[2 * k] = ar[k];
        in[2 * k + 1] = ai[k];
    }
    ws.inverse->execute(1);
    add_lags(ws.inverse->out(0), N, L, scale, lin);
}

// One window's analytic signal z of the pair with spectra s and x: Re z
// added to lin, z / |z| to (pr, pi), at the lags -L..L. Given `pairs` (an
// even length only), x is that spectrum whitened by the band weights as it
// is read, and (xr, xi) are not used.
void add_window_pws(const Problem& p, Workspace& ws, const LaneKernels& lk, const double* sr, const double* si,
                    const double* xr, const double* xi, const double* pairs, double* lin, double* pr, double* pi) {
    const std::size_t N = p.nfft, L = p.max_lag, lags = 2 * L + 1, bins = ws.bins;
    const double scale = 1.0 / static_cast<double>(N);
    double* zr = ws.lagged.data();
    double* zi = zr + lags;
    if (N % 2 == 0) {
        const std::size_t M = N / 2;
        double* a = ws.half->in(0);
        double* b = ws.half->in(1);
        double ends[4];  // x at bins 0 and M
        if (pairs) {
            // as the lanes whiten
            for (std::size_t e = 0; e < 2; ++e) {
                const std::size_t k = e * M;
                const double u = pairs[2 * k], v = pairs[2 * k + 1];
                const double m = std::sqrt(u * u + v * v);
                const double f = m > 0.0 ? p.whiten[k] / m : 0.0;
                ends[2 * e] = u * f;
                ends[2 * e + 1] = v * f;
            }
            lk.whiten_analytic(pairs + 2, p.whiten + 1, sr + 1, si + 1, ws.twiddle.data() + 2, a + 2, b + 2, M - 1);
        } else {
            ends[0] = xr[0], ends[1] = xi[0], ends[2] = xr[M], ends[3] = xi[M];
            lk.analytic(sr + 1, si + 1, xr + 1, xi + 1, ws.twiddle.data() + 2, a + 2, b + 2, M - 1);
        }
        const double c0 = sr[0] * ends[0] + si[0] * ends[1], c0i = sr[0] * ends[1] - si[0] * ends[0];
        const double cm = sr[M] * ends[2] + si[M] * ends[3], cmi = sr[M] * ends[3] - si[M] * ends[2];
        a[0] = c0 + cm;
        a[1] = c0i + cmi;
        b[0] = c0 - cm;
        b[1] = c0i - cmi;
        ws.half->execute(2);
        const double* even = ws.half->out(0);  // z_{2m} at pair m
        const double* odd = ws.half->out(1);   // z_{2m+1} at pair m
        // the samples n = N - L .. N - 1, then 0 .. L, in order
        std::size_t i = 0;
        auto run = [&](std::size_t n, std::size_t count) {
            if (count && n % 2 == 1) {
                zr[i] = odd[n - 1];
                zi[i] = odd[n];
                ++i, ++n, --count;
            }
            lk.merge(even, odd, n / 2, zr + i, zi + i, count / 2);
            i += count / 2 * 2;
            n += count / 2 * 2;
            if (count % 2) {
                zr[i] = even[n];
                zi[i] = even[n + 1];
                ++i;
            }
        };
        run(N - L, L);
        run(0, L + 1);
    } else {
        double* a = ws.inverse->in(0);
        double* b = ws.inverse->in(1);
        for (std::size_t k = 0; k < bins; ++k) {
            const double cr = sr[k] * xr[k] + si[k] * xi[k];
            const double ci = sr[k] * xi[k] - si[k] * xr[k];
            a[2 * k] = cr;
            a[2 * k + 1] = ci;
            b[2 * k] = ci;  // -i C
            b[2 * k + 1] = -cr;
        }
        ws.inverse->execute(2);
        const double* c = ws.inverse->out(0);
        const double* h = ws.inverse->out(1);
        for (std::size_t i = 0; i < lags; ++i) {
            const std::size_t n = i < L ? N - L + i : i - L;
            zr[i] = c[n];
            zi[i] = h[n];
        }
    }
    lk.phasor_add(zr, zi, scale, lin, pr, pi, lags);
}

}  // namespace

Workspace::Workspace(const Problem& p)
    : bins(p.nfft / 2 + 1), stride(round_up(p.nfft / 2 + 1, 8)), forward(p.nfft, 1) {
    // a window's planar spectrum: stride real parts, stride imaginary parts
    const std::size_t per_window = spectra_size(2, stride);
    const std::size_t sources = std::max<std::size_t>(p.nsources, 1);
    source_spectra.reset(spectra_size(spectra_size(sources, std::max<std::size_t>(p.windows, 1)), per_window),
                         "correlation spectra");
    spectrum.reset(per_window, "temporary trace");
    line.reset(p.samples + 1, "temporary trace");
    row.reset(p.window32 ? p.samples : 1, "temporary trace");
    scratch.reset(spectra_size(2, bins + 1), "temporary trace");
    acc.reset(spectra_size(sources, p.pws ? spectra_size(2, 2 * p.max_lag + 1) : per_window), "correlation spectra");
    lagged.reset(spectra_size(2, 2 * p.max_lag + 1), "temporary trace");
    if (p.nfft % 2 == 0) {
        const std::size_t M = p.nfft / 2;
        half = std::make_unique<fft::BackwardPlan>(M, p.pws ? 2 : 1);
        twiddle.reset(2 * M, "temporary trace");
        const double step = 6.283185307179586 / static_cast<double>(p.nfft);
        for (std::size_t k = 0; k < M; ++k) {
            twiddle[2 * k] = std::cos(step * static_cast<double>(k));
            twiddle[2 * k + 1] = std::sin(step * static_cast<double>(k));
        }
        half->prepare();
    } else {
        inverse = std::make_unique<fft::InversePlan>(p.nfft, p.pws ? 2 : 1);
        inverse->prepare();
    }
    forward.prepare();
}

void correlate_stack(const Problem& p, Workspace& ws, double* linear, double* phasor, simd::Isa isa) noexcept {
    const std::size_t W = p.windows, NX = p.channels, S = p.nsources, L = p.max_lag;
    if (S == 0 || NX == 0) return;
    if (W == 0) {
        // no window: sums of nothing
        if (p.fresh) {
            std::fill(linear, linear + S * NX * (2 * L + 1), 0.0);
            if (p.pws) std::fill(phasor, phasor + 2 * S * NX * (2 * L + 1), 0.0);
        }
        return;
    }
    const LaneKernels& lk = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    const std::size_t bins = ws.bins, stride = ws.stride, lags = 2 * L + 1;
    const std::size_t per_window = 2 * stride;
    // the virtual sources' spectra over the windows
    double* const src = ws.source_spectra.data();
    for (std::size_t j = 0; j < S; ++j)
        for (std::size_t w = 0; w < W; ++w) {
            double* re = src + (j * W + w) * per_window;
            whiten(p, ws, lk, transform(p, ws, lk, w, static_cast<std::size_t>(p.sources[j])), re, re + stride);
        }
    // Channel by channel: each window's spectrum is used while it is in the
    // cache, by every source, and the pairs' sums are finished before the
    // next channel.
    double* const xr = ws.spectrum.data();
    double* const xi = xr + stride;
    const std::size_t per_pair = p.pws ? 2 * lags : per_window;
    // one source, plain whitening: each window whitened as it is added (or
    // as its analytic signal's spectrum is formed, for an even length)
    const bool fused = S == 1 && p.whiten && p.whiten_half == 0 && (!p.pws || p.nfft % 2 == 0);
    for (std::size_t r = 0; r < NX; ++r) {
        std::fill(ws.acc.data(), ws.acc.data() + S * per_pair, 0.0);
        if (p.fresh)
            for (std::size_t j = 0; j < S; ++j) {
                const std::size_t pair = j * NX + r;
                std::fill(linear + pair * lags, linear + (pair + 1) * lags, 0.0);
                if (p.pws) std::fill(phasor + 2 * pair * lags, phasor + 2 * (pair + 1) * lags, 0.0);
            }
        for (std::size_t w = 0; w < W; ++w) {
            const double* out = transform(p, ws, lk, w, r);
            if (fused) {
                const double* sr = src + w * per_window;
                double* acc = ws.acc.data();
                if (p.pws)
                    add_window_pws(p, ws, lk, sr, sr + stride, nullptr, nullptr, out, linear + r * lags, acc,
                                   acc + lags);
                else
                    lk.whiten_cross_add(out, p.whiten, sr, sr + stride, acc, acc + stride, bins);
                continue;
            }
            whiten(p, ws, lk, out, xr, xi);
            for (std::size_t j = 0; j < S; ++j) {
                const double* sr = src + (j * W + w) * per_window;
                double* acc = ws.acc.data() + j * per_pair;
                if (p.pws) {
                    add_window_pws(p, ws, lk, sr, sr + stride, xr, xi, nullptr, linear + (j * NX + r) * lags, acc,
                                   acc + lags);
                } else {
                    // the sum of the windows' cross-spectra, transformed once
                    lk.cross_add(sr, sr + stride, xr, xi, acc, acc + stride, bins);
                }
            }
        }
        for (std::size_t j = 0; j < S; ++j) {
            const double* acc = ws.acc.data() + j * per_pair;
            const std::size_t pair = j * NX + r;
            if (!p.pws) {
                invert_linear(p, ws, lk, acc, acc + stride, linear + pair * lags);
                continue;
            }
            double* z = phasor + 2 * pair * lags;
            for (std::size_t i = 0; i < lags; ++i) {
                z[2 * i] += acc[i];
                z[2 * i + 1] += acc[lags + i];
            }
        }
    }
}

void window_spectrum(const Problem& p, Workspace& ws, std::size_t w, std::size_t r, double* re, double* im,
                     simd::Isa isa) noexcept {
    const LaneKernels& lk = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    whiten(p, ws, lk, transform(p, ws, lk, w, r), re, im);
}

void add_correlation(const Problem& p, Workspace& ws, const double* ar, const double* ai, double* lin,
                     simd::Isa isa) noexcept {
    invert_linear(p, ws, simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels)), ar, ai, lin);
}

void add_window_phasors(const Problem& p, Workspace& ws, const double* sr, const double* si, const double* xr,
                        const double* xi, double* lin, double* pr, double* pi, simd::Isa isa) noexcept {
    add_window_pws(p, ws, simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels)), sr, si, xr, xi, nullptr, lin, pr,
                   pi);
}

}  // namespace molvak::correlate
