#include "correlate/pairs.hpp"

#include <algorithm>

#include "correlate/correlate_lanes.hpp"
#include "simd/lane_table.hpp"

namespace molvak::correlate {

PairWorkspace::PairWorkspace(const PairProblem& p) : base(p.base) {
    const Problem& b = p.base;
    const std::size_t W = std::max<std::size_t>(b.windows, 1);
    // pws: (W) windows of planar spectra per channel; linear: (chunks, W) chunks of bins
    const std::size_t chunks = (base.bins + kChunkBins - 1) / kChunkBins;
    const std::size_t per_channel = b.pws ? spectra_size(W, spectra_size(2, base.stride))
                                          : spectra_size(spectra_size(chunks, W), 2 * kChunkBins);
    // 2 x tile channels' windows over one chunk of bins stay within kTileBytes
    const std::size_t chunk_bytes = 2 * 8 * W * kChunkBins;
    tile = p.tile;
    if (tile == 0) tile = std::min(kMaxTile, std::max<std::size_t>(1, kTileBytes / (2 * chunk_bytes)));
    spectra.reset(spectra_size(std::max<std::size_t>(b.channels, 1), per_channel), "correlation spectra");
    used.reset(std::max<std::size_t>(b.channels, 1), "temporary trace");
    order.reset(std::max<std::size_t>(p.npairs, 1), "temporary trace");
    acc.reset(b.pws ? spectra_size(2, 2 * b.max_lag + 1) : spectra_size(2 * kBatch, base.stride),
              "correlation spectra");
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
    const std::size_t C = kChunkBins, per_chunk = W * 2 * C, chunks = (bins + C - 1) / C;
    const std::size_t per_channel = b.pws ? W * per_window : chunks * per_chunk;
    // every channel of some pair, every window: prepared once
    std::fill(ws.used.data(), ws.used.data() + NX, static_cast<unsigned char>(0));
    for (std::size_t k = 0; k < P; ++k) {
        ws.used[static_cast<std::size_t>(p.pairs[2 * k])] = 1;
        ws.used[static_cast<std::size_t>(p.pairs[2 * k + 1])] = 1;
    }
    double* const channel_spectra = ws.spectra.data();
    double* const acc = ws.acc.data();
    for (std::size_t r = 0; r < NX; ++r) {
        if (!ws.used[r]) continue;
        double* const own = channel_spectra + r * per_channel;
        for (std::size_t w = 0; w < W; ++w) {
            if (b.pws) {
                double* re = own + w * per_window;
                window_spectrum(b, ws.base, w, r, re, re + stride, isa);
                continue;
            }
            // linear: chunk by chunk of bins, the windows of a chunk side by side
            // (re[C], im[C] each), so that a pair reads each chunk in one sweep
            window_spectrum(b, ws.base, w, r, acc, acc + stride, isa);
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t k0 = c * C, n = std::min(C, bins - k0);
                double* out = own + c * per_chunk + w * 2 * C;
                std::copy(acc + k0, acc + k0 + n, out);
                std::copy(acc + stride + k0, acc + stride + k0 + n, out + C);
            }
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
    auto first = [&](std::size_t k) { return channel_spectra + static_cast<std::size_t>(p.pairs[2 * k]) * per_channel; };
    auto second = [&](std::size_t k) {
        return channel_spectra + static_cast<std::size_t>(p.pairs[2 * k + 1]) * per_channel;
    };
    if (!b.pws) {
        // the sum of each pair's cross-spectra over the windows, transformed once;
        // kBatch pairs (in tile order) at a time, swept chunk of bins by chunk of
        // bins, so that their channels' windows over a chunk are reused from the
        // cache by every pair of the batch
        for (std::size_t q0 = 0; q0 < P; q0 += kBatch) {
            const std::size_t n = std::min(kBatch, P - q0);
            std::fill(acc, acc + n * per_window, 0.0);
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t k0 = c * C, m = std::min(C, bins - k0);
                // pairs of the same first channel, up to kReceivers at once
                for (std::size_t g = 0; g < n;) {
                    const double* si = first(order[q0 + g]) + c * per_chunk;
                    const double* x[kReceivers];
                    double* ar[kReceivers];
                    std::size_t count = 0;
                    do {
                        x[count] = second(order[q0 + g]) + c * per_chunk;
                        ar[count] = acc + g * per_window + k0;
                        ++count;
                        ++g;
                    } while (g < n && count < kReceivers && p.pairs[2 * order[q0 + g]] == p.pairs[2 * order[q0 + g - 1]]);
                    lk.cross_add_windows(si, x, count, W, 2 * C, C, ar, stride, m);
                }
            }
            for (std::size_t g = 0; g < n; ++g) {
                const double* ar = acc + g * per_window;
                add_correlation(b, ws.base, ar, ar + stride, linear + order[q0 + g] * lags, isa);
            }
        }
        return;
    }
    // phase-weighted: each window's phasors, pair by pair
    for (std::size_t q = 0; q < P; ++q) {
        const std::size_t k = order[q];
        const double* si = first(k);
        const double* sj = second(k);
        double* lin = linear + k * lags;
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
    }
}

}  // namespace molvak::correlate
