#include "fk/fk.hpp"

#include <algorithm>
#include <cmath>

#include "common/buffer.hpp"
#include "fft/fft.hpp"

namespace molvak::fk {

namespace {
// Frequencies transformed per batch: up to 8, as long as their input and
// output lines stay within about 8 MiB (a fine wavenumber grid gets fewer).
std::size_t frequencies_per_batch(std::size_t nk) {
    const std::size_t line_bytes = 32 * nk;  // one complex input and output line
    return std::max<std::size_t>(1, std::min<std::size_t>(8, (std::size_t(8) << 20) / line_bytes));
}
}  // namespace

void power(const Problem& p) {
    const std::size_t nx = p.nx, nk = p.nk;
    // V(k_q) over the whole grid is nk times the inverse DFT of the line
    // zero-padded to nk points: FFTW's backward transform, a few frequencies
    // at a time.
    fft::BackwardPlan plan(nk, frequencies_per_batch(nk));
    plan.prepare();
    for (std::size_t l = 0; l < plan.lanes(); ++l)
        std::fill(plan.in(l) + 2 * nx, plan.in(l) + 2 * nk, 0.0);
    // the power on the grid, its first value repeated after the last (the
    // grid is periodic), so that every index below nk has a right neighbour
    Buffer<double> grid(nk + 1, "f-k work buffers");
    // grid bins per unit of f / c, for each trial velocity
    const double bins_per_k = static_cast<double>(nk) * p.spacing;
    Buffer<double> per_velocity(p.nc, "f-k work buffers");
    for (std::size_t h = 0; h < p.nc; ++h) per_velocity[h] = bins_per_k / p.velocities[h];
    const double span = static_cast<double>(nk);
    for (std::size_t g0 = 0; g0 < p.nf; g0 += plan.lanes()) {
        const std::size_t count = std::min(plan.lanes(), p.nf - g0);
        for (std::size_t l = 0; l < count; ++l) {
            double* line = plan.in(l);
            const double* u = p.spectrum + 2 * (g0 + l);
            for (std::size_t i = 0; i < nx; ++i) {
                line[2 * i] = u[2 * i * p.nf];
                line[2 * i + 1] = u[2 * i * p.nf + 1];
            }
        }
        plan.execute(count);
        for (std::size_t l = 0; l < count; ++l) {
            const double* v = plan.out(l);
            for (std::size_t q = 0; q < nk; ++q) grid[q] = v[2 * q] * v[2 * q] + v[2 * q + 1] * v[2 * q + 1];
            grid[nk] = grid[0];
            const std::size_t g = g0 + l;
            double* row = p.power + g * p.nc;
            const double f = p.freqs[g];
            for (std::size_t h = 0; h < p.nc; ++h) {
                // fractional grid index of k = f / c
                double x = f * per_velocity[h];
                if (x >= 0.0 && x < span) {
                    const std::size_t lo = static_cast<std::size_t>(x);
                    row[h] = grid[lo] + (x - static_cast<double>(lo)) * (grid[lo + 1] - grid[lo]);
                    continue;
                }
                // beyond the grid's span (or below zero): where it aliases to
                x = std::fmod((f / p.velocities[h]) * bins_per_k, span);
                if (x < 0.0) x += span;
                if (!std::isfinite(x)) {
                    row[h] = std::nan("");
                    continue;
                }
                std::size_t lo = static_cast<std::size_t>(std::floor(x));
                if (lo >= nk) lo -= nk;  // x rounded up to nk
                row[h] = grid[lo] + (x - static_cast<double>(lo)) * (grid[lo + 1] - grid[lo]);
            }
        }
    }
}

}  // namespace molvak::fk
