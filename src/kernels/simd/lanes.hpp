// The lane vocabulary of this translation unit. A kernel's `*_lanes.cpp` is
// compiled once per instruction set, with that set's flags and one of
// MOLVAK_LANES_SCALAR, MOLVAK_LANES_AVX2, MOLVAK_LANES_AVX512 or
// MOLVAK_LANES_NEON defined
// (CMakeLists.txt does both); it includes this header and writes its code
// once, in the namespace MOLVAK_LANES_NS, over `simd::lanes`:
//
//   W                 doubles per vector
//   vd, vm, vi, vx    vectors of doubles, lane masks, 64-bit integers and
//                     gather indices
//   kFusedMultiplyAdd whether fmadd is one instruction (a portable build
//                     without one pays a library call for it)
//
// and the operations listed in lanes_scalar.hpp, the reference for what
// each one computes. Everything in the vocabulary has internal linkage, so
// code compiled for a wide set can never be picked by the linker for a
// translation unit compiled for a narrower one.
#pragma once

#include "simd/isa.hpp"

#include "simd/lanes_scalar.hpp"

#if defined(MOLVAK_LANES_AVX512)
#include "simd/lanes_avx512.hpp"
#define MOLVAK_LANES_NS lanes_avx512
#define MOLVAK_LANES_ISA ::molvak::simd::Isa::avx512
namespace molvak::simd { namespace lanes = avx512; }
#elif defined(MOLVAK_LANES_AVX2)
#include "simd/lanes_avx2.hpp"
#define MOLVAK_LANES_NS lanes_avx2
#define MOLVAK_LANES_ISA ::molvak::simd::Isa::avx2
namespace molvak::simd { namespace lanes = avx2; }
#elif defined(MOLVAK_LANES_NEON)
#include "simd/lanes_neon.hpp"
#define MOLVAK_LANES_NS lanes_neon
#define MOLVAK_LANES_ISA ::molvak::simd::Isa::neon
namespace molvak::simd { namespace lanes = neon; }
#elif defined(MOLVAK_LANES_SCALAR)
#define MOLVAK_LANES_NS lanes_scalar
#define MOLVAK_LANES_ISA ::molvak::simd::Isa::scalar
namespace molvak::simd { namespace lanes = scalar; }
#else
#error "lane code is compiled through CMakeLists.txt, once per instruction set"
#endif
