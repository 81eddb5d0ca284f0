// Phase-shift dispersion kernels.
//
// V[g, k] = sum_i (P[i, g, k] + P[i-1, g, k]) * |x_i - x_{i-1}| / 2 with
// P = u * e^{i theta}, theta = ((2 pi x) / c) * f. The work is organised so
// that P never exists as an array: for a block of W velocities (one vector)
// and a tile of frequencies, the traces are walked in order and every term
// is added into V as soon as its P is known, with V and the previous trace's
// P held in registers.
//
// The phasor e^{i theta} is the only costly part. Along the uniform
// frequency grid it follows the angle-addition recurrence
// e^{i phi (n + 1) df} = e^{i phi n df} * e^{i phi df}, re-anchored on a direct
// sine and cosine every kAnchor frequencies and corrected per element to the
// theta as rounded in double precision (phase_shift_tile.inc explains the
// error bound).
// Blocks where theta grows so large that the correction no longer holds take
// the direct sine and cosine of every theta instead.
#include "transforms/phase_shift_kernel.hpp"

#include <cmath>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define MOLVAK_PHASE_SHIFT_X86 1
#endif

#include "spectral/complex.hpp"
#include "spectral/simd.hpp"

namespace molvak::phase_shift {

namespace {

// The recurrence and its correction hold while |theta| <= 2**22: the
// correction r is then below 2**-29 and its second-order term below 1e-17.
constexpr double kMaxRecurrencePhase = 4194304.0;
// Frequencies between two direct anchors of the recurrence. Each step adds a
// few ulps of phase drift: at most 63 steps keep it below about 3e-14.
constexpr std::size_t kAnchor = 64;

struct Ctx {
    const double* unit;     // (nf, nu) unit spectra, complex pairs
    std::size_t nu;
    std::size_t nu_step;    // 1, or 0 when one trace stands at every offset
    const double* f;
    std::size_t nf;
    double df;
    const double* x;        // nx offsets
    const double* w;        // nx weights, w[0] unused
    std::size_t nx;
    const double* c;
    std::size_t nc;
    double *phi, *delta, *er, *ei, *dr, *di;  // nx * W each
    double* v;
};

// The widest lane count of any instruction set below; the state buffer is
// sized for it.
constexpr std::size_t kMaxLanes = 8;
constexpr std::size_t kStateArrays = 6;

}  // namespace

// ---------------------------------------------------------------------------
// Portable lanes: one double. The recurrence needs a single-rounding
// multiply-add; without a hardware one every phasor is evaluated directly.

namespace {
namespace scalar {

struct L {
    using V = double;
    static constexpr std::size_t W = 1;
#if defined(FP_FAST_FMA)
    static constexpr bool fused = true;
    static V fma(V a, V b, V c) { return std::fma(a, b, c); }
    static V fnma(V a, V b, V c) { return std::fma(-a, b, c); }
#else
    static constexpr bool fused = false;
    static V fma(V a, V b, V c) { return a * b + c; }
    static V fnma(V a, V b, V c) { return c - a * b; }
#endif
    static V set1(double a) { return a; }
    static V load(const double* p) { return *p; }
    static void store(double* p, V a) { *p = a; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static void sincos(V t, V* s, V* c) {
        *s = std::sin(t);
        *c = std::cos(t);
    }
};
constexpr int kTile = 2;

#include "transforms/phase_shift_tile.inc"

}  // namespace scalar
}  // namespace

#if defined(MOLVAK_PHASE_SHIFT_X86)

// glibc's vector math library: sine and cosine of 4 (AVX2) or 8 (AVX-512)
// doubles per call, within 4 ulps, with the full argument reduction of the
// scalar functions for large arguments.
#if defined(MOLVAK_HAVE_LIBMVEC)
extern "C" {
__attribute__((target("avx2,fma"))) __m256d _ZGVdN4v_sin(__m256d);
__attribute__((target("avx2,fma"))) __m256d _ZGVdN4v_cos(__m256d);
__attribute__((target("avx512f,avx512dq,avx2,fma"))) __m512d _ZGVeN8v_sin(__m512d);
__attribute__((target("avx512f,avx512dq,avx2,fma"))) __m512d _ZGVeN8v_cos(__m512d);
}
#endif

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace {
namespace avx2 {

struct L {
    using V = __m256d;
    static constexpr std::size_t W = 4;
    static constexpr bool fused = true;
    static V set1(double a) { return _mm256_set1_pd(a); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V a) { _mm256_storeu_pd(p, a); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V fnma(V a, V b, V c) { return _mm256_fnmadd_pd(a, b, c); }
    static void sincos(V t, V* s, V* c) {
#if defined(MOLVAK_HAVE_LIBMVEC)
        *s = _ZGVdN4v_sin(t);
        *c = _ZGVdN4v_cos(t);
#else
        alignas(32) double a[4], sa[4], ca[4];
        _mm256_store_pd(a, t);
        for (int l = 0; l < 4; ++l) {
            sa[l] = std::sin(a[l]);
            ca[l] = std::cos(a[l]);
        }
        *s = _mm256_load_pd(sa);
        *c = _mm256_load_pd(ca);
#endif
    }
};
constexpr int kTile = 2;

#include "transforms/phase_shift_tile.inc"

}  // namespace avx2
}  // namespace
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx2,fma")
namespace {
namespace avx512 {

struct L {
    using V = __m512d;
    static constexpr std::size_t W = 8;
    static constexpr bool fused = true;
    static V set1(double a) { return _mm512_set1_pd(a); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V a) { _mm512_storeu_pd(p, a); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static V fnma(V a, V b, V c) { return _mm512_fnmadd_pd(a, b, c); }
    static void sincos(V t, V* s, V* c) {
#if defined(MOLVAK_HAVE_LIBMVEC)
        *s = _ZGVeN8v_sin(t);
        *c = _ZGVeN8v_cos(t);
#else
        alignas(64) double a[8], sa[8], ca[8];
        _mm512_store_pd(a, t);
        for (int l = 0; l < 8; ++l) {
            sa[l] = std::sin(a[l]);
            ca[l] = std::cos(a[l]);
        }
        *s = _mm512_load_pd(sa);
        *c = _mm512_load_pd(ca);
#endif
    }
};
constexpr int kTile = 4;

#include "transforms/phase_shift_tile.inc"

}  // namespace avx512
}  // namespace
#pragma GCC pop_options

#endif  // MOLVAK_PHASE_SHIFT_X86

// ---------------------------------------------------------------------------

namespace {

// Which lanes to run. MOLVAK_FORCE_ISA (0 scalar, 1 AVX2, 2 AVX-512, capped
// at what the processor has) is a build-time switch for exercising every
// path in development builds; release builds never set it.
simd::Isa chosen_isa() {
    const simd::Isa isa = simd::detected();
#if defined(MOLVAK_FORCE_ISA)
    const simd::Isa forced = MOLVAK_FORCE_ISA == 0   ? simd::Isa::scalar
                             : MOLVAK_FORCE_ISA == 1 ? simd::Isa::avx2
                                                     : simd::Isa::avx512;
    if (forced == simd::Isa::scalar || isa == simd::Isa::scalar) return simd::Isa::scalar;
    if (forced == simd::Isa::avx2) return simd::Isa::avx2;
#endif
    return isa;
}

// u / |u| for every element of the band, written frequency-major so that the
// tiles read each frequency's traces as one contiguous run.
void normalise(const Problem& p, double* unit) {
    constexpr std::size_t block = 16;  // traces per pass: 16 output runs in flight
    for (std::size_t t0 = 0; t0 < p.nu; t0 += block) {
        const std::size_t t1 = t0 + block < p.nu ? t0 + block : p.nu;
        for (std::size_t g = 0; g < p.nf; ++g) {
            for (std::size_t t = t0; t < t1; ++t) {
                const double* s = p.u + static_cast<std::ptrdiff_t>(t) * p.u_row +
                                  static_cast<std::ptrdiff_t>(g) * p.u_col;
                const cx::cdouble z{s[0], s[1]};
                // No guard: a zero modulus gives 0/0 = NaN, as it should.
                const cx::cdouble n = cx::divcr(z, cx::abs(z));
                unit[2 * (g * p.nu + t)] = n.real;
                unit[2 * (g * p.nu + t) + 1] = n.imag;
            }
        }
    }
}

}  // namespace

Workspace::Workspace(const Problem& p)
    : unit(2 * p.nf * p.nu, "unit spectra"),
      w(p.nx, "trapezoid weights"),
      state(kStateArrays * kMaxLanes * p.nx, "phase-shift state") {}

void phase_shift(const Problem& p, Workspace& ws, double* v) noexcept {
    normalise(p, ws.unit.data());
    double* w = ws.w.data();
    w[0] = 0.0;
    for (std::size_t i = 1; i < p.nx; ++i) w[i] = std::fabs(p.x[i] - p.x[i - 1]) * 0.5;

    const simd::Isa isa = chosen_isa();
    const std::size_t lanes = isa == simd::Isa::avx512 ? 8 : isa == simd::Isa::avx2 ? 4 : 1;
    double* s = ws.state.data();
    const std::size_t n = p.nx * lanes;
    const Ctx c{ws.unit.data(), p.nu, p.nu == 1 ? 0u : 1u, p.f, p.nf, p.df, p.x, w, p.nx, p.c, p.nc,
                s, s + n, s + 2 * n, s + 3 * n, s + 4 * n, s + 5 * n, v};
#if defined(MOLVAK_PHASE_SHIFT_X86)
    if (isa == simd::Isa::avx512) return avx512::run(c);
    if (isa == simd::Isa::avx2) return avx2::run(c);
#endif
    scalar::run(c);
}

}  // namespace molvak::phase_shift
