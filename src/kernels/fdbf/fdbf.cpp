#include "fdbf/fdbf.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/buffer.hpp"
#include "common/complex.hpp"
#include "fdbf/fdbf_lanes.hpp"
#include "fdbf/hankel_phase.hpp"
#include "fft/fft.hpp"

namespace molvak::fdbf {

void plane_conj_library(double phi, double* re, double* im) {
    const cx::cdouble e = cx::exp({0.0, phi});  // E = (cos phi, sin phi)
    *re = e.real;
    *im = -e.imag;
}

void hankel_conj_library(double kappa, double* re, double* im) {
    const double theta = hankel::library_phase(kappa);
    const cx::cdouble e = cx::exp({0.0, -theta});  // E = (cos th, -sin th)
    *re = e.real;
    *im = -e.imag;
}

double angle_from_reduced(double r, std::int64_t qbits) {
    const int q = static_cast<int>(qbits & 15);
    const int turn = q <= 8 ? q : q - 16;  // q pi/8 in [-7pi/8, pi]
    const double theta = (r + turn * hankel::kPio8Mid) + turn * hankel::kPio8Hi;
    constexpr double pi = 8 * hankel::kPio8Hi;
    return theta > pi ? theta - 2 * pi : theta;
}

namespace {

template <Helper What>
void helper(const double* in, double* out, std::size_t n, simd::Isa isa) {
    const double* table = What == Helper::unit_phasor        ? nullptr
                          : What == Helper::hankel_phase_fine ? hankel::phase_table<hankel::Fine>()
                                                              : hankel::phase_table<hankel::Coarse>();
    simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels)).helper(What, in, out, n, table);
}

}  // namespace

void band_spectrum(fft::RealPlan& plan, const double* data, std::size_t nx, std::size_t nt,
                   std::size_t first, std::size_t count, double dt, double* out) {
    const std::size_t n = plan.length(), lanes = plan.lanes();
    const std::size_t nyquist = n % 2 == 0 ? n / 2 : static_cast<std::size_t>(-1);
    // Traces go through the plan's lanes in batches, as the module's other
    // transforms of a gather do, so all of them see the same spectra.
    for (std::size_t i0 = 0; i0 < nx; i0 += lanes) {
        const std::size_t batch = std::min(lanes, nx - i0);
        for (std::size_t b = 0; b < batch; ++b) {
            double* line = plan.padded_in(b, nt);
            std::copy(data + (i0 + b) * nt, data + (i0 + b + 1) * nt, line);
        }
        plan.execute(batch);
        for (std::size_t b = 0; b < batch; ++b) {
            const double* bins = plan.out(b) + 2 * first;
            double* dst = out + 2 * (i0 + b) * count;
            for (std::size_t k = 0; k < 2 * count; ++k) dst[k] = bins[k] * dt;
            // Bins without an imaginary part keep an exact zero there.
            if (first == 0 && count > 0) dst[1] = 0.0;
            if (nyquist >= first && nyquist - first < count) dst[2 * (nyquist - first) + 1] = 0.0;
        }
    }
}

namespace {

// The work of one problem in the buffers given: offsets padded to a multiple
// of 8 with the last one, their inverses and extremes, the velocities padded
// likewise, the tables of the Hankel phase.
Work setup(const Problem& p, double* x, double* xinv, double* rot, std::int64_t* plan,
           double* velocities, double* extremes, std::size_t nc_padded) {
    const std::size_t nx = p.nx;
    const std::size_t nx_padded = (nx + 7) / 8 * 8;
    Work w{};
    w.x_finite = true;
    w.x_positive = nx > 0;
    w.x_min = w.x_max = nx > 0 ? p.offsets[0] : 0.0;
    w.x_abs_max = 0.0;
    for (std::size_t i = 0; i < nx_padded; ++i) {
        const std::size_t j = i < nx ? i : nx - 1;
        const double xi = nx > 0 ? p.offsets[static_cast<std::ptrdiff_t>(j) * p.offset_stride] : 1.0;
        x[i] = xi;
        xinv[i] = 1.0 / xi;
        w.x_finite = w.x_finite && std::isfinite(xi);
        w.x_positive = w.x_positive && xi > 0.0 && std::isfinite(xi);
        w.x_min = std::fmin(w.x_min, xi);
        w.x_max = std::fmax(w.x_max, xi);
        w.x_abs_max = std::fmax(w.x_abs_max, std::fabs(xi));
    }
    for (std::size_t h = 0; h < nc_padded; ++h)
        velocities[h] = p.velocities[h < p.nc ? h : p.nc - 1];
    w.x = x;
    w.xinv = xinv;
    w.rot_r = rot;
    w.rot_i = rot + 16 * nx;
    w.plan = plan;
    w.velocities = velocities;
    w.c_lo = extremes;
    w.c_hi = extremes + nc_padded;
    if (p.steering == Steering::cylindrical) {
        w.table = hankel::phase_table<hankel::Coarse>();
        w.fine_table = hankel::phase_table<hankel::Fine>();
    }
    return w;
}

}  // namespace

void beam_power(const Problem& p, simd::Isa isa) {
    if (p.nf == 0 || p.nc == 0) return;
    const std::size_t nx = p.nx;
    const std::size_t nx_padded = (nx + 7) / 8 * 8;
    const std::size_t nc_padded = (p.nc + 7) / 8 * 8;
    Buffer<double> x(nx_padded, "work buffers");
    Buffer<double> xinv(nx_padded, "work buffers");
    Buffer<double> rot(32 * nx, "work buffers");
    Buffer<std::int64_t> plan(nx_padded, "work buffers");
    Buffer<double> velocities(nc_padded, "work buffers");
    Buffer<double> extremes(2 * nc_padded, "work buffers");
    const Work w = setup(p, x.data(), xinv.data(), rot.data(), plan.data(), velocities.data(),
                         extremes.data(), nc_padded);
    simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels)).beam_power(p, w);
}

BeamTerms::BeamTerms(const Problem& p, simd::Isa isa)
    : p_(p),
      isa_(isa),
      width_((p.nc + 7) / 8 * 8),
      x_((p.nx + 7) / 8 * 8, "work buffers"),
      xinv_((p.nx + 7) / 8 * 8, "work buffers"),
      rot_(32 * p.nx, "work buffers"),
      velocities_(width_, "work buffers"),
      extremes_(2 * width_, "work buffers"),
      plan_((p.nx + 7) / 8 * 8, "work buffers"),
      work_(std::make_unique<Work>(setup(p, x_.data(), xinv_.data(), rot_.data(), plan_.data(),
                           velocities_.data(), extremes_.data(), width_))) {}

BeamTerms::~BeamTerms() = default;

void BeamTerms::frequency(std::size_t g, double* re, double* im, std::size_t stride) noexcept {
    simd::pick(isa_, MOLVAK_LANE_TABLE_LIST(lane_kernels)).beam_terms(p_, *work_, g, re, im, stride);
}

void hankel_phase(const double* kappa, double* theta, std::size_t n, bool fine, simd::Isa isa) {
    if (fine) {
        helper<Helper::hankel_phase_fine>(kappa, theta, n, isa);
    } else {
        helper<Helper::hankel_phase>(kappa, theta, n, isa);
    }
}

void hankel_phasor(const double* kappa, double* out, std::size_t n, simd::Isa isa) {
    helper<Helper::hankel_phasor>(kappa, out, n, isa);
}

void unit_phasor(const double* angle, double* out, std::size_t n, simd::Isa isa) {
    helper<Helper::unit_phasor>(angle, out, n, isa);
}

}  // namespace molvak::fdbf
