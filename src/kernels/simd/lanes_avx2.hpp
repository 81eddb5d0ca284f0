// AVX2 lanes: four doubles per vector, masks as all-ones lanes, gather
// indices as four 32-bit integers. Compiled with -mavx2 -mfma.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "AVX2 lane code is compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>

// glibc's vector math library: sine and cosine of four doubles per call,
// within 4 ulps, with the full argument reduction of the scalar functions.
#if defined(MOLVAK_HAVE_LIBMVEC)
extern "C" {
__m256d _ZGVdN4v_sin(__m256d);
__m256d _ZGVdN4v_cos(__m256d);
}
#endif

namespace molvak::simd::avx2 {
namespace {

constexpr std::size_t W = 4;
using vd = __m256d;
using vm = __m256d;
using vi = __m256i;
using vx = __m128i;

constexpr bool kFusedMultiplyAdd = true;
// The indices are 32-bit.
constexpr std::int64_t kIndexMax = INT_MAX;

inline vd set1(double a) { return _mm256_set1_pd(a); }
inline vd loadu(const double* p) { return _mm256_loadu_pd(p); }
inline void storeu(double* p, vd a) { _mm256_storeu_pd(p, a); }
inline vd add(vd a, vd b) { return _mm256_add_pd(a, b); }
inline vd sub(vd a, vd b) { return _mm256_sub_pd(a, b); }
inline vd mul(vd a, vd b) { return _mm256_mul_pd(a, b); }
inline vd divide(vd a, vd b) { return _mm256_div_pd(a, b); }
inline vd sqrt(vd a) { return _mm256_sqrt_pd(a); }
inline vd fmadd(vd a, vd b, vd c) { return _mm256_fmadd_pd(a, b, c); }
inline vd fnmadd(vd a, vd b, vd c) { return _mm256_fnmadd_pd(a, b, c); }
inline vd fmsub(vd a, vd b, vd c) { return _mm256_fmsub_pd(a, b, c); }
inline vd absval(vd a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
inline vd copysign(vd mag, vd sign) {
    const vd bit = _mm256_set1_pd(-0.0);
    return _mm256_or_pd(_mm256_andnot_pd(bit, mag), _mm256_and_pd(bit, sign));
}
inline void sincos(vd t, vd* s, vd* c) {
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

// (r0 i0 r1 i1) (r2 i2 r3 i3) <-> (r0 r1 r2 r3) (i0 i1 i2 i3)
inline void load_pairs(const double* p, vd* re, vd* im) {
    const vd a = _mm256_loadu_pd(p), b = _mm256_loadu_pd(p + 4);
    *re = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0xD8);
    *im = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), 0xD8);
}
inline void store_pairs(double* p, vd re, vd im) {
    const vd r = _mm256_permute4x64_pd(re, 0xD8), i = _mm256_permute4x64_pd(im, 0xD8);
    _mm256_storeu_pd(p, _mm256_unpacklo_pd(r, i));
    _mm256_storeu_pd(p + 4, _mm256_unpackhi_pd(r, i));
}

inline vi bits(vd a) { return _mm256_castpd_si256(a); }
inline vd from_bits(vi b) { return _mm256_castsi256_pd(b); }

inline vm lt(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
inline vm le(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
inline vm gt(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
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
inline vd zero_unless(vm m, vd a) { return _mm256_and_pd(m, a); }

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
inline vm igt(vi a, vi b) { return _mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b)); }
inline void istoreu(std::int64_t* p, vi a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
inline vi iloadu(const std::int64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline vd gather(const double* base, vi idx) { return _mm256_i64gather_pd(base, idx, 8); }
inline vd lookup16(vi q, const double* table) {
    return _mm256_i64gather_pd(table, _mm256_and_si256(q, _mm256_set1_epi64x(15)), 8);
}

inline vx to_index(vd a) { return _mm256_cvttpd_epi32(a); }
inline vd index_value(vx a) { return _mm256_cvtepi32_pd(a); }
inline vx xset1(std::int64_t a) { return _mm_set1_epi32(static_cast<int>(a)); }
inline vx xadd(vx a, vx b) { return _mm_add_epi32(a, b); }
// 32-bit comparisons widened to the 64-bit lanes of a mask.
inline vm xgt(vx a, vx b) { return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(a, b))); }
inline vm xlt(vx a, vx b) { return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmplt_epi32(a, b))); }
inline vd gather_or_zero(const double* base, vx idx, vm m) {
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, idx, m, 8);
}

}  // namespace
}  // namespace molvak::simd::avx2
