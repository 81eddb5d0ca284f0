// The portable lanes: one double per vector. Correct on every processor, and
// the reference for what each operation of the vocabulary computes; the wide
// sets compute the same, lane by lane. Included by every lane source (the
// wide ones use it for their tails); internal linkage throughout.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace molvak::simd::scalar {
namespace {

constexpr std::size_t W = 1;
using vd = double;        // doubles
using vm = bool;          // lane masks
using vi = std::int64_t;  // 64-bit integers, two's complement, the bits of a vd
using vx = std::int64_t;  // gather indices

// fmadd is one instruction where the compiler says so (FP_FAST_FMA:
// aarch64, or x86-64 built with FMA); elsewhere std::fma is a library call.
#if defined(__FP_FAST_FMA)
constexpr bool kFusedMultiplyAdd = true;
#else
constexpr bool kFusedMultiplyAdd = false;
#endif
// The largest index a gather takes.
constexpr std::int64_t kIndexMax = INT64_MAX;

// Arithmetic, one rounding per operation.
inline vd set1(double a) { return a; }
inline vd loadu(const double* p) { return *p; }
inline void storeu(double* p, vd a) { *p = a; }
inline vd add(vd a, vd b) { return a + b; }
inline vd sub(vd a, vd b) { return a - b; }
inline vd mul(vd a, vd b) { return a * b; }
inline vd divide(vd a, vd b) { return a / b; }
inline vd sqrt(vd a) { return std::sqrt(a); }
// a * b + c, c - a * b and a * b - c, rounded once.
inline vd fmadd(vd a, vd b, vd c) { return std::fma(a, b, c); }
inline vd fnmadd(vd a, vd b, vd c) { return std::fma(-a, b, c); }
inline vd fmsub(vd a, vd b, vd c) { return std::fma(a, b, -c); }
inline vd absval(vd a) { return std::fabs(a); }
// The magnitude of `mag` with the sign bit of `sign`.
inline vd copysign(vd mag, vd sign) { return std::copysign(mag, sign); }
// Sine and cosine with the math library's accuracy.
inline void sincos(vd t, vd* s, vd* c) {
    *s = std::sin(t);
    *c = std::cos(t);
}

// Complex numbers stored as pairs (real, imaginary): W of them from 2W
// doubles at p, split into their real and their imaginary parts, and back.
inline void load_pairs(const double* p, vd* re, vd* im) {
    *re = p[0];
    *im = p[1];
}
inline void store_pairs(double* p, vd re, vd im) {
    p[0] = re;
    p[1] = im;
}

// Bits.
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

// Comparisons (ordered: false where either side is NaN) and masks.
inline vm lt(vd a, vd b) { return a < b; }
inline vm le(vd a, vd b) { return a <= b; }
inline vm gt(vd a, vd b) { return a > b; }
inline vm ge(vd a, vd b) { return a >= b; }
inline vm both(vm a, vm b) { return a && b; }
inline vm invert(vm a) { return !a; }
inline bool any(vm a) { return a; }
// Bit l set for lane l.
inline unsigned lane_bits(vm a) { return a ? 1u : 0u; }
// The first n lanes.
inline vm first_lanes(std::size_t n) { return n > 0; }
inline vd select(vm m, vd a, vd b) { return m ? a : b; }
inline vm select_mask(vm m, vm a, vm b) { return m ? a : b; }
// a where m, +0 elsewhere.
inline vd zero_unless(vm m, vd a) { return m ? a : 0.0; }

// 64-bit integer lanes.
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
inline vm igt(vi a, vi b) { return a > b; }
inline void istoreu(std::int64_t* p, vi a) { *p = a; }
inline vi iloadu(const std::int64_t* p) { return *p; }
// base[idx] for every lane.
inline vd gather(const double* base, vi idx) { return base[idx]; }
// table[q mod 16] from a table of 16 doubles.
inline vd lookup16(vi q, const double* table) { return table[q & 15]; }

// Gather indices: a double truncated toward zero (|a| below kIndexMax),
// back to double, sums and comparisons, and a gather that reads only the
// lanes of a mask (+0 in the others).
inline vx to_index(vd a) { return static_cast<vx>(a); }
inline vd index_value(vx a) { return static_cast<double>(a); }
inline vx xset1(std::int64_t a) { return a; }
inline vx xadd(vx a, vx b) { return a + b; }
inline vm xgt(vx a, vx b) { return a > b; }
inline vm xlt(vx a, vx b) { return a < b; }
inline vd gather_or_zero(const double* base, vx idx, vm m) { return m ? base[idx] : 0.0; }

}  // namespace
}  // namespace molvak::simd::scalar
