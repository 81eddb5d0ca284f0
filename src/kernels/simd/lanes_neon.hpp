// NEON lanes (AArch64 Advanced SIMD): two doubles per vector, masks as
// all-ones 64-bit lanes, gather indices as 64-bit integers. NEON is part of
// every AArch64 processor, so this set needs no flags of its own.
#pragma once

#if !defined(__aarch64__) || !defined(__ARM_NEON)
#error "NEON lane code is compiled for AArch64"
#endif

#include <arm_neon.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

// glibc's vector math library (2.38 on): sine and cosine of two doubles per
// call, within 4 ulps, under the vector calling convention (declared as
// glibc's <math.h> does). Without it, each lane calls the scalar functions.
#if defined(MOLVAK_HAVE_LIBMVEC)
extern "C" {
__attribute__((aarch64_vector_pcs)) float64x2_t _ZGVnN2v_sin(float64x2_t);
__attribute__((aarch64_vector_pcs)) float64x2_t _ZGVnN2v_cos(float64x2_t);
}
#endif

namespace molvak::simd::neon {
namespace {

constexpr std::size_t W = 2;
using vd = float64x2_t;
using vm = uint64x2_t;
using vi = int64x2_t;
using vx = int64x2_t;

constexpr bool kFusedMultiplyAdd = true;
constexpr std::int64_t kIndexMax = INT64_MAX;

inline vd set1(double a) { return vdupq_n_f64(a); }
inline vd loadu(const double* p) { return vld1q_f64(p); }
inline void storeu(double* p, vd a) { vst1q_f64(p, a); }
inline vd add(vd a, vd b) { return vaddq_f64(a, b); }
inline vd sub(vd a, vd b) { return vsubq_f64(a, b); }
inline vd mul(vd a, vd b) { return vmulq_f64(a, b); }
inline vd divide(vd a, vd b) { return vdivq_f64(a, b); }
inline vd sqrt(vd a) { return vsqrtq_f64(a); }
// FMLA adds the product to its first operand, FMLS its negation: both round
// once, as std::fma(a, b, c) and std::fma(-a, b, c). a * b - c is -c plus the
// product (not the negation of c - a * b, whose exact zero would be -0).
inline vd fmadd(vd a, vd b, vd c) { return vfmaq_f64(c, a, b); }
inline vd fnmadd(vd a, vd b, vd c) { return vfmsq_f64(c, a, b); }
inline vd fmsub(vd a, vd b, vd c) { return vfmaq_f64(vnegq_f64(c), a, b); }
inline vd absval(vd a) { return vabsq_f64(a); }
inline vd copysign(vd mag, vd sign) {
    return vbslq_f64(vdupq_n_u64(0x8000000000000000ULL), sign, mag);
}
inline void sincos(vd t, vd* s, vd* c) {
#if defined(MOLVAK_HAVE_LIBMVEC)
    *s = _ZGVnN2v_sin(t);
    *c = _ZGVnN2v_cos(t);
#else
    double a[2], sa[2], ca[2];
    vst1q_f64(a, t);
    for (int l = 0; l < 2; ++l) {
        sa[l] = std::sin(a[l]);
        ca[l] = std::cos(a[l]);
    }
    *s = vld1q_f64(sa);
    *c = vld1q_f64(ca);
#endif
}

// (r0 i0 r1 i1) <-> (r0 r1) (i0 i1): LD2 and ST2 (de)interleave.
inline void load_pairs(const double* p, vd* re, vd* im) {
    const float64x2x2_t a = vld2q_f64(p);
    *re = a.val[0];
    *im = a.val[1];
}
inline void store_pairs(double* p, vd re, vd im) {
    float64x2x2_t a;
    a.val[0] = re;
    a.val[1] = im;
    vst2q_f64(p, a);
}

inline vi bits(vd a) { return vreinterpretq_s64_f64(a); }
inline vd from_bits(vi b) { return vreinterpretq_f64_s64(b); }

// FCMGT and its kin are false where either side is NaN.
inline vm lt(vd a, vd b) { return vcltq_f64(a, b); }
inline vm le(vd a, vd b) { return vcleq_f64(a, b); }
inline vm gt(vd a, vd b) { return vcgtq_f64(a, b); }
inline vm ge(vd a, vd b) { return vcgeq_f64(a, b); }
inline vm both(vm a, vm b) { return vandq_u64(a, b); }
inline vm invert(vm a) { return veorq_u64(a, vdupq_n_u64(~0ULL)); }
inline unsigned lane_bits(vm a) {
    return static_cast<unsigned>((vgetq_lane_u64(a, 0) & 1u) | ((vgetq_lane_u64(a, 1) & 1u) << 1));
}
inline bool any(vm a) { return vmaxvq_u32(vreinterpretq_u32_u64(a)) != 0; }
inline vm first_lanes(std::size_t n) {
    const std::uint64_t lanes[2] = {0, 1};
    return vcltq_u64(vld1q_u64(lanes), vdupq_n_u64(static_cast<std::uint64_t>(n)));
}
inline vd select(vm m, vd a, vd b) { return vbslq_f64(m, a, b); }
inline vm select_mask(vm m, vm a, vm b) { return vbslq_u64(m, a, b); }
inline vd zero_unless(vm m, vd a) { return vreinterpretq_f64_u64(vandq_u64(m, vreinterpretq_u64_f64(a))); }

// USHR and SHL take shift counts 1..64 and 0..63.
template <int N>
inline vi srl(vi a) {
    if constexpr (N == 0) return a;
    else return vreinterpretq_s64_u64(vshrq_n_u64(vreinterpretq_u64_s64(a), N));
}
template <int N>
inline vi sll(vi a) { return vshlq_n_s64(a, N); }
inline vi iand(vi a, vi b) { return vandq_s64(a, b); }
inline vi ior(vi a, vi b) { return vorrq_s64(a, b); }
inline vi iadd(vi a, vi b) { return vaddq_s64(a, b); }
inline vi isub(vi a, vi b) { return vsubq_s64(a, b); }
inline vi iset1(std::int64_t a) { return vdupq_n_s64(a); }
inline vi iselect(vm m, vi a, vi b) { return vbslq_s64(m, a, b); }
inline vm igt(vi a, vi b) { return vcgtq_s64(a, b); }
inline void istoreu(std::int64_t* p, vi a) { vst1q_s64(p, a); }
inline vi iloadu(const std::int64_t* p) { return vld1q_s64(p); }
// No gather instruction: two loads into the lanes.
inline vd gather(const double* base, vi idx) {
    const vd lo = vld1q_dup_f64(base + vgetq_lane_s64(idx, 0));
    return vld1q_lane_f64(base + vgetq_lane_s64(idx, 1), lo, 1);
}
inline vd lookup16(vi q, const double* table) { return gather(table, vandq_s64(q, vdupq_n_s64(15))); }

// FCVTZS truncates toward zero.
inline vx to_index(vd a) { return vcvtq_s64_f64(a); }
inline vd index_value(vx a) { return vcvtq_f64_s64(a); }
inline vx xset1(std::int64_t a) { return vdupq_n_s64(a); }
inline vx xadd(vx a, vx b) { return vaddq_s64(a, b); }
inline vm xgt(vx a, vx b) { return vcgtq_s64(a, b); }
inline vm xlt(vx a, vx b) { return vcltq_s64(a, b); }
// Only the lanes of the mask are read.
inline vd gather_or_zero(const double* base, vx idx, vm m) {
    const double lo = vgetq_lane_u64(m, 0) ? base[vgetq_lane_s64(idx, 0)] : 0.0;
    const double hi = vgetq_lane_u64(m, 1) ? base[vgetq_lane_s64(idx, 1)] : 0.0;
    return vsetq_lane_f64(hi, vdupq_n_f64(lo), 1);
}

}  // namespace
}  // namespace molvak::simd::neon
