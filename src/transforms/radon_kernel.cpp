#include "transforms/radon_kernel.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "spectral/buffer.hpp"
#include "spectral/fft.hpp"
#include "spectral/simd.hpp"

namespace molvak::radon {

namespace {

// Amplitude of a trace s[0..nt) at sample position h: the straight line
// through samples m = trunc(h) and m + 1, with s(-1) = s(nt) = 0. Positions
// with trunc(h) outside [-1, nt) (and NaN) give 0. fmod(h, 1) is computed as
// h - m with the sign of h, which is exact for every finite h.
inline double interp(const double* s, std::int64_t nt, double h) {
    if (!(h > -2.0 && h < static_cast<double>(nt))) return 0.0;
    const std::int64_t m = static_cast<std::int64_t>(h);
    const double f = std::copysign(h - static_cast<double>(m), h);
    const double sm = m >= 0 ? s[m] : 0.0;
    const double sm1 = m + 1 < nt ? s[m + 1] : 0.0;
    return (sm1 - sm) * f + sm;
}

// Arrival time for the intercept time tau: c + tau for the linear and the
// parabolic laws (c = x*p or (x*x)*p), sqrt(c + tau*tau) for the hyperbolic
// one (c = (x*p)*(x*p)).
template <bool Hyperbolic>
inline double arrival(double c, double tau) {
    if constexpr (Hyperbolic) {
        return std::sqrt(c + tau * tau);
    } else {
        return c + tau;
    }
}

struct TracePass {
    const double* s;
    std::int64_t nt;
    const double* tau;
    std::size_t ntau;
    double c, t0, dt, dx;
    double* prev;
    double* sum;
};

// One trace: prev[j] = amplitude (first trace), or
// sum[j] = ((dx * (prev[j] + a)) * 0.5) + sum[j]; prev[j] = a (later traces),
// exactly in this order of operations.
template <bool Hyperbolic, bool First>
inline void pass_scalar(const TracePass& t, std::size_t j0) {
    for (std::size_t j = j0; j < t.ntau; ++j) {
        const double h = (arrival<Hyperbolic>(t.c, t.tau[j]) - t.t0) / t.dt;
        const double a = interp(t.s, t.nt, h);
        if constexpr (!First) t.sum[j] = (t.dx * (t.prev[j] + a)) * 0.5 + t.sum[j];
        t.prev[j] = a;
    }
}

template <bool Hyperbolic, bool First>
__attribute__((target("avx512f,avx512dq"))) void pass_avx512(const TracePass& t) {
    const __m512d c = _mm512_set1_pd(t.c), t0 = _mm512_set1_pd(t.t0), dt = _mm512_set1_pd(t.dt);
    const __m512d dx = _mm512_set1_pd(t.dx), half = _mm512_set1_pd(0.5);
    const __m512d lo = _mm512_set1_pd(-2.0), hi = _mm512_set1_pd(static_cast<double>(t.nt));
    const __m512d sign = _mm512_set1_pd(-0.0), zero = _mm512_setzero_pd();
    const __m512i one = _mm512_set1_epi64(1), nt = _mm512_set1_epi64(t.nt);
    std::size_t j = 0;
    for (; j + 8 <= t.ntau; j += 8) {
        const __m512d tau = _mm512_loadu_pd(t.tau + j);
        __m512d time;
        if constexpr (Hyperbolic) {
            time = _mm512_sqrt_pd(_mm512_add_pd(c, _mm512_mul_pd(tau, tau)));
        } else {
            time = _mm512_add_pd(c, tau);
        }
        const __m512d h = _mm512_div_pd(_mm512_sub_pd(time, t0), dt);
        const __mmask8 ok = _mm512_cmp_pd_mask(h, lo, _CMP_GT_OQ) & _mm512_cmp_pd_mask(h, hi, _CMP_LT_OQ);
        const __m512d hc = _mm512_maskz_mov_pd(ok, h);
        const __m512i m = _mm512_cvttpd_epi64(hc);
        const __m512i m1 = _mm512_add_epi64(m, one);
        const __m512d frac = _mm512_or_pd(_mm512_andnot_pd(sign, _mm512_sub_pd(hc, _mm512_cvtepi64_pd(m))),
                                          _mm512_and_pd(sign, hc));
        const __mmask8 in0 = ok & _mm512_cmpge_epi64_mask(m, _mm512_setzero_si512());
        const __mmask8 in1 = ok & _mm512_cmplt_epi64_mask(m1, nt);
        const __m512d sm = _mm512_mask_i64gather_pd(zero, in0, m, t.s, 8);
        const __m512d sm1 = _mm512_mask_i64gather_pd(zero, in1, m1, t.s, 8);
        const __m512d a = _mm512_add_pd(_mm512_mul_pd(_mm512_sub_pd(sm1, sm), frac), sm);
        if constexpr (!First) {
            const __m512d p = _mm512_loadu_pd(t.prev + j);
            const __m512d s = _mm512_loadu_pd(t.sum + j);
            _mm512_storeu_pd(t.sum + j, _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(dx, _mm512_add_pd(p, a)), half), s));
        }
        _mm512_storeu_pd(t.prev + j, a);
    }
    pass_scalar<Hyperbolic, First>(t, j);
}

template <bool Hyperbolic, bool First>
__attribute__((target("avx2"))) void pass_avx2(const TracePass& t) {
    const __m256d c = _mm256_set1_pd(t.c), t0 = _mm256_set1_pd(t.t0), dt = _mm256_set1_pd(t.dt);
    const __m256d dx = _mm256_set1_pd(t.dx), half = _mm256_set1_pd(0.5);
    const __m256d lo = _mm256_set1_pd(-2.0), hi = _mm256_set1_pd(static_cast<double>(t.nt));
    const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd();
    const __m128i one = _mm_set1_epi32(1), nt = _mm_set1_epi32(static_cast<int>(t.nt));
    std::size_t j = 0;
    for (; j + 4 <= t.ntau; j += 4) {
        const __m256d tau = _mm256_loadu_pd(t.tau + j);
        __m256d time;
        if constexpr (Hyperbolic) {
            time = _mm256_sqrt_pd(_mm256_add_pd(c, _mm256_mul_pd(tau, tau)));
        } else {
            time = _mm256_add_pd(c, tau);
        }
        const __m256d h = _mm256_div_pd(_mm256_sub_pd(time, t0), dt);
        const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(h, lo, _CMP_GT_OQ), _mm256_cmp_pd(h, hi, _CMP_LT_OQ));
        const __m256d hc = _mm256_and_pd(ok, h);
        const __m128i m = _mm256_cvttpd_epi32(hc);  // |hc| < nt < 2**31
        const __m128i m1 = _mm_add_epi32(m, one);
        const __m256d frac = _mm256_or_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(hc, _mm256_cvtepi32_pd(m))),
                                          _mm256_and_pd(sign, hc));
        const __m256d in0 = _mm256_and_pd(ok, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(
                                                  _mm_cmpgt_epi32(m, _mm_set1_epi32(-1)))));
        const __m256d in1 = _mm256_and_pd(ok, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmplt_epi32(m1, nt))));
        const __m256d sm = _mm256_mask_i32gather_pd(zero, t.s, m, in0, 8);
        const __m256d sm1 = _mm256_mask_i32gather_pd(zero, t.s, m1, in1, 8);
        const __m256d a = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(sm1, sm), frac), sm);
        if constexpr (!First) {
            const __m256d p = _mm256_loadu_pd(t.prev + j);
            const __m256d s = _mm256_loadu_pd(t.sum + j);
            _mm256_storeu_pd(t.sum + j, _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(dx, _mm256_add_pd(p, a)), half), s));
        }
        _mm256_storeu_pd(t.prev + j, a);
    }
    pass_scalar<Hyperbolic, First>(t, j);
}

template <bool Hyperbolic, bool First>
void pass(const TracePass& t) {
    // The 32-bit gather indices of the AVX2 path need nt below 2**31.
    const simd::Isa isa = simd::detected();
    if (isa == simd::Isa::avx512) {
        pass_avx512<Hyperbolic, First>(t);
    } else if (isa == simd::Isa::avx2 && t.nt < std::numeric_limits<int>::max()) {
        pass_avx2<Hyperbolic, First>(t);
    } else {
        pass_scalar<Hyperbolic, First>(t, 0);
    }
}

template <bool Hyperbolic>
void column_impl(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
                 double dt, double t0, double* sum, double* prev) {
    std::fill(sum, sum + ntau, 0.0);
    // Fewer than two traces leave nothing to integrate.
    if (g.nx < 2) return;
    if (g.nt == 0) {
        // Every position reads the zeros around an empty trace; the steps
        // still enter the sum (an infinite step makes it NaN).
        for (std::size_t i = 1; i < g.nx; ++i) {
            const double dx = g.offsets[i] - g.offsets[i - 1];
            for (std::size_t j = 0; j < ntau; ++j) sum[j] = (dx * (0.0 + 0.0)) * 0.5 + sum[j];
        }
        return;
    }
    TracePass t{nullptr, static_cast<std::int64_t>(g.nt), tau, ntau, 0.0, t0, dt, 0.0, prev, sum};
    for (std::size_t i = 0; i < g.nx; ++i) {
        const double x = g.offsets[i];
        t.s = g.data + i * g.nt;
        t.c = moveout == linear ? x * p : moveout == parabolic ? (x * x) * p : (x * p) * (x * p);
        if (i == 0) {
            pass<Hyperbolic, true>(t);
        } else {
            t.dx = x - g.offsets[i - 1];
            pass<Hyperbolic, false>(t);
        }
    }
}

}  // namespace

void column(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
            double dt, double t0, double* sum, double* prev) {
    if (moveout == hyperbolic) {
        column_impl<true>(g, moveout, p, tau, ntau, dt, t0, sum, prev);
    } else {
        column_impl<false>(g, moveout, p, tau, ntau, dt, t0, sum, prev);
    }
}

void panel(const Gather& g, Moveout moveout, const double* p, std::size_t np, const double* tau,
           std::size_t ntau, double dt, double t0, double* out) {
    Buffer<double> sum(ntau, "tau-p work buffers");
    Buffer<double> prev(ntau, "tau-p work buffers");
    for (std::size_t k = 0; k < np; ++k) {
        column(g, moveout, p[k], tau, ntau, dt, t0, sum.data(), prev.data());
        for (std::size_t j = 0; j < ntau; ++j) out[j * np + k] = sum[j];
    }
}

void slant_stack_spectrum(const Gather& g, const double* slowness, std::size_t nslow,
                          const double* time, std::size_t ntime, double dt, fft::RealPlan& plan,
                          double* spectrum) {
    Buffer<double> prev(ntime, "tau-p work buffers");
    const std::size_t lanes = plan.lanes();
    const auto stride = static_cast<std::ptrdiff_t>(nslow);
    for (std::size_t k0 = 0; k0 < nslow; k0 += lanes) {
        const std::size_t count = std::min(lanes, nslow - k0);
        for (std::size_t b = 0; b < count; ++b) {
            double* column_buffer = plan.padded_in(b, ntime);
            column(g, linear, slowness[k0 + b], time, ntime, dt, time[0], column_buffer, prev.data());
        }
        plan.execute(count);
        for (std::size_t b = 0; b < count; ++b)
            fft::store_bins(plan, b, dt, spectrum + 2 * (k0 + b), stride);
    }
}

}  // namespace molvak::radon
