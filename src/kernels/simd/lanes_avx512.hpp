// AVX-512 lanes: eight doubles per vector, masks in mask registers, gather
// indices as 64-bit integers. Compiled with -mavx512f -mavx512dq -mavx2
// -mfma. Shifts, permutes and gathers use their masked forms with an
// all-ones mask: the same instructions, without GCC 12's false
// uninitialised-value warnings about the unmasked forms.
#pragma once

#if !defined(__AVX512F__) || !defined(__AVX512DQ__)
#error "AVX-512 lane code is compiled with -mavx512f -mavx512dq -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

// glibc's vector math library: sine and cosine of eight doubles per call.
#if defined(MOLVAK_HAVE_LIBMVEC)
extern "C" {
__m512d _ZGVeN8v_sin(__m512d);
__m512d _ZGVeN8v_cos(__m512d);
}
#endif

namespace molvak::simd::avx512 {
namespace {

constexpr std::size_t W = 8;
using vd = __m512d;
using vm = __mmask8;
using vi = __m512i;
using vx = __m512i;

constexpr bool kFusedMultiplyAdd = true;
constexpr std::int64_t kIndexMax = INT64_MAX;

inline vd set1(double a) { return _mm512_set1_pd(a); }
inline vd loadu(const double* p) { return _mm512_loadu_pd(p); }
inline void storeu(double* p, vd a) { _mm512_storeu_pd(p, a); }
inline vd add(vd a, vd b) { return _mm512_add_pd(a, b); }
inline vd sub(vd a, vd b) { return _mm512_sub_pd(a, b); }
inline vd mul(vd a, vd b) { return _mm512_mul_pd(a, b); }
inline vd divide(vd a, vd b) { return _mm512_div_pd(a, b); }
inline vd sqrt(vd a) { return _mm512_maskz_sqrt_pd(0xFF, a); }
inline vd fmadd(vd a, vd b, vd c) { return _mm512_fmadd_pd(a, b, c); }
inline vd fnmadd(vd a, vd b, vd c) { return _mm512_fnmadd_pd(a, b, c); }
inline vd fmsub(vd a, vd b, vd c) { return _mm512_fmsub_pd(a, b, c); }
inline vd absval(vd a) { return _mm512_abs_pd(a); }
inline vd copysign(vd mag, vd sign) {
    const vd bit = _mm512_set1_pd(-0.0);
    return _mm512_or_pd(_mm512_andnot_pd(bit, mag), _mm512_and_pd(bit, sign));
}
inline void sincos(vd t, vd* s, vd* c) {
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

// 16 doubles (r0 i0 ... r7 i7) <-> (r0 .. r7) (i0 .. i7), by two-source permutes
inline void load_pairs(const double* p, vd* re, vd* im) {
    const vd a = _mm512_loadu_pd(p), b = _mm512_loadu_pd(p + 8);
    const vi even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
    const vi odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
    *re = _mm512_maskz_permutex2var_pd(0xFF, a, even, b);
    *im = _mm512_maskz_permutex2var_pd(0xFF, a, odd, b);
}
inline void store_pairs(double* p, vd re, vd im) {
    const vi low = _mm512_set_epi64(11, 3, 10, 2, 9, 1, 8, 0);
    const vi high = _mm512_set_epi64(15, 7, 14, 6, 13, 5, 12, 4);
    _mm512_storeu_pd(p, _mm512_maskz_permutex2var_pd(0xFF, re, low, im));
    _mm512_storeu_pd(p + 8, _mm512_maskz_permutex2var_pd(0xFF, re, high, im));
}

inline vi bits(vd a) { return _mm512_castpd_si512(a); }
inline vd from_bits(vi b) { return _mm512_castsi512_pd(b); }

inline vm lt(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
inline vm le(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
inline vm gt(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
inline vm ge(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
inline vm both(vm a, vm b) { return static_cast<vm>(a & b); }
inline vm invert(vm a) { return static_cast<vm>(~a); }
inline unsigned lane_bits(vm a) { return a; }
inline bool any(vm a) { return a != 0; }
inline vm first_lanes(std::size_t n) { return static_cast<vm>((1u << n) - 1u); }
inline vd select(vm m, vd a, vd b) { return _mm512_mask_blend_pd(m, b, a); }
inline vm select_mask(vm m, vm a, vm b) { return static_cast<vm>((m & a) | (~m & b)); }
inline vd zero_unless(vm m, vd a) { return _mm512_maskz_mov_pd(m, a); }

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
inline vm igt(vi a, vi b) { return _mm512_cmpgt_epi64_mask(a, b); }
inline void istoreu(std::int64_t* p, vi a) { _mm512_storeu_si512(p, a); }
inline vi iloadu(const std::int64_t* p) { return _mm512_loadu_si512(p); }
inline vd gather(const double* base, vi idx) {
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, idx, base, 8);
}
// vpermt2pd reads the low four bits of each index.
inline vd lookup16(vi q, const double* table) {
    return _mm512_maskz_permutex2var_pd(0xFF, _mm512_loadu_pd(table), q, _mm512_loadu_pd(table + 8));
}

inline vx to_index(vd a) { return _mm512_cvttpd_epi64(a); }
inline vd index_value(vx a) { return _mm512_cvtepi64_pd(a); }
inline vx xset1(std::int64_t a) { return _mm512_set1_epi64(a); }
inline vx xadd(vx a, vx b) { return _mm512_add_epi64(a, b); }
inline vm xgt(vx a, vx b) { return _mm512_cmpgt_epi64_mask(a, b); }
inline vm xlt(vx a, vx b) { return _mm512_cmplt_epi64_mask(a, b); }
inline vd gather_or_zero(const double* base, vx idx, vm m) {
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), m, idx, base, 8);
}

}  // namespace
}  // namespace molvak::simd::avx512
