#include "fk/fk.hpp"

#include <cmath>

#include "common/buffer.hpp"

namespace molvak::fk {

void power(const Problem& p) {
    const std::size_t nx = p.nx, nk = p.nk;
    Buffer<double> twiddle(2 * nk, "f-k work buffers");
    for (std::size_t r = 0; r < nk; ++r) {
        const double angle = 6.283185307179586 * static_cast<double>(r) / static_cast<double>(nk);
        twiddle[2 * r] = std::cos(angle);
        twiddle[2 * r + 1] = std::sin(angle);
    }
    Buffer<double> grid(nk, "f-k work buffers");
    const double bins_per_k = static_cast<double>(nk) * p.spacing;
    for (std::size_t g = 0; g < p.nf; ++g) {
        // V(k_q) for every q, by the direct sum over the (few) traces
        for (std::size_t q = 0; q < nk; ++q) {
            double vr = 0.0, vi = 0.0;
            std::size_t r = 0;  // (q * i) mod nk
            for (std::size_t i = 0; i < nx; ++i) {
                const double ur = p.spectrum[2 * (i * p.nf + g)], ui = p.spectrum[2 * (i * p.nf + g) + 1];
                const double tr = twiddle[2 * r], ti = twiddle[2 * r + 1];
                vr += ur * tr - ui * ti;
                vi += ur * ti + ui * tr;
                r += q;
                if (r >= nk) r -= nk;
            }
            grid[q] = vr * vr + vi * vi;
        }
        double* row = p.power + g * p.nc;
        const double f = p.freqs[g];
        for (std::size_t h = 0; h < p.nc; ++h) {
            // fractional grid index of k = f / c, reduced to [0, nk)
            double x = std::fmod((f / p.velocities[h]) * bins_per_k, static_cast<double>(nk));
            if (x < 0.0) x += static_cast<double>(nk);
            if (!std::isfinite(x)) {
                row[h] = std::nan("");
                continue;
            }
            const double below = std::floor(x);
            const double w = x - below;
            std::size_t lo = static_cast<std::size_t>(below);
            if (lo >= nk) lo -= nk;  // x rounded up to nk
            const std::size_t hi = lo + 1 == nk ? 0 : lo + 1;
            row[h] = (1.0 - w) * grid[lo] + w * grid[hi];
        }
    }
}

}  // namespace molvak::fk
