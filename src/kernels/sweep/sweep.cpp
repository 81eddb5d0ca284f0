// Sub-array sweeps of the phase shift and beamforming: the generic loops
// over velocity blocks and frequencies; the terms and window sums are lane
// code (sweep_lanes.cpp). The slant stack is in slant_stack.cpp.
#include "sweep/sweep.hpp"

#include <algorithm>
#include <cmath>

#include "common/complex.hpp"
#include "fdbf/fdbf.hpp"
#include "sweep/sweep_lanes.hpp"

namespace molvak::sweep {

namespace {

// The phasor recurrence of the phase shift holds while |theta| <= 2**22 and
// is re-anchored on a direct sine and cosine every kAnchor frequencies (the
// estimator's own bounds; phase_shift_lanes.cpp derives them).
constexpr double kMaxRecurrencePhase = 4194304.0;
constexpr std::size_t kAnchor = 64;

std::size_t product(std::size_t a, std::size_t b, const char* what) {
    std::size_t out = 0;
    if (!checked_mul(a, b, &out)) throw AllocFailure(what);
    return out;
}

const LaneKernels& kernels(simd::Isa isa) {
    return simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
}

// The complex number u[i, g].
inline cx::cdouble at(const Spectrum& s, std::size_t i, std::size_t g) {
    const double* p = s.u + 2 * (static_cast<std::ptrdiff_t>(i) * s.u_row +
                                 static_cast<std::ptrdiff_t>(g) * s.u_col);
    return {p[0], p[1]};
}

// Velocities k0 .. k0 + nb - 1 of a block, the last one repeated over the
// lanes beyond them (their values are formed and never written).
inline double velocity(const Spectrum& s, std::size_t k0, std::size_t l, std::size_t nb) {
    return s.c[k0 + (l < nb ? l : nb - 1)];
}

}  // namespace

Work phase_shift_work(const Spectrum& s, const Windows& windows) {
    Work w;
    const std::size_t rows = s.nx > 1 ? s.nx - 1 : 1;
    const std::size_t width = 2 * kBlock;
    w.unit.reset(product(2 * s.nf, s.nx, "unit spectra"), "unit spectra");
    w.angle.reset(product(6 * s.nx, kBlock, "sweep work"), "sweep work");
    w.weight.reset(s.nx + 2 * kBlock, "trapezoid weights");
    w.terms.reset(product(rows, width, "sweep work"), "sweep work");
    w.block = longest(windows);
    w.prefix.reset(product(2 * w.block, width, "sweep work"), "sweep work");
    w.suffix.reset(product(w.block, width, "sweep work"), "sweep work");
    return w;
}

bool phase_shift(const Spectrum& s, const Windows& windows, const Output& out, Work& work,
                 simd::Isa isa) noexcept {
    const LaneKernels& k = kernels(isa);
    // u / |u|, frequency-major; no guard: a zero modulus gives NaN as the
    // estimator's own normalisation does.
    double* unit = work.unit.data();
    for (std::size_t g = 0; g < s.nf; ++g) {
        for (std::size_t i = 0; i < s.nx; ++i) {
            const cx::cdouble z = at(s, i, g);
            const cx::cdouble n = cx::divcr(z, cx::abs(z));
            unit[2 * (g * s.nx + i)] = n.real;
            unit[2 * (g * s.nx + i) + 1] = n.imag;
        }
    }
    double* wt = work.weight.data();
    wt[0] = 0.0;
    for (std::size_t i = 1; i < s.nx; ++i) wt[i] = std::fabs(s.x[i] - s.x[i - 1]) * 0.5;
    if (s.nx < 2) return true;
    const std::size_t rows = s.nx - 1;
    bool finite = true;
    const std::size_t n = s.nx * kBlock;
    double* phi = work.angle.data();
    const PhaseState st{phi, phi + n, phi + 2 * n, phi + 3 * n, phi + 4 * n, phi + 5 * n};
    // The recurrence along frequency needs an even grid (the one every
    // estimator's band has) and phases within its bound.
    // Off the grid by r / phi at most, a frequency adds r to the correction,
    // whose neglected second-order term r^2 / 2 must stay at rounding level:
    // 1e-14 f_top keeps it below 1e-15 under the phase bound.
    const double df = s.nf > 1 ? (s.f[s.nf - 1] - s.f[0]) / static_cast<double>(s.nf - 1) : 0.0;
    const double f_top = std::max(std::fabs(s.f[0]), std::fabs(s.f[s.nf - 1]));
    bool even = s.nf > 1 && df > 0.0;
    for (std::size_t g = 0; even && g < s.nf; ++g)
        even = std::fabs(s.f[g] - (s.f[0] + static_cast<double>(g) * df)) <= 1e-14 * f_top;
    for (std::size_t k0 = 0; k0 < s.nc; k0 += kBlock) {
        const std::size_t nb = std::min(kBlock, s.nc - k0);
        double phi_max = 0.0;
        for (std::size_t i = 0; i < s.nx; ++i) {
            const double twopi_x = 6.283185307179586 * s.x[i];
            for (std::size_t l = 0; l < kBlock; ++l) {
                const double v = twopi_x / velocity(s, k0, l, nb);
                phi[i * kBlock + l] = v;
                const double a = std::fabs(v);
                if (!(a <= phi_max)) phi_max = a;  // NaN and infinity too: no recurrence
            }
        }
        const bool rec = k.fused && even && phi_max * f_top <= kMaxRecurrencePhase;
        if (rec) k.phase_shift_steps(st, df, s.nx);
        for (std::size_t g = 0; g < s.nf; ++g) {
            const std::size_t ga = g - g % kAnchor;
            k.phase_shift_segments(st, unit + 2 * g * s.nx, wt, s.f[g], s.f[ga],
                                   static_cast<double>(g - ga), g == ga, rec, s.nx,
                                   work.terms.data());
            finite &= k.emit(work.terms.data(), rows, kBlock, work.block, windows, nb, false,
                             out.data + 2 * (static_cast<std::ptrdiff_t>(g) * out.freq_stride +
                                             static_cast<std::ptrdiff_t>(k0)),
                             out.window_stride, work.prefix.data(), work.suffix.data(),
                             work.weight.data() + s.nx);
        }
    }
    return finite;
}

Work beam_work(const Spectrum& s, const Windows& windows) {
    Work w;
    const std::size_t width = 2 * ((s.nc + 7) / 8 * 8);
    w.unit.reset(product(2, s.nx, "band spectrum"), "band spectrum");
    w.weight.reset(width, "sweep work");
    w.terms.reset(product(s.nx, width, "sweep work"), "sweep work");
    w.block = longest(windows);
    w.prefix.reset(product(2 * w.block, width, "sweep work"), "sweep work");
    w.suffix.reset(product(w.block, width, "sweep work"), "sweep work");
    return w;
}

bool beam(const Spectrum& s, const Windows& windows, bool weight_by_offset, bool cylindrical,
          const Output& out, Work& work, simd::Isa isa) {
    const LaneKernels& k = kernels(isa);
    // The beamformer's own steered terms, one row per trace: the real parts
    // of every velocity, then the imaginary parts.
    fdbf::Problem p{};
    p.spectrum = s.u;
    p.trace_stride = s.u_row;
    p.bin_stride = s.u_col;
    p.freqs = s.f;
    p.nf = s.nf;
    p.offsets = s.x;
    p.offset_stride = 1;
    p.nx = s.nx;
    p.velocities = s.c;
    p.nc = s.nc;
    p.weight_by_offset = weight_by_offset;
    p.steering = cylindrical ? fdbf::Steering::cylindrical : fdbf::Steering::plane;
    fdbf::BeamTerms terms(p, isa);
    const std::size_t half = terms.width();
    bool finite = true;
    for (std::size_t g = 0; g < s.nf; ++g) {
        terms.frequency(g, work.terms.data(), work.terms.data() + half, 2 * half);
        finite &= k.emit(work.terms.data(), s.nx, half, work.block, windows, s.nc, true,
                         out.data + 2 * static_cast<std::ptrdiff_t>(g) * out.freq_stride,
                         out.window_stride, work.prefix.data(), work.suffix.data(),
                         work.weight.data());
    }
    return finite;
}

}  // namespace molvak::sweep
