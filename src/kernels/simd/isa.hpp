// Run-time choice of vector code. Every kernel with a vector part has one
// source of lane code (`*_lanes.cpp`), written once over the lane vocabulary
// of lanes.hpp and compiled once per instruction set with that set's flags
// (never -march=native, which would tie the build to the build machine).
// The generic code of the kernel picks the table of entry points of the
// widest set that this build compiled and this processor runs.
#pragma once

namespace molvak::simd {

// `best` stands for the widest usable set; the others are the sets lane code
// is compiled for: the x86-64 ones where the build targets x86-64, NEON
// where it targets AArch64. Within one architecture a larger value is a
// wider set.
enum class Isa : int { best = -1, scalar = 0, avx2 = 1, avx512 = 2, neon = 3 };

// Whether this build compiled lane code for `isa` and this processor runs it
// (AVX2 with FMA; AVX-512 F and DQ, with the operating system saving the
// registers; NEON on every AArch64 processor). `best` and `scalar` are
// always usable.
bool usable(Isa isa) noexcept;

// The set `requested` stands for: `best` becomes the widest usable set,
// capped by the build's pin (cmake -DMOLVAK_FORCE_ISA=scalar|avx2, for test
// builds that check the narrower paths on a wide machine); a set that is
// not usable here becomes the best one. Never a set this processor lacks.
Isa resolve(Isa requested) noexcept;

// The name of a set, for messages and test output.
const char* name(Isa isa) noexcept;

}  // namespace molvak::simd
