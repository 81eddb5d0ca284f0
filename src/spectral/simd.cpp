#include "spectral/simd.hpp"

namespace molvak::simd {

namespace {
Isa detect() {
    // Test builds pin the vector path so that every path can be checked on
    // one machine (cmake -DMOLVAK_FORCE_ISA=scalar|avx2).
#if defined(MOLVAK_FORCE_ISA_SCALAR)
    return Isa::scalar;
#elif defined(MOLVAK_FORCE_ISA_AVX2)
    return Isa::avx2;
#elif defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
#endif
    return Isa::scalar;
}
}  // namespace

Isa detected() {
    static const Isa isa = detect();
    return isa;
}

}  // namespace molvak::simd
