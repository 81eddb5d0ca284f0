// Cross-correlation of windows of a continuous record with virtual-source
// channels, and their stack over the windows: the core of
// molvak.interferometry, over raw buffers. Plain C++.
//
// Every window of every channel is prepared on its own,
//
//   1. demeaned,
//   2. normalised in time: one-bit (the sign of every sample), or divided
//      by the running mean of |x| over the 2 h + 1 samples centred on each
//      (the window shortened at the ends; 0 where that mean is 0),
//   3. tapered (multiplied by a given window),
//   4. Fourier transformed, zero-padded to nfft >= 2 NT - 1 samples, so
//      that the circular correlation holds every lag without wrap-around,
//   5. whitened: every bin divided by its amplitude (or by the running mean
//      of the amplitude over 2 h + 1 bins) and weighted by the band, 0 where
//      that amplitude is 0;
//
// and correlated with each virtual source s, C_sr(tau) = sum_t u_s(t)
// u_r(t + tau), from the cross-spectrum conj(U_s) U_r, at the lags
// tau = -L..L. Linear stacking sums the cross-spectra of the windows of a
// pair and transforms the sum once. Phase-weighted stacking transforms
// each window's cross-spectrum into its analytic signal z (the one-sided
// spectrum, doubled between bin 0 and the Nyquist bin, as
// scipy.signal.hilbert makes it: real part the correlation, imaginary part
// its Hilbert transform, two real inverse transforms) and sums Re z and
// z / |z| (0 where z = 0).
//
// Memory: the spectra of the sources over the windows, one window's
// spectrum of one channel, and per source the running sums of the channel
// at hand; nothing of size windows x channels x nfft is formed. Channels are
// taken one at a time, each window's spectrum used by every source while it
// is in the cache, and each pair's windows are summed in window order.
#pragma once

#include <cstddef>
#include <memory>

#include "common/buffer.hpp"
#include "fft/fft.hpp"
#include "simd/isa.hpp"

namespace molvak::correlate {

enum class Normalization { none, onebit, ram };

struct Problem {
    // Window w, channel r, sample t at window[w] + r * row_stride[w] + t:
    // the windows may lie anywhere (views into read buffers), each with its
    // samples contiguous in time; finite.
    const double* const* window;
    const std::ptrdiff_t* row_stride;  // W strides between channels, in samples
    // Single-precision windows instead (window is then not read): each row
    // is widened to double exactly, one channel at a time, as it is
    // prepared, so the results are those of the windows converted to
    // float64 beforehand, bit for bit, without a float64 copy of the block.
    const float* const* window32 = nullptr;
    std::size_t windows;           // W
    std::size_t channels;          // NX
    std::size_t samples;           // NT >= 1
    const std::ptrdiff_t* sources; // S channel indices in [0, NX)
    std::size_t nsources;          // S
    std::size_t nfft;              // N >= 2 NT - 1
    std::size_t max_lag;           // L < NT
    const double* taper;           // NT weights, or null for none
    Normalization normalization;
    std::size_t ram_half;          // h of the running absolute mean
    const double* whiten;          // N / 2 + 1 band weights, or null for no whitening
    std::size_t whiten_half;       // h of the running mean of the amplitude (0: none)
    bool pws;                      // phase-weighted: the phasors as well
    bool fresh = false;            // the outputs hold nothing yet: zeroed here, row by row, before use
};

// Work memory of one call; allocated (and the FFT plans fetched) with the
// interpreter lock held. Throws AllocFailure.
class Workspace {
public:
    explicit Workspace(const Problem& p);

    std::size_t bins;    // N / 2 + 1
    std::size_t stride;  // doubles between planar spectra (bins rounded up)
    fft::RealPlan forward;
    std::unique_ptr<fft::BackwardPlan> half;     // even N: complex, of length N / 2
    std::unique_ptr<fft::InversePlan> inverse;   // odd N: real, of length N
    Buffer<double> twiddle;         // even N: e^{2 pi i k / N}, k < N / 2, complex pairs
    Buffer<double> source_spectra;  // (S, W) planar spectra: re[stride], im[stride]
    Buffer<double> spectrum;        // a window's planar spectrum
    Buffer<double> line;            // NT + 1: running sums of |x|
    Buffer<double> row;             // NT: a single-precision row widened
    Buffer<double> scratch;         // 2 (bins + 1): amplitudes and their running sums
    Buffer<double> acc;             // per source, linear: the cross-spectra, 2 stride; pws: the phasors, 2 (2L+1)
    Buffer<double> lagged;          // pws: the analytic signal at the lags, 2 (2L+1)
};

// Adds, for every source j and channel r, at lag index i (tau = i - L):
//   linear[(j NX + r) (2L+1) + i]      the sum over windows of C_sr(tau),
//   phasor[2 ((j NX + r) (2L+1) + i)]  the sum of z / |z| (complex pairs),
// phasor only for pws (it may be null otherwise). The caller zeroes the
// outputs, passes running sums, or sets p.fresh: then each pair's rows are
// zeroed just before the pair is summed into them (while they are in the
// cache, rather than in a pass of their own over all of them first).
void correlate_stack(const Problem& p, Workspace& ws, double* linear, double* phasor,
                     simd::Isa isa = simd::Isa::best) noexcept;

// a x b for the sizes of the work buffers; AllocFailure("correlation
// spectra") where the product does not fit in a size_t.
std::size_t spectra_size(std::size_t a, std::size_t b);

// The steps of correlate_stack one at a time, for the kernels that pair the
// channels otherwise (pairs.hpp):
// steps 1-5 for window w of channel r, its planar spectrum into (re, im)
// (ws.bins values each);
void window_spectrum(const Problem& p, Workspace& ws, std::size_t w, std::size_t r, double* re, double* im,
                     simd::Isa isa = simd::Isa::best) noexcept;
// the correlation at the lags -L..L of a pair from the sum (ar, ai) of its
// cross-spectra conj(S) X, times 1 / N, added to lin (2L + 1);
void add_correlation(const Problem& p, Workspace& ws, const double* ar, const double* ai, double* lin,
                     simd::Isa isa = simd::Isa::best) noexcept;
// one window's cross-spectrum conj(S) X, (sr, si) and (xr, xi) planar: Re z
// of its analytic signal added to lin and z / |z| to (pr, pi), at the lags.
void add_window_phasors(const Problem& p, Workspace& ws, const double* sr, const double* si, const double* xr,
                        const double* xi, double* lin, double* pr, double* pi,
                        simd::Isa isa = simd::Isa::best) noexcept;

}  // namespace molvak::correlate
