// Run-time selection of vector code. Hot kernels are compiled for several
// instruction sets (never with -march=native, which would tie the built
// module to the build machine) and pick the widest one the processor has.
#pragma once

namespace molvak::simd {

enum class Isa { scalar, avx2, avx512 };

// The widest vector unit usable here: AVX-512 (F and DQ), AVX2 with FMA, or
// none. Detected once.
Isa detected();

}  // namespace molvak::simd

// Compiles a function once per instruction set and dispatches at load time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MOLVAK_TARGET_CLONES __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#else
#define MOLVAK_TARGET_CLONES
#endif
