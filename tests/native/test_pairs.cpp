// The all-pairs kernel against the virtual-source kernel (itself checked
// against the definition in test_correlate.cpp): pair (i, j) must hold the
// bits of source i's correlation with channel j, whatever the tile, on
// every instruction set, for even and odd FFT lengths, linear and
// phase-weighted stacking, added to what the outputs hold or into fresh ones,
// for every pair and for neighbours only (whose spectra are held a few
// channels at a time).
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "correlate/correlate.hpp"
#include "correlate/pairs.hpp"
#include "harness.hpp"
#include "sets.hpp"

namespace cr = molvak::correlate;

namespace {

void run(std::size_t nfft, bool pws, bool whiten_by_mean, std::size_t NX = 7) {
    const std::size_t W = 3, NT = 40, L = 17, row = NT + 2;
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal;
    std::vector<double> samples(W * NX * row);
    for (double& v : samples) v = normal(gen);
    std::vector<const double*> window;
    std::vector<std::ptrdiff_t> stride(W, static_cast<std::ptrdiff_t>(row));
    for (std::size_t w = 0; w < W; ++w) window.push_back(samples.data() + w * NX * row);
    std::vector<double> band(nfft / 2 + 1);
    for (std::size_t k = 0; k < band.size(); ++k) band[k] = k == 0 ? 0.0 : 1.0 / (1.0 + 0.01 * k);
    std::vector<std::ptrdiff_t> sources;
    for (std::size_t r = 0; r < NX; ++r) sources.push_back(static_cast<std::ptrdiff_t>(r));
    cr::Problem p{};
    p.window = window.data();
    p.row_stride = stride.data();
    p.windows = W;
    p.channels = NX;
    p.samples = NT;
    p.sources = sources.data();
    p.nsources = NX;
    p.nfft = nfft;
    p.max_lag = L;
    p.whiten = band.data();
    p.whiten_half = whiten_by_mean ? 2 : 0;
    p.pws = pws;
    p.fresh = true;
    const std::size_t lags = 2 * L + 1;
    // every pair once, and the pairs of neighbours only (|i - j| <= 1), both
    // listed out of tile order
    std::vector<std::ptrdiff_t> every, neighbours;
    for (std::size_t i = NX; i-- > 0;)
        for (std::size_t j = i; j < NX; ++j) {
            for (auto* list : {&every, &neighbours})
                if (list == &every || j - i <= 1) {
                    list->push_back(static_cast<std::ptrdiff_t>(i));
                    list->push_back(static_cast<std::ptrdiff_t>(j));
                }
        }
    for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
        cr::Workspace ws(p);
        std::vector<double> lin(NX * NX * lags), ph(pws ? 2 * NX * NX * lags : 0);
        cr::correlate_stack(p, ws, lin.data(), pws ? ph.data() : nullptr, isa);
        for (const auto* list : {&every, &neighbours}) {
            for (std::size_t tile : {std::size_t{1}, std::size_t{3}, std::size_t{0}}) {
                const std::vector<std::ptrdiff_t>& pairs = *list;
                const std::size_t P = pairs.size() / 2;
                cr::PairProblem pp{};
                pp.base = p;
                pp.base.sources = nullptr;
                pp.base.nsources = 0;
                pp.pairs = pairs.data();
                pp.npairs = P;
                pp.tile = tile;
                cr::PairWorkspace pw(pp);
                // the spectra of a channel are held from the batch of its first
                // pair to that of its last: for neighbours, those of a few
                // channels at a time (one batch's: about kBatch / 2 for linear)
                const std::size_t bound = pws ? 3 : cr::kBatch / 2 + 3;
                if (list == &neighbours)
                    CHECK_MSG(pw.slots <= bound, "tile " << tile << ": " << pw.slots << " held of " << NX);
                // fresh outputs hold NaN until the kernel zeroes them
                std::vector<double> out(P * lags, std::nan("")), outp(pws ? 2 * P * lags : 0, std::nan(""));
                cr::correlate_pairs(pp, pw, out.data(), pws ? outp.data() : nullptr, isa);
                bool same = true;
                for (std::size_t k = 0; k < P; ++k) {
                    const auto i = static_cast<std::size_t>(pairs[2 * k]), j = static_cast<std::size_t>(pairs[2 * k + 1]);
                    for (std::size_t t = 0; t < lags; ++t) {
                        same = same && out[k * lags + t] == lin[(i * NX + j) * lags + t];
                        if (pws)
                            same = same && outp[2 * (k * lags + t)] == ph[2 * ((i * NX + j) * lags + t)] &&
                                   outp[2 * (k * lags + t) + 1] == ph[2 * ((i * NX + j) * lags + t) + 1];
                    }
                }
                CHECK_MSG(same, "nfft " << nfft << (pws ? " pws" : " linear") << " tile " << tile << " on "
                                        << molvak::simd::name(isa));
                // a second call adds to the sums: twice the first (exactly for the
                // linear sums, added once per pair; up to rounding for the phase-
                // weighted ones, added window by window)
                pp.base.fresh = false;
                std::vector<double> twice = out, twicep = outp;
                cr::correlate_pairs(pp, pw, twice.data(), pws ? twicep.data() : nullptr, isa);
                double off = 0.0;
                for (std::size_t k = 0; k < out.size(); ++k) off = std::max(off, std::fabs(twice[k] - 2.0 * out[k]));
                for (std::size_t k = 0; k < outp.size(); ++k) off = std::max(off, std::fabs(twicep[k] - 2.0 * outp[k]));
                CHECK_MSG(pws ? off <= 1e-12 : off == 0.0, "nfft " << nfft << " tile " << tile << ": running sums " << off);
            }
        }
    }
}

}  // namespace

TEST(correlate_pairs_equal_the_virtual_source_kernel) {
    for (bool pws : {false, true}) {
        run(80, pws, false);   // even length: half-length complex inverses
        run(81, pws, false);   // odd length: real inverses
        run(80, pws, true);    // whitened by the running mean of the amplitude
        // more pairs than a batch and bins than a chunk
        CHECK(12 * 13 / 2 > cr::kBatch && 300 / 2 + 1 > cr::kChunkBins);
        run(300, pws, false, 12);
        run(80, pws, false, 90);  // many more channels than a batch holds
    }
}

// Single-precision windows: each row widened as it is prepared gives the
// bits of the same windows held in double, for sources and for pairs.
TEST(correlate_float32_windows_give_the_float64_bits) {
    const std::size_t W = 2, NX = 5, NT = 30, L = 9, row = NT + 3, nfft = 60;
    std::mt19937_64 gen(5);
    std::normal_distribution<float> normal;
    std::vector<float> single(W * NX * row);
    for (float& v : single) v = normal(gen);
    std::vector<double> wide(single.begin(), single.end());
    std::vector<const float*> w32;
    std::vector<const double*> w64;
    for (std::size_t w = 0; w < W; ++w) {
        w32.push_back(single.data() + w * NX * row);
        w64.push_back(wide.data() + w * NX * row);
    }
    std::vector<std::ptrdiff_t> stride(W, static_cast<std::ptrdiff_t>(row));
    std::vector<std::ptrdiff_t> sources = {0, 3};
    std::vector<std::ptrdiff_t> pairs = {0, 1, 2, 4, 3, 3};
    const std::size_t lags = 2 * L + 1;
    for (bool pws : {false, true}) {
        cr::Problem p{};
        p.window = w64.data();
        p.row_stride = stride.data();
        p.windows = W;
        p.channels = NX;
        p.samples = NT;
        p.sources = sources.data();
        p.nsources = sources.size();
        p.nfft = nfft;
        p.max_lag = L;
        p.normalization = cr::Normalization::onebit;
        p.pws = pws;
        p.fresh = true;
        cr::Problem q = p;
        q.window = nullptr;
        q.window32 = w32.data();
        for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
            const std::size_t n = sources.size() * NX * lags;
            std::vector<double> a(n), b(n), pa(pws ? 2 * n : 0), pb(pws ? 2 * n : 0);
            cr::Workspace wa(p), wb(q);
            cr::correlate_stack(p, wa, a.data(), pws ? pa.data() : nullptr, isa);
            cr::correlate_stack(q, wb, b.data(), pws ? pb.data() : nullptr, isa);
            CHECK_MSG(a == b && pa == pb, "sources" << (pws ? " pws" : "") << " on " << molvak::simd::name(isa));
            cr::PairProblem pp{}, pq{};
            pp.base = p;
            pq.base = q;
            pp.pairs = pq.pairs = pairs.data();
            pp.npairs = pq.npairs = pairs.size() / 2;
            const std::size_t m = pp.npairs * lags;
            std::vector<double> c(m), d(m), pc(pws ? 2 * m : 0), pd(pws ? 2 * m : 0);
            cr::PairWorkspace wc(pp), wd(pq);
            cr::correlate_pairs(pp, wc, c.data(), pws ? pc.data() : nullptr, isa);
            cr::correlate_pairs(pq, wd, d.data(), pws ? pd.data() : nullptr, isa);
            CHECK_MSG(c == d && pc == pd, "pairs" << (pws ? " pws" : "") << " on " << molvak::simd::name(isa));
        }
    }
}
