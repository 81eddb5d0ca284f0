// Real forward FFT kernels over raw buffers (FFTW underneath).
#pragma once

#include <cstddef>

#include "spectral/buffer.hpp"

namespace molvak::fft {

// A forward real-to-complex plan of length n with its own aligned work
// buffers: `in` holds n reals, `out` holds n/2 + 1 complex bins (interleaved
// real, imaginary). Planning and destruction are serialised across threads,
// since FFTW's planner is not thread-safe; executing is.
class RealPlan {
public:
    // Allocates the work buffers (AllocFailure "temporary trace"); the plan
    // itself is made by prepare() (AllocFailure "FFT plan").
    explicit RealPlan(std::size_t n);
    void prepare();
    ~RealPlan();
    RealPlan(const RealPlan&) = delete;
    RealPlan& operator=(const RealPlan&) = delete;

    std::size_t length() const noexcept { return n_; }
    std::size_t bins() const noexcept { return n_ / 2 + 1; }
    double* in() noexcept { return in_.data(); }
    const double* out() const noexcept { return out_.data(); }
    // Transforms in() into out(); in() is left unchanged.
    void execute() noexcept;

private:
    std::size_t n_;
    Buffer<double> in_;
    Buffer<double> out_;
    void* plan_ = nullptr;
};

// Loads `count` samples read with `stride` (in elements) into the plan's input,
// zero-pads to the plan length and transforms.
void transform_line(RealPlan& plan, const double* src, std::ptrdiff_t stride, std::size_t count);

// Writes the bins of the last transform, each multiplied by `scale`, as
// complex numbers to dst[k * stride] (stride in complex elements). Bin 0, and
// the Nyquist bin of an even length, get an imaginary part of exactly 0.
void store_bins(const RealPlan& plan, double scale, double* dst, std::ptrdiff_t stride);

// The FFT of every line of a C-ordered block (outer, L, inner) along its middle
// axis, zero-padded to the plan length and scaled, into a C-ordered complex
// block (outer, bins, inner).
void rfft_axis(RealPlan& plan, const double* src, std::size_t outer, std::size_t L,
               std::size_t inner, double scale, double* dst);

}  // namespace molvak::fft
