#include "hr_radon/hr_radon.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/buffer.hpp"
#include "common/hermitian.hpp"
#include "common/spacing.hpp"
#include "fdbf/fdbf.hpp"
#include "hr_radon/hr_radon_lanes.hpp"

namespace molvak::hr_radon {

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Work {
    Buffer<double> q, K, y, t;
    Buffer<double> ar, ai, zr, zi;      // equally spaced: alpha_h, z_h
    Buffer<double> pr, pi;              // running powers / partial sums
    Buffer<double> lr, li;              // L (nx, nc), or the powers z_h^l (nx, nc)
    Buffer<double> angle, phasor;
};
// q_h from the previous model; false when the model is zero everywhere.
bool weights(const Problem& p, const double* m, double* q) {
    double top = 0.0;
    for (std::size_t h = 0; h < p.nc; ++h) {
        const double s = m[2 * h] * m[2 * h] + m[2 * h + 1] * m[2 * h + 1];
        q[h] = p.norm == Norm::cauchy ? s : std::sqrt(s);
        top = std::max(top, q[h]);
    }
    if (!(top > 0.0)) return false;
    const double eps = p.sparseness * top;
    for (std::size_t h = 0; h < p.nc; ++h) q[h] += eps;
    return true;
}

}  // namespace

std::size_t model(const Problem& p) {
    const std::size_t nx = p.nx, nc = p.nc;
    const bool spaced = equally_spaced(p.offsets, nx);
    const double dx = spaced ? (p.offsets[nx - 1] - p.offsets[0]) / static_cast<double>(nx - 1) : 0.0;
    const char* what = "high-resolution Radon work buffers";
    Work w;
    w.q.reset(nc, what);
    w.K.reset(spaced ? 10 * nx : 2 * nx * nx, what);
    w.y.reset(2 * nx, what);
    w.t.reset(2 * nx, what);
    const LaneKernels& lanes = simd::pick(simd::Isa::best, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    w.pr.reset(nc, what);
    w.pi.reset(nc, what);
    if (spaced) {
        w.ar.reset(nc, what);
        w.ai.reset(nc, what);
        w.zr.reset(nc, what);
        w.zi.reset(nc, what);
        w.angle.reset(2 * nc, what);
        w.phasor.reset(4 * nc, what);
        w.lr.reset(nx * nc, what);
        w.li.reset(nx * nc, what);
    } else {
        w.lr.reset(nx * nc, what);
        w.li.reset(nx * nc, what);
        w.angle.reset(nx * nc, what);
        w.phasor.reset(2 * nx * nc, what);
    }
    std::size_t failed = p.nf;
    for (std::size_t g = 0; g < p.nf; ++g) {
        const double f = p.freqs[g];
        double* m = p.model + 2 * g * nc;
        const double scale = -kTwoPi * f;
        if (spaced) {
            for (std::size_t h = 0; h < nc; ++h) {
                const double slowness = 1.0 / p.velocities[h];
                w.angle[h] = scale * (p.offsets[0] * slowness);
                w.angle[nc + h] = scale * (dx * slowness);
            }
            fdbf::unit_phasor(w.angle.data(), w.phasor.data(), 2 * nc);
            for (std::size_t h = 0; h < nc; ++h) {
                w.ar[h] = w.phasor[2 * h];
                w.ai[h] = w.phasor[2 * h + 1];
                w.zr[h] = w.phasor[2 * (nc + h)];
                w.zi[h] = w.phasor[2 * (nc + h) + 1];
            }
            lanes.powers(w.zr.data(), w.zi.data(), nc, nx, w.lr.data(), w.li.data());
        } else {
            for (std::size_t i = 0; i < nx; ++i)
                for (std::size_t h = 0; h < nc; ++h)
                    w.angle[i * nc + h] = scale * (p.offsets[i] * (1.0 / p.velocities[h]));
            fdbf::unit_phasor(w.angle.data(), w.phasor.data(), nx * nc);
            for (std::size_t k = 0; k < nx * nc; ++k) {
                w.lr[k] = w.phasor[2 * k];
                w.li[k] = w.phasor[2 * k + 1];
            }
        }
        std::fill(w.q.data(), w.q.data() + nc, 1.0);
        std::fill(m, m + 2 * nc, 0.0);
        for (std::size_t it = 0; it <= p.iterations; ++it) {
            if (it > 0 && !weights(p, m, w.q.data())) break;
            for (std::size_t i = 0; i < nx; ++i) {
                w.y[2 * i] = p.spectrum[2 * (i * p.nf + g)];
                w.y[2 * i + 1] = p.spectrum[2 * (i * p.nf + g) + 1];
            }
            bool solved;
            if (spaced) {
                // Toeplitz: its first column, the mean diagonal t_0, and
                // Levinson's recursion
                lanes.lags(w.q.data(), w.lr.data(), w.li.data(), nc, nx, w.t.data());
                w.t[0] += p.damping * w.t[0];
                solved = hermitian::toeplitz_solve(w.t.data(), nx, w.y.data(), w.K.data());
            } else {
                lanes.gram(w.q.data(), w.lr.data(), w.li.data(), nx, nc, w.K.data());
                double trace = 0.0;
                for (std::size_t i = 0; i < nx; ++i) trace += w.K[2 * (i * nx + i)];
                const double mu = p.damping * trace / static_cast<double>(nx);
                for (std::size_t i = 0; i < nx; ++i) w.K[2 * (i * nx + i)] += mu;
                solved = hermitian::cholesky(w.K.data(), nx, nx);
                if (solved) hermitian::solve(w.K.data(), nx, nx, w.y.data());
            }
            if (!solved) {
                std::fill(m, m + 2 * nc, std::numeric_limits<double>::quiet_NaN());
                failed = std::min(failed, g);
                break;
            }
            if (spaced) {
                lanes.horner(w.y.data(), nx, w.q.data(), w.ar.data(), w.ai.data(), w.zr.data(), w.zi.data(), nc,
                             w.pr.data(), w.pi.data(), m);
            } else {
                lanes.backproject(w.y.data(), w.q.data(), w.lr.data(), w.li.data(), nx, nc, w.pr.data(),
                                  w.pi.data(), m);
            }
        }
    }
    return failed;
}

}  // namespace molvak::hr_radon
