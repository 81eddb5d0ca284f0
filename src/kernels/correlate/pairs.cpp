#include "correlate/pairs.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "correlate/correlate_lanes.hpp"
#include "simd/lane_table.hpp"

namespace molvak::correlate {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

std::size_t first_of(const PairProblem& p, std::size_t k) { return static_cast<std::size_t>(p.pairs[2 * k]); }
std::size_t second_of(const PairProblem& p, std::size_t k) { return static_cast<std::size_t>(p.pairs[2 * k + 1]); }

// Pairs taken together: kBatch for linear stacking, one by one for pws.
std::size_t batch_of(const Problem& b) { return b.pws ? 1 : kBatch; }

}  // namespace

PairWorkspace::PairWorkspace(const PairProblem& p) : base(p.base) {
    const Problem& b = p.base;
    const std::size_t W = std::max<std::size_t>(b.windows, 1);
    const std::size_t NX = std::max<std::size_t>(b.channels, 1), P = p.npairs;
    // pws: (W) windows of planar spectra per channel; linear: (chunks, W) chunks of bins
    const std::size_t chunks = (base.bins + kChunkBins - 1) / kChunkBins;
    const std::size_t per_channel = b.pws ? spectra_size(W, spectra_size(2, base.stride))
                                          : spectra_size(spectra_size(chunks, W), 2 * kChunkBins);
    // 2 x tile channels' windows over one chunk of bins stay within kTileBytes
    const std::size_t chunk_bytes = 2 * 8 * W * kChunkBins;
    tile = p.tile;
    if (tile == 0) tile = std::min(kMaxTile, std::max<std::size_t>(1, kTileBytes / (2 * chunk_bytes)));
    // the pairs tile by tile (row block, column block), in order within
    order.reset(std::max<std::size_t>(P, 1), "temporary trace");
    for (std::size_t k = 0; k < P; ++k) order[k] = k;
    const std::size_t T = tile;
    auto key = [&](std::size_t k) {
        const std::size_t i = first_of(p, k), j = second_of(p, k);
        return std::make_pair(std::make_pair(i / T, j / T), std::make_pair(i, j));
    };
    std::sort(order.data(), order.data() + P, [&](std::size_t a, std::size_t c) { return key(a) < key(c); });
    // The plan of the channels' spectra: each channel is prepared in the
    // batch of its first pair, into a slot that is free again after the
    // batch of its last (a slot let go is taken by the next channel met).
    const std::size_t B = batch_of(b), batches = (P + B - 1) / B;
    Buffer<std::size_t> last(NX, "temporary trace");   // the batch of the channel's last pair
    Buffer<std::size_t> unused(NX, "temporary trace"); // slots let go, a stack
    std::fill(last.data(), last.data() + NX, kNone);
    for (std::size_t q = 0; q < P; ++q) last[first_of(p, order[q])] = last[second_of(p, order[q])] = q / B;
    slot.reset(NX, "temporary trace");
    prepare.reset(NX, "temporary trace");
    prepare_from.reset(batches + 1, "temporary trace");
    std::fill(slot.data(), slot.data() + NX, kNone);
    std::size_t prepared = 0, nunused = 0;
    slots = 0;
    for (std::size_t batch = 0; batch < batches; ++batch) {
        const std::size_t q0 = batch * B, q1 = std::min(P, q0 + B);
        prepare_from[batch] = prepared;
        for (std::size_t q = q0; q < q1; ++q)
            for (std::size_t c : {first_of(p, order[q]), second_of(p, order[q])})
                if (slot[c] == kNone) {
                    slot[c] = nunused > 0 ? unused[--nunused] : slots++;
                    prepare[prepared++] = c;
                }
        for (std::size_t q = q0; q < q1; ++q)
            for (std::size_t c : {first_of(p, order[q]), second_of(p, order[q])})
                if (last[c] == batch) {
                    unused[nunused++] = slot[c];
                    last[c] = kNone;  // let go once
                }
    }
    prepare_from[batches] = prepared;
    spectra.reset(spectra_size(std::max<std::size_t>(slots, 1), per_channel), "correlation spectra");
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
    double* const channel_spectra = ws.spectra.data();
    double* const acc = ws.acc.data();
    // Each channel's windows are prepared in the batch of its first pair, into
    // the slot the workspace's plan gives it: the same spectra, computed
    // once, as if every channel were prepared beforehand.
    auto prepare = [&](std::size_t r) {  // uses acc as scratch (linear)
        double* const own = channel_spectra + ws.slot[r] * per_channel;
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
    };
    auto spectra_of = [&](std::size_t r) { return channel_spectra + ws.slot[r] * per_channel; };
    const std::size_t* const order = ws.order.data();
    const std::size_t B = batch_of(b);
    for (std::size_t q0 = 0; q0 < P; q0 += B) {
        const std::size_t n = std::min(B, P - q0), batch = q0 / B;
        for (std::size_t k = ws.prepare_from[batch]; k < ws.prepare_from[batch + 1]; ++k) prepare(ws.prepare[k]);
        if (!b.pws) {
            // the sum of each pair's cross-spectra over the windows, transformed
            // once; kBatch pairs (in tile order) at a time, swept chunk of bins
            // by chunk of bins, so that their channels' windows over a chunk are
            // reused from the cache by every pair of the batch
            std::fill(acc, acc + n * per_window, 0.0);
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t k0 = c * C, m = std::min(C, bins - k0);
                // pairs of the same first channel, up to kReceivers at once
                for (std::size_t g = 0; g < n;) {
                    const double* si = spectra_of(first_of(p, order[q0 + g])) + c * per_chunk;
                    const double* x[kReceivers];
                    double* ar[kReceivers];
                    std::size_t count = 0;
                    do {
                        x[count] = spectra_of(second_of(p, order[q0 + g])) + c * per_chunk;
                        ar[count] = acc + g * per_window + k0;
                        ++count;
                        ++g;
                    } while (g < n && count < kReceivers &&
                             first_of(p, order[q0 + g]) == first_of(p, order[q0 + g - 1]));
                    lk.cross_add_windows(si, x, count, W, 2 * C, C, ar, stride, m);
                }
            }
            for (std::size_t g = 0; g < n; ++g) {
                const double* ar = acc + g * per_window;
                add_correlation(b, ws.base, ar, ar + stride, linear + order[q0 + g] * lags, isa);
            }
        } else {
            // phase-weighted: each window's phasors, pair by pair
            const std::size_t k = order[q0];
            const double* si = spectra_of(first_of(p, k));
            const double* sj = spectra_of(second_of(p, k));
            double* lin = linear + k * lags;
            std::fill(acc, acc + 2 * lags, 0.0);
            for (std::size_t w = 0; w < W; ++w) {
                const double* s = si + w * per_window;
                const double* x = sj + w * per_window;
                add_window_phasors(b, ws.base, s, s + stride, x, x + stride, lin, acc, acc + lags, isa);
            }
            double* z = phasor + 2 * k * lags;
            for (std::size_t t = 0; t < lags; ++t) {
                z[2 * t] += acc[t];
                z[2 * t + 1] += acc[lags + t];
            }
        }
    }
}

}  // namespace molvak::correlate
