#include "correlate/pairs.hpp"

#include <algorithm>

#include "correlate/correlate_lanes.hpp"
#include "simd/lane_table.hpp"

namespace molvak::correlate {

PairWorkspace::PairWorkspace(const PairProblem& p) : base(p.base) {
    const Problem& b = p.base;
    const std::size_t per_channel = spectra_size(std::max<std::size_t>(b.windows, 1), spectra_size(2, base.stride));
    tile = p.tile;
    if (tile == 0) tile = std::max<std::size_t>(1, kTileBytes / (2 * 8 * per_channel));
    spectra.reset(spectra_size(std::max<std::size_t>(b.channels, 1), per_channel), "correlation spectra");
    used.reset(std::max<std::size_t>(b.channels, 1), "temporary trace");
    order.reset(std::max<std::size_t>(p.npairs, 1), "temporary trace");
    acc.reset(b.pws ? spectra_size(2, 2 * b.max_lag + 1) : spectra_size(2, base.stride), "correlation spectra");
}

void correlate_pairs(const PairProblem& p, PairWorkspace& ws, double* linear, double* phasor,
                     simd::Isa isa) noexcept {
    const Problem& b = p.base;
    const std::size_t W = b.windows, NX = b.channels, P = p.npairs, lags = 2 * b.max_lag + 1;
    if (P == 0 || NX == 0) return;
    if (b.fresh) {
        std::fill(linear, linear + P * lags, 0.0);
        if (b.pws) std::fill(phasor, phasor + 2 * P * lags, 0.0);
    }
    if (W == 0) return;
    const LaneKernels& lk = simd::pick(isa, MOLVAK_LANE_TABLE_LIST(lane_kernels));
    const std::size_t stride = ws.base.stride, bins = ws.base.bins, per_window = 2 * stride;
    const std::size_t per_channel = W * per_window;
    // every channel of some pair, every window: prepared once
    std::fill(ws.used.data(), ws.used.data() + NX, static_cast<unsigned char>(0));
    for (std::size_t k = 0; k < P; ++k) {
        ws.used[static_cast<std::size_t>(p.pairs[2 * k])] = 1;
        ws.used[static_cast<std::size_t>(p.pairs[2 * k + 1])] = 1;
    }
    double* const channel_spectra = ws.spectra.data();
    for (std::size_t r = 0; r < NX; ++r) {
        if (!ws.used[r]) continue;
        for (std::size_t w = 0; w < W; ++w) {
            double* re = channel_spectra + r * per_channel + w * per_window;
            window_spectrum(b, ws.base, w, r, re, re + stride, isa);
        }
    }
    // the pairs tile by tile (row block, column block), in order within
    const std::size_t T = ws.tile;
    std::size_t* order = ws.order.data();
    for (std::size_t k = 0; k < P; ++k) order[k] = k;
    auto key = [&](std::size_t k) {
        const auto i = static_cast<std::size_t>(p.pairs[2 * k]), j = static_cast<std::size_t>(p.pairs[2 * k + 1]);
        return std::make_pair(std::make_pair(i / T, j / T), std::make_pair(i, j));
    };
    std::sort(order, order + P, [&](std::size_t a, std::size_t c) { return key(a) < key(c); });
    double* const acc = ws.acc.data();
    for (std::size_t q = 0; q < P; ++q) {
        const std::size_t k = order[q];
        const double* si = channel_spectra + static_cast<std::size_t>(p.pairs[2 * k]) * per_channel;
        const double* sj = channel_spectra + static_cast<std::size_t>(p.pairs[2 * k + 1]) * per_channel;
        double* lin = linear + k * lags;
        if (b.pws) {
            std::fill(acc, acc + 2 * lags, 0.0);
            for (std::size_t w = 0; w < W; ++w) {
                const double* s = si + w * per_window;
                const double* x = sj + w * per_window;
                add_window_phasors(b, ws.base, s, s + stride, x, x + stride, lin, acc, acc + lags, isa);
            }
            double* z = phasor + 2 * k * lags;
            for (std::size_t i = 0; i < lags; ++i) {
                z[2 * i] += acc[i];
                z[2 * i + 1] += acc[lags + i];
            }
            continue;
        }
        // the sum of the windows' cross-spectra, transformed once
        std::fill(acc, acc + per_window, 0.0);
        for (std::size_t w = 0; w < W; ++w) {
            const double* s = si + w * per_window;
            const double* x = sj + w * per_window;
            lk.cross_add(s, s + stride, x, x + stride, acc, acc + stride, bins);
        }
        add_correlation(b, ws.base, acc, acc + stride, lin, isa);
    }
}

}  // namespace molvak::correlate
