#include "radon/radon.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

// Columns computed together on the uniform path: the traces of a group are
// read once for all of them.
constexpr std::size_t kUniformColumns = 16;

std::size_t uniform_padded(std::size_t ntau) {
    return (ntau + uniform::kPad - 1) / uniform::kPad * uniform::kPad;
}

// tau[j] = tau[0] + j dt for every j, to within the rounding of the values
// themselves (a few units in the last place), dt positive and finite.
bool uniform_times(const double* tau, std::size_t ntau, double dt) {
    if (ntau == 0 || !(dt > 0.0) || !std::isfinite(dt) || !std::isfinite(tau[0])) return false;
    const double eps = std::numeric_limits<double>::epsilon();
    for (std::size_t j = 0; j < ntau; ++j) {
        const double jdt = static_cast<double>(j) * dt;
        const double scale = std::max({std::fabs(tau[j]), std::fabs(tau[0]), jdt});
        if (!(std::fabs(tau[j] - (tau[0] + jdt)) <= 4.0 * eps * scale)) return false;
    }
    return true;
}

// The bins first .. first + nbins - 1 of lanes 0 .. count-1 of `plan`,
// scaled, into the columns dst + 2 b of the C-ordered complex (nbins, stride)
// array, bin by bin so that the columns of a row are written together; bin 0
// and the Nyquist bin of an even length get an imaginary part of exactly 0,
// as from fft::store_bins.
void store_lanes(const fft::RealPlan& plan, std::size_t count, std::size_t first, std::size_t nbins,
                 double scale, double* dst, std::ptrdiff_t stride) {
    const std::size_t n = plan.length();
    const double* out[16];
    for (std::size_t b = 0; b < count; ++b) out[b] = plan.out(b);
    for (std::size_t r = 0; r < nbins; ++r) {
        const std::size_t k = first + r;
        double* d = dst + 2 * static_cast<std::ptrdiff_t>(r) * stride;
        const bool real = k == 0 || (n % 2 == 0 && k == n / 2);
        for (std::size_t b = 0; b < count; ++b) {
            d[2 * b] = out[b][2 * k] * scale;
            d[2 * b + 1] = real ? 0.0 : out[b][2 * k + 1] * scale;
        }
    }
}

// Every sample finite: the uniform path may regroup the trapezoid sum.
bool all_finite(const Gather& g) {
    const double* s = g.data;
    const std::size_t count = g.nx * g.nt;
    constexpr double largest = std::numeric_limits<double>::max();
    // one comparison per sample and no branch, which the compiler vectorises
    // (NaN compares false)
    bool finite = true;
    for (std::size_t k = 0; k < count; ++k) finite &= std::fabs(s[k]) <= largest;
    return finite;
}

bool uniform_applies(const Gather& g, Moveout moveout, const double* tau, std::size_t ntau, double dt) {
    return moveout != hyperbolic && g.nx >= 2 && g.nt >= 1 && uniform_times(tau, ntau, dt);
}

// The columns of p[0..np) (np <= kUniformColumns) at uniform intercept times
// into cols[k][0..uniform_padded(ntau)) (the tail is scratch). False, having
// written nothing, when a sample position is not finite or beyond 2^52
// samples: the general path takes those.
bool uniform_columns(const Gather& g, Moveout moveout, const double* p, std::size_t np, const double* tau,
                     std::size_t ntau, double dt, double t0, bool finite, double* const* cols, simd::Isa isa) {
    const std::size_t npad = uniform_padded(ntau);
    Buffer<uniform::Trace> traces(g.nx * np, "tau-p work buffers");
    // The trapezoid weights by trace: (dx_i + dx_{i+1}) / 2, dx_0 = dx_nx = 0.
    bool weighted = finite;
    for (std::size_t i = 0; i < g.nx; ++i) {
        const double before = i ? g.offsets[i] - g.offsets[i - 1] : 0.0;
        const double after = i + 1 < g.nx ? g.offsets[i + 1] - g.offsets[i] : 0.0;
        weighted = weighted && std::isfinite(before) && std::isfinite(after);
    }
    for (std::size_t k = 0; k < np; ++k) {
        for (std::size_t i = 0; i < g.nx; ++i) {
            const double x = g.offsets[i];
            const double c = moveout == linear ? x * p[k] : (x * x) * p[k];
            const double h0 = ((c + tau[0]) - t0) / dt;
            if (!(std::fabs(h0) < 0x1p52)) return false;
            const double left = std::floor(h0);
            uniform::Trace t{g.data + i * g.nt, c, h0 - left, i ? x - g.offsets[i - 1] : 0.0,
                             static_cast<std::int64_t>(left)};
            if (weighted) {
                const double after = i + 1 < g.nx ? g.offsets[i + 1] - x : 0.0;
                t.w = (t.dx + after) * 0.5;
                t.w0 = t.w * (1.0 - t.frac);
                t.w1 = t.w * t.frac;
            }
            traces[k * g.nx + i] = t;
        }
    }
    Buffer<double> times(npad, "tau-p work buffers");
    std::copy(tau, tau + ntau, times.data());
    std::fill(times.data() + ntau, times.data() + npad, tau[ntau - 1]);
    const LaneKernels& lanes = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    // Groups of traces whose samples stay in the level-2 cache while every
    // column is summed over them; the sums carry over between groups.
    const std::size_t group = std::clamp<std::size_t>((256u << 10) / (8 * g.nt + 8), 8, 64);
    for (std::size_t first = 0; first < g.nx; first += group) {
        const std::size_t last = std::min(g.nx, first + group);
        for (std::size_t k = 0; k < np; ++k) {
            const uniform::Column col{traces.data() + k * g.nx, first, last,
                                      static_cast<std::int64_t>(g.nt), times.data(), t0, dt, weighted};
            lanes.uniform_blocks(col, cols[k], npad, first == 0);
        }
    }
    return true;
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
    if (uniform_applies(g, moveout, tau, ntau, dt)) {
        const std::size_t room = uniform_padded(ntau);
        Buffer<double> work(kUniformColumns * room, "tau-p work buffers");
        double* cols[kUniformColumns];
        for (std::size_t b = 0; b < kUniformColumns; ++b) cols[b] = work.data() + b * room;
        const bool finite = all_finite(g);
        for (std::size_t k0 = 0; k0 < np; k0 += kUniformColumns) {
            const std::size_t count = std::min(kUniformColumns, np - k0);
            if (uniform_columns(g, moveout, p + k0, count, tau, ntau, dt, t0, finite, cols, isa)) {
                for (std::size_t j = 0; j < ntau; ++j)
                    for (std::size_t b = 0; b < count; ++b) out[j * np + k0 + b] = cols[b][j];
                continue;
            }
            for (std::size_t k = k0; k < k0 + count; ++k) {
                lanes.column(g, moveout, p[k], tau, ntau, dt, t0, sum.data(), prev.data());
                for (std::size_t j = 0; j < ntau; ++j) out[j * np + k] = sum[j];
            }
        }
        return;
    }
    for (std::size_t k = 0; k < np; ++k) {
        lanes.column(g, moveout, p[k], tau, ntau, dt, t0, sum.data(), prev.data());
        for (std::size_t j = 0; j < ntau; ++j) out[j * np + k] = sum[j];
    }
}

void slant_stack_spectrum(const Gather& g, const double* slowness, std::size_t nslow,
                          const double* time, std::size_t ntime, double dt, fft::RealPlan& plan,
                          std::size_t first, std::size_t nbins, double* spectrum) {
    if (nbins == 0) return;
    Buffer<double> prev(ntime, "tau-p work buffers");
    const LaneKernels& lanes = lanes_for(g.nt, simd::Isa::best);
    const std::size_t width = plan.lanes();
    const auto stride = static_cast<std::ptrdiff_t>(nslow);
    if (uniform_applies(g, linear, time, ntime, dt)) {
        // Columns computed kUniformColumns at a time (the traces are read
        // once per batch), then transformed plan.lanes() at a time.
        // When a batch of columns fits the plan's lanes, padding included,
        // the columns are summed straight into the lanes' input buffers.
        const std::size_t room = uniform_padded(ntime);
        const bool in_lanes = width >= kUniformColumns && plan.length() >= room;
        Buffer<double> work(in_lanes ? 0 : kUniformColumns * room, "tau-p work buffers");
        double* cols[kUniformColumns];
        for (std::size_t b = 0; b < kUniformColumns; ++b)
            cols[b] = in_lanes ? plan.padded_in(b, room) : work.data() + b * room;
        const bool finite = all_finite(g);
        for (std::size_t k0 = 0; k0 < nslow; k0 += kUniformColumns) {
            const std::size_t count = std::min(kUniformColumns, nslow - k0);
            if (in_lanes) {
                for (std::size_t b = 0; b < count; ++b) plan.padded_in(b, room);
            }
            const bool done = uniform_columns(g, linear, slowness + k0, count, time, ntime, dt, time[0], finite,
                                              cols, simd::Isa::best);
            if (done && in_lanes) {
                // zeros over the padding's scratch, from ntime on
                for (std::size_t b = 0; b < count; ++b) plan.padded_in(b, ntime);
                plan.execute(count);
                store_lanes(plan, count, first, nbins, dt, spectrum + 2 * k0, stride);
                continue;
            }
            for (std::size_t b0 = 0; b0 < count; b0 += width) {
                const std::size_t n = std::min(width, count - b0);
                for (std::size_t b = 0; b < n; ++b) {
                    double* column_buffer = plan.padded_in(b, ntime);
                    if (done) {
                        std::memcpy(column_buffer, cols[b0 + b], ntime * sizeof(double));
                    } else {
                        lanes.column(g, linear, slowness[k0 + b0 + b], time, ntime, dt, time[0], column_buffer,
                                     prev.data());
                    }
                }
                plan.execute(n);
                store_lanes(plan, n, first, nbins, dt, spectrum + 2 * (k0 + b0), stride);
            }
        }
        return;
    }
    for (std::size_t k0 = 0; k0 < nslow; k0 += width) {
        const std::size_t count = std::min(width, nslow - k0);
        for (std::size_t b = 0; b < count; ++b) {
            double* column_buffer = plan.padded_in(b, ntime);
            lanes.column(g, linear, slowness[k0 + b], time, ntime, dt, time[0], column_buffer, prev.data());
        }
        plan.execute(count);
        store_lanes(plan, count, first, nbins, dt, spectrum + 2 * k0, stride);
    }
}

}  // namespace molvak::radon
