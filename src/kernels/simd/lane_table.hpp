// The tables of entry points that a kernel's lane code exports, one per
// instruction set compiled, and the choice among them at run time.
//
//   // in the kernel's internal header, at namespace scope of the kernel:
//   struct LaneKernels { void (*run)(const Problem&); };
//   MOLVAK_LANE_TABLES(LaneKernels, lane_kernels)
//
//   // in its *_lanes.cpp, inside namespace MOLVAK_LANES_NS:
//   const LaneKernels lane_kernels = {&run};
//
//   // in its generic code:
//   simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels)).run(p);
#pragma once

#include "simd/isa.hpp"

#if defined(MOLVAK_X86_LANES)
#define MOLVAK_LANE_TABLES(Type, name)              \
    namespace lanes_scalar { extern const Type name; } \
    namespace lanes_avx2 { extern const Type name; }   \
    namespace lanes_avx512 { extern const Type name; }
#define MOLVAK_LANE_TABLE_LIST(name) lanes_scalar::name, &lanes_avx2::name, &lanes_avx512::name, nullptr
#elif defined(MOLVAK_NEON_LANES)
#define MOLVAK_LANE_TABLES(Type, name)              \
    namespace lanes_scalar { extern const Type name; } \
    namespace lanes_neon { extern const Type name; }
#define MOLVAK_LANE_TABLE_LIST(name) lanes_scalar::name, nullptr, nullptr, &lanes_neon::name
#else
#define MOLVAK_LANE_TABLES(Type, name) \
    namespace lanes_scalar { extern const Type name; }
#define MOLVAK_LANE_TABLE_LIST(name) lanes_scalar::name, nullptr, nullptr, nullptr
#endif

namespace molvak::simd {

template <class T>
struct same_type {
    using type = T;
};

// The table for `isa` (resolved: `best`, or an unusable set, becomes the
// widest usable one). The wide tables are null where this build has none.
template <class Table>
const Table& pick(Isa isa, const Table& scalar, const typename same_type<Table>::type* avx2,
                  const typename same_type<Table>::type* avx512,
                  const typename same_type<Table>::type* neon) noexcept {
    switch (resolve(isa)) {
        case Isa::avx512: if (avx512) return *avx512; break;
        case Isa::avx2: if (avx2) return *avx2; break;
        case Isa::neon: if (neon) return *neon; break;
        default: break;
    }
    return scalar;
}

}  // namespace molvak::simd
