#include "capon/capon.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/buffer.hpp"
#include "common/hermitian.hpp"
#include "common/spacing.hpp"
#include "capon/capon_lanes.hpp"
#include "fdbf/fdbf.hpp"

namespace molvak::capon {

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Velocities evaluated together: their steering vectors (M of them, split
// into real and imaginary parts) stay in the level-1 cache.
constexpr std::size_t kBlock = 32;

// R (M x M, lower triangle and diagonal) for bin `bin` (absolute).
void cross_spectra(const Problem& p, std::size_t bin, const double* w, double* R) {
    const std::size_t M = p.subarray, nsub = p.nx - M + 1;
    std::fill(R, R + 2 * M * M, 0.0);
    const std::size_t last_bin = p.first_bin + p.nbins - 1;
    const std::size_t lo = std::max(bin >= p.smoothing ? bin - p.smoothing : 0, p.first_bin);
    const std::size_t hi = std::min(bin + p.smoothing, last_bin);
    std::size_t count = 0;
    for (std::size_t s = 0; s < p.nshots; ++s) {
        for (std::size_t b = lo; b <= hi; ++b) {
            const double* u = p.spectra + 2 * (s * p.nx * p.nbins + (b - p.first_bin));
            for (std::size_t l = 0; l < nsub; ++l, ++count) {
                for (std::size_t i = 0; i < M; ++i) {
                    const std::size_t ti = l + i;
                    const double ar = u[2 * ti * p.nbins] * w[ti], ai = u[2 * ti * p.nbins + 1] * w[ti];
                    for (std::size_t j = 0; j <= i; ++j) {
                        const std::size_t tj = l + j;
                        const double br = u[2 * tj * p.nbins] * w[tj], bi = u[2 * tj * p.nbins + 1] * w[tj];
                        // a_i conj(a_j)
                        R[2 * (i * M + j)] += ar * br + ai * bi;
                        R[2 * (i * M + j) + 1] += ai * br - ar * bi;
                    }
                }
            }
        }
    }
    const double scale = 1.0 / static_cast<double>(count);
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            R[2 * (i * M + j)] *= scale;
            R[2 * (i * M + j) + 1] *= scale;
        }
}

// Steering vectors of velocities c[0..n) at frequency f over offsets
// x[0..M): er[j * kBlock + h], ei[j * kBlock + h].
void steering(const Problem& p, double f, const double* c, std::size_t n, double* arg,
              double* phasor, double* er, double* ei) {
    const std::size_t M = p.subarray;
    const bool cyl = p.steering == Steering::cylindrical;
    for (std::size_t j = 0; j < M; ++j)
        for (std::size_t h = 0; h < n; ++h)
            arg[j * n + h] = cyl ? ((f * kTwoPi) / c[h]) * p.offsets[j] : ((f * -kTwoPi) / c[h]) * p.offsets[j];
    if (cyl) {
        fdbf::hankel_phasor(arg, phasor, M * n);
    } else {
        fdbf::unit_phasor(arg, phasor, M * n);
    }
    for (std::size_t j = 0; j < M; ++j)
        for (std::size_t h = 0; h < n; ++h) {
            er[j * kBlock + h] = phasor[2 * (j * n + h)];
            // cylindrical: exp(-i theta) from (cos theta, sin theta)
            ei[j * kBlock + h] = cyl ? -phasor[2 * (j * n + h) + 1] : phasor[2 * (j * n + h) + 1];
        }
}

// Equally spaced offsets under plane steering: e^H Q e depends on Q only
// through its lag sums s_l = sum_j Q_(j+l, j), since conj(e_i) e_j =
// z^(i-j) with z = exp(i 2 pi f dx / c):
//
//     e^H Q e = s_0 + 2 Re sum_(l >= 1) s_l z^l      (Horner in z),
//
// M operations per velocity instead of M^2 / 2. Q = R_L^-1 = Ginv^H Ginv.
void lag_sums(const double* inv, std::size_t M, double* s) {
    std::fill(s, s + 2 * M, 0.0);
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            // Q_ij = sum_(k >= i) conj(Ginv_ki) Ginv_kj
            double qr = 0.0, qi = 0.0;
            for (std::size_t k = i; k < M; ++k) {
                const double ar = inv[2 * (k * M + i)], ai = inv[2 * (k * M + i) + 1];
                const double br = inv[2 * (k * M + j)], bi = inv[2 * (k * M + j) + 1];
                qr += ar * br + ai * bi;
                qi += ar * bi - ai * br;
            }
            s[2 * (i - j)] += qr;
            s[2 * (i - j) + 1] += qi;
        }
}

}  // namespace

std::size_t beam_power(const Problem& p) {
    const std::size_t M = p.subarray, nc = p.nc;
    Buffer<double> w(p.nx, "Capon work buffers");
    for (std::size_t i = 0; i < p.nx; ++i) w[i] = p.weight_by_offset ? p.offsets[i] : 1.0;
    Buffer<double> R(2 * M * M, "Capon work buffers");
    Buffer<double> inv(2 * M * M, "Capon work buffers");
    Buffer<double> arg(M * kBlock, "Capon work buffers");
    Buffer<double> phasor(2 * M * kBlock, "Capon work buffers");
    Buffer<double> er(M * kBlock, "Capon work buffers");
    Buffer<double> ei(M * kBlock, "Capon work buffers");
    double q[kBlock], zr[kBlock], zi[kBlock];
    const LaneKernels& lanes = simd::pick(simd::Isa::best, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    const bool lags = p.steering == Steering::plane && equally_spaced(p.offsets, M);
    const double dx = lags ? (p.offsets[M - 1] - p.offsets[0]) / static_cast<double>(M - 1) : 0.0;
    Buffer<double> sums(2 * M, "Capon work buffers");
    std::size_t failed = p.nf;
    for (std::size_t g = 0; g < p.nf; ++g) {
        double* row = p.power + g * nc;
        cross_spectra(p, p.band_first + g, w.data(), R.data());
        double trace = 0.0;
        for (std::size_t i = 0; i < M; ++i) trace += R[2 * (i * M + i)];
        const double level = trace / static_cast<double>(M);
        if (level == 0.0) {
            std::fill(row, row + nc, 0.0);
            continue;
        }
        for (std::size_t i = 0; i < M; ++i) R[2 * (i * M + i)] += p.loading * level;
        if (!hermitian::cholesky(R.data(), M, M)) {
            std::fill(row, row + nc, std::numeric_limits<double>::quiet_NaN());
            failed = std::min(failed, g);
            continue;
        }
        hermitian::invert_lower(R.data(), M, M, inv.data());
        if (lags) {
            lag_sums(inv.data(), M, sums.data());
            for (std::size_t h0 = 0; h0 < nc; h0 += kBlock) {
                const std::size_t n = std::min(kBlock, nc - h0);
                const double* c = p.velocities + h0;
                for (std::size_t h = 0; h < n; ++h) arg[h] = ((p.freqs[g] * kTwoPi) / c[h]) * dx;
                fdbf::unit_phasor(arg.data(), phasor.data(), n);
                for (std::size_t h = 0; h < n; ++h) {
                    zr[h] = phasor[2 * h];
                    zi[h] = phasor[2 * h + 1];
                }
                lanes.lag_form(sums.data(), M, zr, zi, n, q);
                for (std::size_t h = 0; h < n; ++h) row[h0 + h] = 1.0 / q[h];
            }
            continue;
        }
        for (std::size_t h0 = 0; h0 < nc; h0 += kBlock) {
            const std::size_t n = std::min(kBlock, nc - h0);
            steering(p, p.freqs[g], p.velocities + h0, n, arg.data(), phasor.data(), er.data(), ei.data());
            lanes.quadratic(inv.data(), M, er.data(), ei.data(), kBlock, n, zr, zi, q);
            for (std::size_t h = 0; h < n; ++h) row[h0 + h] = 1.0 / q[h];
        }
    }
    return failed;
}

}  // namespace molvak::capon
