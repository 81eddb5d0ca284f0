#include "radon/radon.hpp"

#include <algorithm>

#include "common/buffer.hpp"
#include "fft/fft.hpp"
#include "radon/radon_lanes.hpp"

namespace molvak::radon {

namespace {

// The lanes for traces of nt samples: the widest usable ones whose gather
// indices reach nt.
const LaneKernels& lanes_for(std::size_t nt, simd::Isa isa) {
    const LaneKernels& k = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    return static_cast<std::int64_t>(nt) < k.max_samples ? k : lanes_scalar::lane_kernels;
}

}  // namespace

void column(const Gather& g, Moveout moveout, double p, const double* tau, std::size_t ntau,
            double dt, double t0, double* sum, double* prev, simd::Isa isa) {
    lanes_for(g.nt, isa).column(g, moveout, p, tau, ntau, dt, t0, sum, prev);
}

void panel(const Gather& g, Moveout moveout, const double* p, std::size_t np, const double* tau,
           std::size_t ntau, double dt, double t0, double* out, simd::Isa isa) {
    Buffer<double> sum(ntau, "tau-p work buffers");
    Buffer<double> prev(ntau, "tau-p work buffers");
    const LaneKernels& lanes = lanes_for(g.nt, isa);
    for (std::size_t k = 0; k < np; ++k) {
        lanes.column(g, moveout, p[k], tau, ntau, dt, t0, sum.data(), prev.data());
        for (std::size_t j = 0; j < ntau; ++j) out[j * np + k] = sum[j];
    }
}

void slant_stack_spectrum(const Gather& g, const double* slowness, std::size_t nslow,
                          const double* time, std::size_t ntime, double dt, fft::RealPlan& plan,
                          double* spectrum) {
    Buffer<double> prev(ntime, "tau-p work buffers");
    const LaneKernels& lanes = lanes_for(g.nt, simd::Isa::best);
    const std::size_t width = plan.lanes();
    const auto stride = static_cast<std::ptrdiff_t>(nslow);
    for (std::size_t k0 = 0; k0 < nslow; k0 += width) {
        const std::size_t count = std::min(width, nslow - k0);
        for (std::size_t b = 0; b < count; ++b) {
            double* column_buffer = plan.padded_in(b, ntime);
            lanes.column(g, linear, slowness[k0 + b], time, ntime, dt, time[0], column_buffer, prev.data());
        }
        plan.execute(count);
        for (std::size_t b = 0; b < count; ++b)
            fft::store_bins(plan, b, dt, spectrum + 2 * (k0 + b), stride);
    }
}

}  // namespace molvak::radon
