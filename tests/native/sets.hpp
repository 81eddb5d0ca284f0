// The instruction sets whose lane code runs on this machine, for tests that
// check every path.
#pragma once

#include <vector>

#include "simd/isa.hpp"

namespace molvak::test {

inline std::vector<simd::Isa> usable_sets() {
    std::vector<simd::Isa> sets;
    for (simd::Isa isa : {simd::Isa::scalar, simd::Isa::avx2, simd::Isa::avx512, simd::Isa::neon})
        if (simd::usable(isa) && simd::resolve(isa) == isa) sets.push_back(isa);
    return sets;
}

}  // namespace molvak::test
