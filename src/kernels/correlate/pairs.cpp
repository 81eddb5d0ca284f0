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

}  // namespace

PairWorkspace::PairWorkspace(const PairProblem& p) : base(p.base) {
    const Problem& b = p.base;
    const std::size_t NX = std::max<std::size_t>(b.channels, 1), P = p.npairs;
    const std::size_t per_channel = spectra_size(std::max<std::size_t>(b.windows, 1), spectra_size(2, base.stride));
    tile = p.tile;
    if (tile == 0) tile = std::max<std::size_t>(1, kTileBytes / (2 * 8 * per_channel));
    // the pairs tile by tile (row block, column block), in order within
    order.reset(std::max<std::size_t>(P, 1), "temporary trace");
    for (std::size_t k = 0; k < P; ++k) order[k] = k;
    const std::size_t T = tile;
    auto key = [&](std::size_t k) {
        const std::size_t i = first_of(p, k), j = second_of(p, k);
        return std::make_pair(std::make_pair(i / T, j / T), std::make_pair(i, j));
    };
    std::sort(order.data(), order.data() + P, [&](std::size_t a, std::size_t c) { return key(a) < key(c); });
    // each channel's last pair, and how many channels are held at once: from
    // its first pair to its last
    last.reset(NX, "temporary trace");
    slot.reset(NX, "temporary trace");
    std::fill(last.data(), last.data() + NX, kNone);
    std::fill(slot.data(), slot.data() + NX, kNone);
    for (std::size_t q = 0; q < P; ++q) last[first_of(p, order[q])] = last[second_of(p, order[q])] = q;
    std::size_t held = 0;
    slots = 0;
    for (std::size_t q = 0; q < P; ++q) {
        const std::size_t i = first_of(p, order[q]), j = second_of(p, order[q]);
        // slot[] marks here: kNone not yet met, 0 held, 1 let go
        for (std::size_t c : {i, j})
            if (slot[c] == kNone) {
                slot[c] = 0;
                slots = std::max(slots, ++held);
            }
        for (std::size_t c : {i, j})
            if (last[c] == q && slot[c] == 0) {
                slot[c] = 1;
                --held;
            }
    }
    spectra.reset(spectra_size(std::max<std::size_t>(slots, 1), per_channel), "correlation spectra");
    free.reset(std::max<std::size_t>(slots, 1), "temporary trace");
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
    // Each channel's windows are prepared when its first pair comes and its
    // slot freed after its last: the same spectra, computed once, as if
    // every channel were prepared beforehand.
    std::fill(ws.slot.data(), ws.slot.data() + NX, kNone);
    std::size_t* const free = ws.free.data();
    std::size_t nfree = ws.slots;
    for (std::size_t s = 0; s < ws.slots; ++s) free[s] = ws.slots - 1 - s;
    double* const channel_spectra = ws.spectra.data();
    auto spectra_of = [&](std::size_t r) {
        if (ws.slot[r] == kNone) {
            ws.slot[r] = free[--nfree];
            double* at = channel_spectra + ws.slot[r] * per_channel;
            for (std::size_t w = 0; w < W; ++w) {
                double* re = at + w * per_window;
                window_spectrum(b, ws.base, w, r, re, re + stride, isa);
            }
        }
        return channel_spectra + ws.slot[r] * per_channel;
    };
    double* const acc = ws.acc.data();
    for (std::size_t q = 0; q < P; ++q) {
        const std::size_t k = ws.order[q], i = first_of(p, k), j = second_of(p, k);
        const double* si = spectra_of(i);
        const double* sj = spectra_of(j);
        double* lin = linear + k * lags;
        if (b.pws) {
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
        } else {
            // the sum of the windows' cross-spectra, transformed once
            std::fill(acc, acc + per_window, 0.0);
            for (std::size_t w = 0; w < W; ++w) {
                const double* s = si + w * per_window;
                const double* x = sj + w * per_window;
                lk.cross_add(s, s + stride, x, x + stride, acc, acc + stride, bins);
            }
            add_correlation(b, ws.base, acc, acc + stride, lin, isa);
        }
        // the channels this pair was the last of let go of their slots
        for (std::size_t c : {i, j})
            if (ws.last[c] == q && ws.slot[c] != kNone) {
                free[nfree++] = ws.slot[c];
                ws.slot[c] = kNone;
            }
    }
}

}  // namespace molvak::correlate
