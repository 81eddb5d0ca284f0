#include "hr_radon/hr_radon.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/buffer.hpp"
#include "common/hermitian.hpp"
#include "fdbf/fdbf.hpp"

namespace molvak::hr_radon {

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Work {
    Buffer<double> q, K, y;
    Buffer<double> ar, ai, zr, zi;      // equally spaced: alpha_h, z_h
    Buffer<double> pr, pi;              // running powers / Horner sums
    Buffer<double> lr, li;              // general: L (nx, nc)
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

// K = L Q L^H (lower triangle), equally spaced offsets: K_ik = t_(i-k).
void system_spaced(const Problem& p, Work& w, const double* q) {
    const std::size_t nx = p.nx, nc = p.nc;
    double* pr = w.pr.data();
    double* pi = w.pi.data();
    std::fill(pr, pr + nc, 1.0);
    std::fill(pi, pi + nc, 0.0);
    for (std::size_t l = 0; l < nx; ++l) {
        double tr = 0.0, ti = 0.0;
        for (std::size_t h = 0; h < nc; ++h) {
            tr += q[h] * pr[h];
            ti += q[h] * pi[h];
        }
        for (std::size_t h = 0; h < nc; ++h) {
            const double a = pr[h] * w.zr[h] - pi[h] * w.zi[h];
            const double b = pr[h] * w.zi[h] + pi[h] * w.zr[h];
            pr[h] = a;
            pi[h] = b;
        }
        for (std::size_t i = l; i < nx; ++i) {
            w.K[2 * (i * nx + i - l)] = tr;
            w.K[2 * (i * nx + i - l) + 1] = ti;
        }
    }
}

// m_h = q_h conj(alpha_h) sum_i conj(z_h)^i y_i (Horner in conj(z_h)).
void model_spaced(const Problem& p, Work& w, const double* q, double* m) {
    const std::size_t nx = p.nx, nc = p.nc;
    double* sr = w.pr.data();
    double* si = w.pi.data();
    const double* y = w.y.data();
    std::fill(sr, sr + nc, y[2 * (nx - 1)]);
    std::fill(si, si + nc, y[2 * (nx - 1) + 1]);
    for (std::size_t ii = nx - 1; ii-- > 0;) {
        const double yr = y[2 * ii], yi = y[2 * ii + 1];
        for (std::size_t h = 0; h < nc; ++h) {
            // s * conj(z) + y
            const double a = sr[h] * w.zr[h] + si[h] * w.zi[h] + yr;
            const double b = si[h] * w.zr[h] - sr[h] * w.zi[h] + yi;
            sr[h] = a;
            si[h] = b;
        }
    }
    for (std::size_t h = 0; h < nc; ++h) {
        // q * conj(alpha) * s
        const double a = w.ar[h] * sr[h] + w.ai[h] * si[h];
        const double b = w.ar[h] * si[h] - w.ai[h] * sr[h];
        m[2 * h] = q[h] * a;
        m[2 * h + 1] = q[h] * b;
    }
}

// K = L Q L^H (lower triangle), any offsets.
void system_general(const Problem& p, Work& w, const double* q) {
    const std::size_t nx = p.nx, nc = p.nc;
    for (std::size_t i = 0; i < nx; ++i) {
        const double* air = w.lr.data() + i * nc;
        const double* aii = w.li.data() + i * nc;
        for (std::size_t k = 0; k <= i; ++k) {
            const double* bkr = w.lr.data() + k * nc;
            const double* bki = w.li.data() + k * nc;
            double tr = 0.0, ti = 0.0;
            for (std::size_t h = 0; h < nc; ++h) {
                // q L_ih conj(L_kh)
                tr += q[h] * (air[h] * bkr[h] + aii[h] * bki[h]);
                ti += q[h] * (aii[h] * bkr[h] - air[h] * bki[h]);
            }
            w.K[2 * (i * nx + k)] = tr;
            w.K[2 * (i * nx + k) + 1] = ti;
        }
    }
}

void model_general(const Problem& p, Work& w, const double* q, double* m) {
    const std::size_t nx = p.nx, nc = p.nc;
    double* sr = w.pr.data();
    double* si = w.pi.data();
    std::fill(sr, sr + nc, 0.0);
    std::fill(si, si + nc, 0.0);
    for (std::size_t i = 0; i < nx; ++i) {
        const double yr = w.y[2 * i], yi = w.y[2 * i + 1];
        const double* lr = w.lr.data() + i * nc;
        const double* li = w.li.data() + i * nc;
        for (std::size_t h = 0; h < nc; ++h) {
            // conj(L_ih) y_i
            sr[h] += lr[h] * yr + li[h] * yi;
            si[h] += lr[h] * yi - li[h] * yr;
        }
    }
    for (std::size_t h = 0; h < nc; ++h) {
        m[2 * h] = q[h] * sr[h];
        m[2 * h + 1] = q[h] * si[h];
    }
}

}  // namespace

bool equally_spaced(const double* x, std::size_t n) {
    if (n < 2) return false;
    const double dx = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    if (!(dx != 0.0) || !std::isfinite(dx)) return false;
    double top = 0.0;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, std::fabs(x[i]));
    const double tol = 8.0 * std::numeric_limits<double>::epsilon() * top;
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::fabs(x[i] - (x[0] + static_cast<double>(i) * dx)) <= tol)) return false;
    return true;
}

std::size_t model(const Problem& p) {
    const std::size_t nx = p.nx, nc = p.nc;
    const bool spaced = equally_spaced(p.offsets, nx);
    const double dx = spaced ? (p.offsets[nx - 1] - p.offsets[0]) / static_cast<double>(nx - 1) : 0.0;
    const char* what = "high-resolution Radon work buffers";
    Work w;
    w.q.reset(nc, what);
    w.K.reset(2 * nx * nx, what);
    w.y.reset(2 * nx, what);
    w.pr.reset(nc, what);
    w.pi.reset(nc, what);
    if (spaced) {
        w.ar.reset(nc, what);
        w.ai.reset(nc, what);
        w.zr.reset(nc, what);
        w.zi.reset(nc, what);
        w.angle.reset(2 * nc, what);
        w.phasor.reset(4 * nc, what);
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
            if (spaced) {
                system_spaced(p, w, w.q.data());
            } else {
                system_general(p, w, w.q.data());
            }
            double trace = 0.0;
            for (std::size_t i = 0; i < nx; ++i) trace += w.K[2 * (i * nx + i)];
            const double mu = p.damping * trace / static_cast<double>(nx);
            for (std::size_t i = 0; i < nx; ++i) w.K[2 * (i * nx + i)] += mu;
            if (!hermitian::cholesky(w.K.data(), nx, nx)) {
                std::fill(m, m + 2 * nc, std::numeric_limits<double>::quiet_NaN());
                failed = std::min(failed, g);
                break;
            }
            for (std::size_t i = 0; i < nx; ++i) {
                w.y[2 * i] = p.spectrum[2 * (i * p.nf + g)];
                w.y[2 * i + 1] = p.spectrum[2 * (i * p.nf + g) + 1];
            }
            hermitian::solve(w.K.data(), nx, nx, w.y.data());
            if (spaced) {
                model_spaced(p, w, w.q.data(), m);
            } else {
                model_general(p, w, w.q.data(), m);
            }
        }
    }
    return failed;
}

}  // namespace molvak::hr_radon
