// Cross-correlation of every listed pair of channels of windows of a
// continuous record, and its stack over the windows: molvak.correlate(...,
// "all"). Plain C++.
//
// Each window of each channel is prepared once, as in correlate.hpp (steps
// 1-5), when a pair first needs it, and kept only until the last pair that
// needs it is done: its W spectra (about twice the channel's samples in the
// block) take a slot, freed then for another channel. Pairs of channels
// close along the line (`max_distance`) so hold the spectra of a band of
// channels, not of every channel. A pair
// (i, j) gets C_ij(tau) = sum_t u_i(t) u_j(t + tau), from conj(U_i) U_j, at
// the lags -L..L: linear stacking sums the pair's cross-spectra over the
// windows and transforms the sum once, phase-weighted stacking sums each
// window's Re z and z / |z| (as correlate_stack does for a source i and a
// channel j: the same bits). The pair (j, i) is the time reverse and is not
// computed.
//
// The pairs are taken tile by tile: channels in blocks of `tile`, every pair
// whose first channel lies in one block and second in another done before
// the next tile. Linear stacking sums the cross-spectra of kBatch pairs (in
// tile order) at a time, chunk of kChunkBins bins by chunk (each channel's
// spectra held chunk by chunk, the W windows of a chunk side by side, so that
// a pair reads a chunk in one contiguous sweep): the windows of
// 2 x tile channels over one chunk are reused from the cache by tile^2 pairs
// instead of being fetched from memory once per pair, and each pair's
// running sum over a chunk stays in the cache while its windows are added.
// Each bin of each pair is summed in window order whatever the tile, batch or
// chunk, so results do not depend on them.
#pragma once

#include <cstddef>

#include "correlate/correlate.hpp"

namespace molvak::correlate {

struct PairProblem {
    Problem base;                  // windows and settings; base.sources is not read
    const std::ptrdiff_t* pairs;   // P pairs (i, j) of channel indices in [0, NX)
    std::size_t npairs;            // P
    std::size_t tile = 0;          // channels per block; 0: chosen from the spectra's size
};

// Channels per tile when none is given: the windows of two blocks of
// channels over one chunk of bins fill about `kTileBytes` (at most kMaxTile,
// so that a batch of pairs covers a tile).
constexpr std::size_t kTileBytes = std::size_t{512} << 10;
constexpr std::size_t kChunkBins = 128;   // a multiple of every set's lanes
constexpr std::size_t kBatch = 64;        // pairs whose cross-spectra are summed together
constexpr std::size_t kMaxTile = 8;

class PairWorkspace {
public:
    explicit PairWorkspace(const PairProblem& p);  // throws AllocFailure

    Workspace base;
    std::size_t tile;
    std::size_t slots;            // channels whose spectra are held at once, at most
    Buffer<double> spectra;       // per slot, linear: (chunks, W) re[C], im[C]; pws: (W) re[stride], im[stride]
    Buffer<std::size_t> order;    // P: the pairs in tile order
    Buffer<std::size_t> slot;     // NX: the slot of the channel's spectra (from its first batch to its last)
    Buffer<std::size_t> prepare;  // the channels in the order they are prepared
    Buffer<std::size_t> prepare_from;  // batches + 1: where each batch's channels start in `prepare`
    Buffer<double> acc;           // linear: kBatch cross-spectra, 2 stride each; pws: phasors, 2 (2L + 1)
};

// Adds, for every pair k, at lag index i (tau = i - L):
//   linear[k (2L+1) + i]        the sum over windows of C_ij(tau),
//   phasor[2 (k (2L+1) + i)]    the sum of z / |z| (complex pairs, pws only).
// With p.base.fresh the rows are zeroed here before they are summed into.
void correlate_pairs(const PairProblem& p, PairWorkspace& ws, double* linear, double* phasor,
                     simd::Isa isa = simd::Isa::best) noexcept;

}  // namespace molvak::correlate
