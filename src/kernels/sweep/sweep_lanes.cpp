// The sweep's per-row terms and window sums, written once over the lane
// vocabulary and compiled once per instruction set. Velocities run along the
// lanes; every row is one trace or one segment.
#include "simd/lanes.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "sweep/sweep_lanes.hpp"
#include "sweep/window_sums.hpp"

namespace molvak::sweep::MOLVAK_LANES_NS {
namespace {

using namespace simd::lanes;

static_assert(kBlock % W == 0, "a block is whole vectors");

// P_i = u_i e^{i theta} with theta = phi * f: four separate products, then
// the difference and the sum; the segment (i-1, i) is (P_i + P_{i-1}) * w_i.
//
// The phasor e^{i theta} comes from the direct sine and cosine at an anchor
// frequency fa (anchor true), and between anchors from the phasor state e
// advanced once per frequency by e^{i delta} (delta = phi * df), corrected
// to the theta of this frequency as rounded in double precision:
// r = (phi f - phi fa) - steps * delta, e^{i theta} = e (1 + i r) with r a
// few ulps of theta (the phase-shift estimator's recurrence, whose error
// bound phase_shift_lanes.cpp derives). Without a fused multiply-add every
// phasor is direct (rec false).
void phase_shift_segments(const PhaseState& st, const double* unit, const double* w, double f,
                          double fa, double steps, bool anchor, bool rec, std::size_t nx,
                          double* rows) {
    const vd fv = set1(f), fav = set1(fa), stepv = set1(steps);
    for (std::size_t l = 0; l < kBlock; l += W) {
        vd prev_r = set1(0.0), prev_i = set1(0.0);
        for (std::size_t i = 0; i < nx; ++i) {
            const std::size_t o = i * kBlock + l;
            const vd phi = loadu(st.phi + o);
            vd c, s;
            if (!rec || anchor) {
                sincos(mul(phi, fv), &s, &c);
                if (rec) {
                    storeu(st.er + o, c);
                    storeu(st.ei + o, s);
                }
            } else {
                const vd er = loadu(st.er + o), ei = loadu(st.ei + o);
                const vd t = sub(mul(phi, fv), mul(phi, fav));
                const vd r = fnmadd(stepv, loadu(st.delta + o), t);
                c = fnmadd(r, ei, er);
                s = fmadd(r, er, ei);
            }
            if (rec) {
                // The state advanced to the next frequency.
                const vd er = loadu(st.er + o), ei = loadu(st.ei + o);
                const vd dr = loadu(st.dr + o), di = loadu(st.di + o);
                storeu(st.er + o, fnmadd(ei, di, mul(er, dr)));
                storeu(st.ei + o, fmadd(er, di, mul(ei, dr)));
            }
            const vd ur = set1(unit[2 * i]), ui = set1(unit[2 * i + 1]);
            const vd pr = sub(mul(ur, c), mul(ui, s));
            const vd pi = add(mul(ui, c), mul(ur, s));
            if (i > 0) {
                const vd wi = set1(w[i]);
                double* row = rows + (i - 1) * 2 * kBlock;
                storeu(row + l, mul(add(pr, prev_r), wi));
                storeu(row + kBlock + l, mul(add(pi, prev_i), wi));
            }
            prev_r = pr;
            prev_i = pi;
        }
    }
}

// The step phasors e^{i delta} of a block, delta = phi * df.
void phase_shift_steps(const PhaseState& st, double df, std::size_t nx) {
    const vd dfv = set1(df);
    for (std::size_t o = 0; o < nx * kBlock; o += W) {
        const vd delta = mul(loadu(st.phi + o), dfv);
        storeu(st.delta + o, delta);
        vd s, c;
        sincos(delta, &s, &c);
        storeu(st.dr + o, c);
        storeu(st.di + o, s);
    }
}

// Whether a double is infinite or NaN: its exponent bits all set. An integer
// test, so that the flag of a whole row is an OR the compiler may vectorise.
inline std::uint64_t not_finite(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    constexpr std::uint64_t exponent = 0x7ff0000000000000ULL;
    return static_cast<std::uint64_t>((b & exponent) == exponent);
}

// Planar rows (half real parts, then half imaginary parts) written as nb
// interleaved complex numbers: the sum of two rows or one row, or its power.
// Returns nonzero when a value written is not finite.
template <bool Power>
inline std::uint64_t store_sum(const double* a, const double* b, std::size_t half, std::size_t nb,
                               double* o) {
    std::uint64_t bad = 0;
    if (b != nullptr) {
        for (std::size_t l = 0; l < nb; ++l) {
            const double re = a[l] + b[l], im = a[half + l] + b[half + l];
            const double out_re = Power ? re * re + im * im : re;
            const double out_im = Power ? 0.0 : im;
            o[2 * l] = out_re;
            o[2 * l + 1] = out_im;
            bad |= not_finite(out_re) | not_finite(out_im);
        }
    } else {
        for (std::size_t l = 0; l < nb; ++l) {
            const double re = a[l], im = a[half + l];
            const double out_re = Power ? re * re + im * im : re;
            const double out_im = Power ? 0.0 : im;
            o[2 * l] = out_re;
            o[2 * l + 1] = out_im;
            bad |= not_finite(out_re) | not_finite(out_im);
        }
    }
    return bad;
}

bool emit(const double* t, std::size_t rows, std::size_t half, std::size_t block,
          const Windows& windows, std::size_t nb, bool power, double* out,
          std::ptrdiff_t window_stride, double* prefix, double* suffix, double* scratch) {
    auto to = [&](std::size_t w) { return out + 2 * static_cast<std::ptrdiff_t>(w) * window_stride; };
    std::uint64_t bad = 0;
    if (power) {
        window_sums(t, rows, 2 * half, block, windows.first, windows.last, windows.count, prefix,
                    suffix, scratch, [&](std::size_t w, const double* a, const double* b) {
                        bad |= store_sum<true>(a, b, half, nb, to(w));
                    });
    } else {
        window_sums(t, rows, 2 * half, block, windows.first, windows.last, windows.count, prefix,
                    suffix, scratch, [&](std::size_t w, const double* a, const double* b) {
                        bad |= store_sum<false>(a, b, half, nb, to(w));
                    });
    }
    return bad == 0;
}

}  // namespace

const LaneKernels lane_kernels = {kFusedMultiplyAdd, &phase_shift_steps, &phase_shift_segments,
                                  &emit};

}  // namespace molvak::sweep::MOLVAK_LANES_NS
