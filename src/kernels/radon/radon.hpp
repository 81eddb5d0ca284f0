// Tau-p (slant stack) kernels over raw buffers. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/isa.hpp"

namespace molvak::fft { class RealPlan; }

namespace molvak::radon {

enum Moveout : int { linear = 0, parabolic = 1, hyperbolic = 2 };

struct Gather {
    const double* data;     // (nx, nt), row-major
    std::size_t nx;
    std::size_t nt;
    const double* offsets;  // nx entries
};

// The tau-p transform for one moveout parameter p at the intercept times
// tau[0..ntau): sum[j] receives the trapezoid integral over offset of the
// interpolated amplitudes. `prev` is scratch of ntau doubles. Every
// instruction set gives the same bits.
void column(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
            double dt, double t0, double* sum, double* prev, simd::Isa isa = simd::Isa::best);

// The whole panel, out[j * np + k] for tau[j] and p[k]. Throws AllocFailure.
void panel(const Gather& g, Moveout moveout, const double* p, std::size_t np, const double* tau,
           std::size_t ntau, double dt, double t0, double* out, simd::Isa isa = simd::Isa::best);

// Slant-stack dispersion spectrum: for every slowness k, the linear tau-p
// column at the intercept times `time` (t0 = time[0]) is transformed with
// `plan` (zero-padded to its length) and its bins first .. first + count - 1
// (within plan.bins()), scaled by dt, are written as column k of the
// C-ordered complex (count, nslow) array `spectrum`. Nothing is done when
// count is 0. No panel is held in memory. Throws AllocFailure.
void slant_stack_spectrum(const Gather& g, const double* slowness, std::size_t nslow,
                          const double* time, std::size_t ntime, double dt, fft::RealPlan& plan,
                          std::size_t first, std::size_t count, double* spectrum);

}  // namespace molvak::radon
