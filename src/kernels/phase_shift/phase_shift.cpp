// Phase-shift dispersion kernels.
//
// V[g, k] = sum_i (P[i, g, k] + P[i-1, g, k]) * |x_i - x_{i-1}| / 2 with
// P = u * e^{i theta}, theta = ((2 pi x) / c) * f. The work is organised so
// that P never exists as an array: for a block of W velocities (one vector)
// and a tile of frequencies, the traces are walked in order and every term
// is added into V as soon as its P is known, with V and the previous trace's
// P held in registers.
//
// The phasor e^{i theta} is the only costly part. Along the uniform
// frequency grid it follows the angle-addition recurrence
// e^{i phi (n + 1) df} = e^{i phi n df} * e^{i phi df}, re-anchored on a direct
// sine and cosine every kAnchor frequencies and corrected per element to the
// theta as rounded in double precision (phase_shift_lanes.cpp explains the
// error bound).
// Blocks where theta grows so large that the correction no longer holds take
// the direct sine and cosine of every theta instead.
#include "phase_shift/phase_shift.hpp"

#include <cmath>

#include "common/complex.hpp"
#include "phase_shift/phase_shift_lanes.hpp"

namespace molvak::phase_shift {

namespace {

// u / |u| for every element of the band, written frequency-major so that the
// tiles read each frequency's traces as one contiguous run.
void normalise(const Problem& p, double* unit) {
    constexpr std::size_t block = 16;  // traces per pass: 16 output runs in flight
    for (std::size_t t0 = 0; t0 < p.nu; t0 += block) {
        const std::size_t t1 = t0 + block < p.nu ? t0 + block : p.nu;
        for (std::size_t g = 0; g < p.nf; ++g) {
            for (std::size_t t = t0; t < t1; ++t) {
                const double* s = p.u + static_cast<std::ptrdiff_t>(t) * p.u_row +
                                  static_cast<std::ptrdiff_t>(g) * p.u_col;
                const cx::cdouble z{s[0], s[1]};
                // No guard: a zero modulus gives 0/0 = NaN, as it should.
                const cx::cdouble n = cx::divcr(z, cx::abs(z));
                unit[2 * (g * p.nu + t)] = n.real;
                unit[2 * (g * p.nu + t) + 1] = n.imag;
            }
        }
    }
}

}  // namespace

Workspace::Workspace(const Problem& p)
    : unit(2 * p.nf * p.nu, "unit spectra"),
      w(p.nx, "trapezoid weights"),
      state(kStateArrays * kMaxLanes * p.nx, "phase-shift state") {}

void phase_shift(const Problem& p, Workspace& ws, double* v, simd::Isa isa) noexcept {
    normalise(p, ws.unit.data());
    double* w = ws.w.data();
    w[0] = 0.0;
    for (std::size_t i = 1; i < p.nx; ++i) w[i] = std::fabs(p.x[i] - p.x[i - 1]) * 0.5;

    const LaneKernels& kernels = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    const std::size_t lanes = kernels.lanes;
    double* s = ws.state.data();
    const std::size_t n = p.nx * lanes;
    const Ctx c{ws.unit.data(), p.nu, p.nu == 1 ? 0u : 1u, p.f, p.nf, p.df, p.x, w, p.nx, p.c, p.nc,
                s, s + n, s + 2 * n, s + 3 * n, s + 4 * n, s + 5 * n, v};
    kernels.run(c);
}

}  // namespace molvak::phase_shift
