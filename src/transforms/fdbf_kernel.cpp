#include "transforms/fdbf_kernel.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MOLVAK_FDBF_X86 1
#else
#define MOLVAK_FDBF_X86 0
#endif

#include "spectral/buffer.hpp"
#include "spectral/complex.hpp"
#include "spectral/fft.hpp"
#include "spectral/simd.hpp"
#include "transforms/hankel_phase.hpp"

// Every header is included above: the instruction-set sections below must
// not be the first to define an inline function or template that generic
// code could also use, or the linker might keep their copy.

namespace molvak::fdbf {

namespace {

// Work buffers of one call, owned by beam_power, and what it knows of the
// offsets.
struct Work {
    const double* x;           // offsets, broadcast, padded to a multiple of 8 with the last
    const double* xinv;        // 1 / x
    double* rot_r;             // 16 nx: a_i turned by the sixteenth roots of unity, see accumulate
    double* rot_i;
    std::int64_t* plan;        // per trace, how the Hankel phase is found (padded like x)
    const double* velocities;  // nc velocities, padded to a multiple of 8 with the last one
    double* c_lo;              // per block of velocities, see velocity_extremes
    double* c_hi;
    const double* table;       // Hankel phase tables (cylindrical steering)
    const double* fine_table;
    double x_min, x_max;       // smallest and largest offset
    double x_abs_max;          // largest |offset|
    bool x_finite;             // every offset finite
    bool x_positive;           // every offset finite and positive
};

// The library's steering elements, for the arguments the fast code leaves
// alone (zero, negative, huge or non-finite ones): the literal formulas.
__attribute__((noinline)) void plane_conj_library(double phi, double* re, double* im) {
    const cx::cdouble e = cx::exp({0.0, phi});  // E = (cos phi, sin phi)
    *re = e.real;
    *im = -e.imag;
}

__attribute__((noinline)) void hankel_conj_library(double kappa, double* re, double* im) {
    const double theta = hankel::library_phase(kappa);
    const cx::cdouble e = cx::exp({0.0, -theta});  // E = (cos th, -sin th)
    *re = e.real;
    *im = -e.imag;
}

// The element-wise helpers of the tests and native callers.
enum class Helper { unit_phasor, hankel_phasor, hankel_phase, hankel_phase_fine };

// The angle q pi/8 + r in [-pi, pi], for |r| <= pi/16 + 1e-6; q from the low
// bits of qbits.
__attribute__((noinline)) double angle_from_reduced(double r, std::int64_t qbits) {
    const int q = static_cast<int>(qbits & 15);
    const int turn = q <= 8 ? q : q - 16;  // q pi/8 in [-7pi/8, pi]
    const double theta = (r + turn * hankel::kPio8Mid) + turn * hankel::kPio8Hi;
    constexpr double pi = 8 * hankel::kPio8Hi;
    return theta > pi ? theta - 2 * pi : theta;
}

}  // namespace

// ---------------------------------------------------------------------------
// Scalar lanes: one double per lane, std::fma for the fused steps.
namespace scalar {
namespace {

constexpr std::size_t W = 1;
using vd = double;
using vm = bool;
using vi = std::int64_t;

inline vd set1(double a) { return a; }
inline vd loadu(const double* p) { return *p; }
inline void storeu(double* p, vd a) { *p = a; }
inline vd add(vd a, vd b) { return a + b; }
inline vd sub(vd a, vd b) { return a - b; }
inline vd mul(vd a, vd b) { return a * b; }
inline vd divide(vd a, vd b) { return a / b; }
inline vd fmadd(vd a, vd b, vd c) { return std::fma(a, b, c); }
inline vd fnmadd(vd a, vd b, vd c) { return std::fma(-a, b, c); }
inline vd fmsub(vd a, vd b, vd c) { return std::fma(a, b, -c); }
inline vd absval(vd a) { return std::fabs(a); }
inline vi bits(vd a) {
    vi b;
    std::memcpy(&b, &a, sizeof b);
    return b;
}
inline vd from_bits(vi b) {
    vd a;
    std::memcpy(&a, &b, sizeof a);
    return a;
}
inline vm lt(vd a, vd b) { return a < b; }
inline vm le(vd a, vd b) { return a <= b; }
inline vm ge(vd a, vd b) { return a >= b; }
inline vm both(vm a, vm b) { return a && b; }
inline vm invert(vm a) { return !a; }
inline bool any(vm a) { return a; }
inline unsigned lane_bits(vm a) { return a ? 1u : 0u; }
inline vm first_lanes(std::size_t n) { return n > 0; }
inline vd select(vm m, vd a, vd b) { return m ? a : b; }
inline vm select_mask(vm m, vm a, vm b) { return m ? a : b; }
template <int N>
inline vi srl(vi a) { return static_cast<vi>(static_cast<std::uint64_t>(a) >> N); }
template <int N>
inline vi sll(vi a) { return static_cast<vi>(static_cast<std::uint64_t>(a) << N); }
inline vi iand(vi a, vi b) { return a & b; }
inline vi ior(vi a, vi b) { return a | b; }
inline vi iadd(vi a, vi b) { return static_cast<vi>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b)); }
inline vi isub(vi a, vi b) { return static_cast<vi>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)); }
inline vi iset1(std::int64_t a) { return a; }
inline vi iselect(vm m, vi a, vi b) { return m ? a : b; }
inline vd gather(const double* base, vi idx) { return base[idx]; }
inline void istoreu(std::int64_t* p, vi a) { *p = a; }
inline vi iloadu(const std::int64_t* p) { return *p; }
inline vd root_pick(vi q, const double* table) { return table[q & 15]; }
inline vm igt(vi a, vi b) { return a > b; }

#include "transforms/fdbf_lanes.inc"

}  // namespace
}  // namespace scalar

#if MOLVAK_FDBF_X86
// ---------------------------------------------------------------------------
// AVX2 lanes: four doubles, masks as all-ones lanes.
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {
namespace {

constexpr std::size_t W = 4;
using vd = __m256d;
using vm = __m256d;
using vi = __m256i;

inline vd set1(double a) { return _mm256_set1_pd(a); }
inline vd loadu(const double* p) { return _mm256_loadu_pd(p); }
inline void storeu(double* p, vd a) { _mm256_storeu_pd(p, a); }
inline vd add(vd a, vd b) { return _mm256_add_pd(a, b); }
inline vd sub(vd a, vd b) { return _mm256_sub_pd(a, b); }
inline vd mul(vd a, vd b) { return _mm256_mul_pd(a, b); }
inline vd divide(vd a, vd b) { return _mm256_div_pd(a, b); }
inline vd fmadd(vd a, vd b, vd c) { return _mm256_fmadd_pd(a, b, c); }
inline vd fnmadd(vd a, vd b, vd c) { return _mm256_fnmadd_pd(a, b, c); }
inline vd fmsub(vd a, vd b, vd c) { return _mm256_fmsub_pd(a, b, c); }
inline vd absval(vd a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
inline vi bits(vd a) { return _mm256_castpd_si256(a); }
inline vd from_bits(vi b) { return _mm256_castsi256_pd(b); }
inline vm lt(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
inline vm le(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
inline vm ge(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
inline vm both(vm a, vm b) { return _mm256_and_pd(a, b); }
inline vm invert(vm a) { return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))); }
inline unsigned lane_bits(vm a) { return static_cast<unsigned>(_mm256_movemask_pd(a)); }
inline bool any(vm a) { return lane_bits(a) != 0; }
inline vm first_lanes(std::size_t n) {
    return _mm256_cmp_pd(_mm256_set_pd(3.0, 2.0, 1.0, 0.0), _mm256_set1_pd(static_cast<double>(n)),
                         _CMP_LT_OQ);
}
inline vd select(vm m, vd a, vd b) { return _mm256_blendv_pd(b, a, m); }
inline vm select_mask(vm m, vm a, vm b) { return _mm256_blendv_pd(b, a, m); }
template <int N>
inline vi srl(vi a) { return _mm256_srli_epi64(a, N); }
template <int N>
inline vi sll(vi a) { return _mm256_slli_epi64(a, N); }
inline vi iand(vi a, vi b) { return _mm256_and_si256(a, b); }
inline vi ior(vi a, vi b) { return _mm256_or_si256(a, b); }
inline vi iadd(vi a, vi b) { return _mm256_add_epi64(a, b); }
inline vi isub(vi a, vi b) { return _mm256_sub_epi64(a, b); }
inline vi iset1(std::int64_t a) { return _mm256_set1_epi64x(a); }
inline vi iselect(vm m, vi a, vi b) { return bits(_mm256_blendv_pd(from_bits(b), from_bits(a), m)); }
inline vd gather(const double* base, vi idx) { return _mm256_i64gather_pd(base, idx, 8); }
inline void istoreu(std::int64_t* p, vi a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
inline vi iloadu(const std::int64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline vd root_pick(vi q, const double* table) {
    return _mm256_i64gather_pd(table, _mm256_and_si256(q, _mm256_set1_epi64x(15)), 8);
}
inline vm igt(vi a, vi b) { return _mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b)); }

#include "transforms/fdbf_lanes.inc"

}  // namespace
}  // namespace avx2
#pragma GCC pop_options

// ---------------------------------------------------------------------------
// AVX-512 lanes: eight doubles, masks in mask registers. Shifts, permutes and
// gathers use their masked forms with an all-ones mask: the same
// instructions, without GCC 12's false uninitialised-value warnings about the
// unmasked forms.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
namespace avx512 {
namespace {

constexpr std::size_t W = 8;
using vd = __m512d;
using vm = __mmask8;
using vi = __m512i;

inline vd set1(double a) { return _mm512_set1_pd(a); }
inline vd loadu(const double* p) { return _mm512_loadu_pd(p); }
inline void storeu(double* p, vd a) { _mm512_storeu_pd(p, a); }
inline vd add(vd a, vd b) { return _mm512_add_pd(a, b); }
inline vd sub(vd a, vd b) { return _mm512_sub_pd(a, b); }
inline vd mul(vd a, vd b) { return _mm512_mul_pd(a, b); }
inline vd divide(vd a, vd b) { return _mm512_div_pd(a, b); }
inline vd fmadd(vd a, vd b, vd c) { return _mm512_fmadd_pd(a, b, c); }
inline vd fnmadd(vd a, vd b, vd c) { return _mm512_fnmadd_pd(a, b, c); }
inline vd fmsub(vd a, vd b, vd c) { return _mm512_fmsub_pd(a, b, c); }
inline vd absval(vd a) { return _mm512_abs_pd(a); }
inline vi bits(vd a) { return _mm512_castpd_si512(a); }
inline vd from_bits(vi b) { return _mm512_castsi512_pd(b); }
inline vm lt(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
inline vm le(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
inline vm ge(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
inline vm both(vm a, vm b) { return static_cast<vm>(a & b); }
inline vm invert(vm a) { return static_cast<vm>(~a); }
inline unsigned lane_bits(vm a) { return a; }
inline bool any(vm a) { return a != 0; }
inline vm first_lanes(std::size_t n) { return static_cast<vm>((1u << n) - 1u); }
inline vd select(vm m, vd a, vd b) { return _mm512_mask_blend_pd(m, b, a); }
inline vm select_mask(vm m, vm a, vm b) { return static_cast<vm>((m & a) | (~m & b)); }
template <int N>
inline vi srl(vi a) { return _mm512_maskz_srli_epi64(0xFF, a, N); }
template <int N>
inline vi sll(vi a) { return _mm512_maskz_slli_epi64(0xFF, a, N); }
inline vi iand(vi a, vi b) { return _mm512_and_si512(a, b); }
inline vi ior(vi a, vi b) { return _mm512_or_si512(a, b); }
inline vi iadd(vi a, vi b) { return _mm512_add_epi64(a, b); }
inline vi isub(vi a, vi b) { return _mm512_sub_epi64(a, b); }
inline vi iset1(std::int64_t a) { return _mm512_set1_epi64(a); }
inline vi iselect(vm m, vi a, vi b) { return _mm512_mask_blend_epi64(m, b, a); }
inline vd gather(const double* base, vi idx) {
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, idx, base, 8);
}
inline void istoreu(std::int64_t* p, vi a) { _mm512_storeu_si512(p, a); }
inline vi iloadu(const std::int64_t* p) { return _mm512_loadu_si512(p); }
// table[q mod 16]: vpermt2pd reads the low four bits of each index.
inline vd root_pick(vi q, const double* table) {
    return _mm512_maskz_permutex2var_pd(0xFF, _mm512_loadu_pd(table), q, _mm512_loadu_pd(table + 8));
}
inline vm igt(vi a, vi b) { return _mm512_cmpgt_epi64_mask(a, b); }

#include "transforms/fdbf_lanes.inc"

}  // namespace
}  // namespace avx512
#pragma GCC pop_options
#endif  // MOLVAK_FDBF_X86

// ---------------------------------------------------------------------------
// Dispatch.

namespace {

Isa resolve(Isa isa) {
    if (isa != Isa::best) return isa;
    switch (simd::detected()) {
        case simd::Isa::avx512: return Isa::avx512;
        case simd::Isa::avx2: return Isa::avx2;
        default: return Isa::scalar;
    }
}

template <Helper What>
void helper(const double* in, double* out, std::size_t n, Isa isa) {
    const double* table = What == Helper::unit_phasor        ? nullptr
                          : What == Helper::hankel_phase_fine ? hankel::phase_table<hankel::Fine>()
                                                              : hankel::phase_table<hankel::Coarse>();
    switch (resolve(isa)) {
#if MOLVAK_FDBF_X86
        case Isa::avx512: avx512::helper_lanes<What>(in, out, n, table); return;
        case Isa::avx2: avx2::helper_lanes<What>(in, out, n, table); return;
#endif
        default: scalar::helper_lanes<What>(in, out, n, table); return;
    }
}

}  // namespace

bool available(Isa isa) {
    const simd::Isa here = simd::detected();
    switch (isa) {
        case Isa::best:
        case Isa::scalar: return true;
        case Isa::avx2: return MOLVAK_FDBF_X86 && (here == simd::Isa::avx2 || here == simd::Isa::avx512);
        case Isa::avx512: return MOLVAK_FDBF_X86 && here == simd::Isa::avx512;
    }
    return false;
}

void band_spectrum(fft::RealPlan& plan, const double* data, std::size_t nx, std::size_t nt,
                   std::size_t first, std::size_t count, double dt, double* out) {
    const std::size_t n = plan.length(), lanes = plan.lanes();
    const std::size_t nyquist = n % 2 == 0 ? n / 2 : static_cast<std::size_t>(-1);
    // Traces go through the plan's lanes in batches, as the module's other
    // transforms of a gather do, so all of them see the same spectra.
    for (std::size_t i0 = 0; i0 < nx; i0 += lanes) {
        const std::size_t batch = std::min(lanes, nx - i0);
        for (std::size_t b = 0; b < batch; ++b) {
            double* line = plan.padded_in(b, nt);
            std::copy(data + (i0 + b) * nt, data + (i0 + b + 1) * nt, line);
        }
        plan.execute(batch);
        for (std::size_t b = 0; b < batch; ++b) {
            const double* bins = plan.out(b) + 2 * first;
            double* dst = out + 2 * (i0 + b) * count;
            for (std::size_t k = 0; k < 2 * count; ++k) dst[k] = bins[k] * dt;
            // Bins without an imaginary part keep an exact zero there.
            if (first == 0 && count > 0) dst[1] = 0.0;
            if (nyquist >= first && nyquist - first < count) dst[2 * (nyquist - first) + 1] = 0.0;
        }
    }
}

void beam_power(const Problem& p, Isa isa) {
    if (p.nf == 0 || p.nc == 0) return;
    const std::size_t nx = p.nx;
    const std::size_t nx_padded = (nx + 7) / 8 * 8;
    const std::size_t nc_padded = (p.nc + 7) / 8 * 8;
    Buffer<double> x(nx_padded, "work buffers");
    Buffer<double> xinv(nx_padded, "work buffers");
    Buffer<double> rot(32 * nx, "work buffers");
    Buffer<std::int64_t> plan(nx_padded, "work buffers");
    Buffer<double> velocities(nc_padded, "work buffers");
    Buffer<double> extremes(2 * nc_padded, "work buffers");
    Work w{};
    w.x_finite = true;
    w.x_positive = nx > 0;
    w.x_min = w.x_max = nx > 0 ? p.offsets[0] : 0.0;
    w.x_abs_max = 0.0;
    for (std::size_t i = 0; i < nx_padded; ++i) {
        const std::size_t j = i < nx ? i : nx - 1;
        const double xi = nx > 0 ? p.offsets[static_cast<std::ptrdiff_t>(j) * p.offset_stride] : 1.0;
        x[i] = xi;
        xinv[i] = 1.0 / xi;
        w.x_finite = w.x_finite && std::isfinite(xi);
        w.x_positive = w.x_positive && xi > 0.0 && std::isfinite(xi);
        w.x_min = std::fmin(w.x_min, xi);
        w.x_max = std::fmax(w.x_max, xi);
        w.x_abs_max = std::fmax(w.x_abs_max, std::fabs(xi));
    }
    for (std::size_t h = 0; h < nc_padded; ++h)
        velocities[h] = p.velocities[h < p.nc ? h : p.nc - 1];
    w.x = x.data();
    w.xinv = xinv.data();
    w.rot_r = rot.data();
    w.rot_i = rot.data() + 16 * nx;
    w.plan = plan.data();
    w.velocities = velocities.data();
    w.c_lo = extremes.data();
    w.c_hi = extremes.data() + nc_padded;
    if (p.steering == Steering::cylindrical) {
        w.table = hankel::phase_table<hankel::Coarse>();
        w.fine_table = hankel::phase_table<hankel::Fine>();
    }
    switch (resolve(isa)) {
#if MOLVAK_FDBF_X86
        case Isa::avx512: avx512::run_beam_power(p, w); return;
        case Isa::avx2: avx2::run_beam_power(p, w); return;
#endif
        default: scalar::run_beam_power(p, w); return;
    }
}

void hankel_phase(const double* kappa, double* theta, std::size_t n, bool fine, Isa isa) {
    if (fine) {
        helper<Helper::hankel_phase_fine>(kappa, theta, n, isa);
    } else {
        helper<Helper::hankel_phase>(kappa, theta, n, isa);
    }
}

void hankel_phasor(const double* kappa, double* out, std::size_t n, Isa isa) {
    helper<Helper::hankel_phasor>(kappa, out, n, isa);
}

void unit_phasor(const double* angle, double* out, std::size_t n, Isa isa) {
    helper<Helper::unit_phasor>(angle, out, n, isa);
}

}  // namespace molvak::fdbf

// ---------------------------------------------------------------------------
// C entry points for native callers and for the tests, which reach them
// through the module's shared object: the kernels with a chosen instruction
// set (-1 the best one here, 0 scalar, 1 AVX2, 2 AVX-512) and, for the Hankel
// phase, table (0 coarse, 1 fine). Each returns 0, or -1 when that
// instruction set cannot run here, -2 when memory ran out.

#define MOLVAK_EXPORT __attribute__((visibility("default")))

namespace {

template <class F>
int run_with(int isa, F&& f) {
    using molvak::fdbf::Isa;
    if (isa < -1 || isa > 2 || !molvak::fdbf::available(static_cast<Isa>(isa))) return -1;
    try {
        f(static_cast<Isa>(isa));
    } catch (const std::bad_alloc&) {
        return -2;
    }
    return 0;
}

}  // namespace

extern "C" {

MOLVAK_EXPORT int molvak_fdbf_hankel_phase(int isa, int fine, const double* kappa, double* theta,
                                           std::size_t n) {
    return run_with(isa, [&](molvak::fdbf::Isa i) { molvak::fdbf::hankel_phase(kappa, theta, n, fine != 0, i); });
}

MOLVAK_EXPORT int molvak_fdbf_hankel_phasor(int isa, const double* kappa, double* out, std::size_t n) {
    return run_with(isa, [&](molvak::fdbf::Isa i) { molvak::fdbf::hankel_phasor(kappa, out, n, i); });
}

MOLVAK_EXPORT int molvak_fdbf_unit_phasor(int isa, const double* angle, double* out, std::size_t n) {
    return run_with(isa, [&](molvak::fdbf::Isa i) { molvak::fdbf::unit_phasor(angle, out, n, i); });
}

MOLVAK_EXPORT int molvak_fdbf_beam_power(int isa, const double* spectrum, std::ptrdiff_t trace_stride,
                                         std::ptrdiff_t bin_stride, const double* freqs, std::size_t nf,
                                         const double* offsets, std::ptrdiff_t offset_stride,
                                         std::size_t nx, const double* velocities, std::size_t nc,
                                         int weight_by_offset, int cylindrical, double* power) {
    using namespace molvak::fdbf;
    const Problem p{spectrum, trace_stride, bin_stride, freqs, nf, offsets, offset_stride, nx,
                    velocities, nc, weight_by_offset != 0,
                    cylindrical != 0 ? Steering::cylindrical : Steering::plane, power};
    return run_with(isa, [&](Isa i) { beam_power(p, i); });
}

}
