#include "simd/isa.hpp"

namespace molvak::simd {

namespace {

Isa detect() noexcept {
#if defined(MOLVAK_X86_LANES)
    // GCC's and Clang's CPU model checks the operating system's register
    // saving (XGETBV) as well as the CPUID bits.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
#elif defined(MOLVAK_NEON_LANES)
    // Advanced SIMD with doubles is part of the AArch64 base architecture.
    return Isa::neon;
#endif
    return Isa::scalar;
}

// Whether this build has lane code for `isa`.
constexpr bool compiled(Isa isa) noexcept {
    switch (isa) {
        case Isa::scalar: return true;
#if defined(MOLVAK_X86_LANES)
        case Isa::avx2:
        case Isa::avx512: return true;
#endif
#if defined(MOLVAK_NEON_LANES)
        case Isa::neon: return true;
#endif
        default: return false;
    }
}

Isa detected() noexcept {
    static const Isa isa = detect();
    return isa;
}

}  // namespace

bool usable(Isa isa) noexcept {
    return isa == Isa::best || (compiled(isa) && static_cast<int>(isa) <= static_cast<int>(detected()));
}

Isa resolve(Isa requested) noexcept {
    if (requested != Isa::best && usable(requested)) return requested;
    Isa isa = detected();
#if defined(MOLVAK_PIN_ISA)
    // A pin only ever narrows the choice.
    if (static_cast<int>(isa) > MOLVAK_PIN_ISA)
        isa = compiled(static_cast<Isa>(MOLVAK_PIN_ISA)) ? static_cast<Isa>(MOLVAK_PIN_ISA) : Isa::scalar;
#endif
    return isa;
}

const char* name(Isa isa) noexcept {
    switch (isa) {
        case Isa::best: return "best";
        case Isa::scalar: return "scalar";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::neon: return "neon";
    }
    return "?";
}

}  // namespace molvak::simd
