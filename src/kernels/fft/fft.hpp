// FFTs over raw buffers (FFTW underneath), for every kernel of either
// extension module: real transforms both ways, and backward complex ones.
//
// Plans are made once per process and shared: a cache keyed by what makes a
// plan differ (the direction and the length; every plan is made for 64-byte
// aligned, out-of-place buffers), safe under threads, bounded in entries and
// in the memory of its chirp-z tables. Planning takes FFTW's own planner
// lock (fftw_make_planner_thread_safe), so it is safe against every other
// user of the library in the process, not only against molvak's threads.
// Executing a plan is thread-safe; each call owns its work buffers.
#pragma once

#include <cstddef>
#include <memory>

#include "common/buffer.hpp"

namespace molvak::fft {

// Installs FFTW's planner lock. Called by each module's initialisation and
// before every planning; idempotent.
void make_planning_thread_safe() noexcept;

struct ForwardTransform;  // a cached forward plan of one length
struct InverseTransform;  // a cached inverse plan of one length
struct BackwardTransform; // a cached complex backward plan of one length

// The number of cached plans and the bounds of the cache.
constexpr std::size_t kCacheEntries = 64;
constexpr std::size_t kCacheBytes = std::size_t(64) << 20;

// Forward real-to-complex transforms of one length n for a batch of lines
// ("lanes"), each with its own aligned input (n reals) and output (n/2 + 1
// complex bins, interleaved real and imaginary) buffer. Lengths with a large
// prime factor, which FFTW's estimated plans handle slowly, go through
// Bluestein's chirp-z algorithm on a fast length, two real lines packed into
// one complex one.
class RealPlan {
public:
    // Allocates the work buffers (AllocFailure "temporary trace"); the plan
    // is fetched (or made) by prepare() (AllocFailure "FFT plan").
    // `max_lanes` (at most 16) lines can be batched: many for lines gathered
    // across an axis, two (a chirp-z pair) for lines handled one by one.
    explicit RealPlan(std::size_t n, std::size_t max_lanes);
    ~RealPlan();
    RealPlan(const RealPlan&) = delete;
    RealPlan& operator=(const RealPlan&) = delete;
    void prepare();

    std::size_t length() const noexcept { return n_; }
    std::size_t bins() const noexcept { return n_ / 2 + 1; }
    std::size_t lanes() const noexcept { return lanes_; }
    bool chirp_z() const noexcept;
    double* in(std::size_t lane = 0) noexcept { return in_.data() + lane * in_stride_; }
    // The input of `lane` ready for `count` samples: zeros from `count` to
    // the plan length. Transforms keep their input, so the padding of a lane
    // is written once and only redone where a longer line overwrote it.
    double* padded_in(std::size_t lane, std::size_t count) noexcept;
    const double* out(std::size_t lane = 0) const noexcept { return out_.data() + lane * out_stride_; }
    // Transforms in(0 .. count-1) into out(0 .. count-1); inputs are kept.
    void execute(std::size_t count = 1) noexcept;
    // Transforms n reals at `in` straight into bins complex at `out` when the
    // plan can (no chirp-z route, pointers aligned as the planned buffers);
    // false, and nothing done, otherwise. `in` is only read.
    bool execute_direct(const double* in, double* out) noexcept;

private:
    std::size_t n_;
    std::size_t lanes_;
    std::size_t zero_from_[16];
    std::size_t in_stride_ = 0;
    std::size_t out_stride_ = 0;
    Buffer<double> in_;
    Buffer<double> out_;
    Buffer<double> work_;  // the chirp-z convolution, 2m doubles
    std::shared_ptr<const ForwardTransform> plan_;
};

// Inverse complex-to-real transforms of one length n (unnormalised: the
// inverse of the forward transform times n) for a batch of lanes: input
// n/2 + 1 complex bins (the imaginary parts of bin 0, and of the Nyquist bin
// of an even n, are ignored), output n reals.
class InversePlan {
public:
    // AllocFailure "temporary trace" for the buffers; prepare() fetches the
    // plan (AllocFailure "FFT plan").
    explicit InversePlan(std::size_t n, std::size_t max_lanes);
    ~InversePlan();
    InversePlan(const InversePlan&) = delete;
    InversePlan& operator=(const InversePlan&) = delete;
    void prepare();

    std::size_t length() const noexcept { return n_; }
    std::size_t bins() const noexcept { return n_ / 2 + 1; }
    std::size_t lanes() const noexcept { return lanes_; }
    double* in(std::size_t lane = 0) noexcept { return in_.data() + lane * in_stride_; }
    const double* out(std::size_t lane = 0) const noexcept { return out_.data() + lane * out_stride_; }
    // Transforms in(0 .. count-1) into out(0 .. count-1). The inputs are
    // overwritten.
    void execute(std::size_t count = 1) noexcept;

private:
    std::size_t n_;
    std::size_t lanes_;
    std::size_t in_stride_ = 0;
    std::size_t out_stride_ = 0;
    Buffer<double> in_;
    Buffer<double> out_;
    std::shared_ptr<const InverseTransform> plan_;
};

// Backward complex-to-complex transforms of one length n (unnormalised:
// out_j = sum_k in_k e^{+2 pi i j k / n}) for a batch of lanes, complex
// numbers interleaved (real, imaginary). Half-length transforms of this kind
// assemble the inverse of a longer real or one-sided spectrum, which FFTW's
// estimated complex plans do faster than its real ones for many lengths.
class BackwardPlan {
public:
    // AllocFailure "temporary trace" for the buffers; prepare() fetches the
    // plan (AllocFailure "FFT plan").
    explicit BackwardPlan(std::size_t n, std::size_t max_lanes);
    ~BackwardPlan();
    BackwardPlan(const BackwardPlan&) = delete;
    BackwardPlan& operator=(const BackwardPlan&) = delete;
    void prepare();

    std::size_t length() const noexcept { return n_; }
    std::size_t lanes() const noexcept { return lanes_; }
    double* in(std::size_t lane = 0) noexcept { return in_.data() + lane * stride_; }
    const double* out(std::size_t lane = 0) const noexcept { return out_.data() + lane * stride_; }
    // Transforms in(0 .. count-1) into out(0 .. count-1); inputs are kept.
    void execute(std::size_t count = 1) noexcept;

private:
    std::size_t n_;
    std::size_t lanes_;
    std::size_t stride_ = 0;
    Buffer<double> in_;
    Buffer<double> out_;
    std::shared_ptr<const BackwardTransform> plan_;
};

// Writes the bins of lane `lane`, each multiplied by `scale`, as complex
// numbers to dst[k * stride] (stride in complex elements). Bin 0, and the
// Nyquist bin of an even length, get an imaginary part of exactly 0.
void store_bins(const RealPlan& plan, std::size_t lane, double scale, double* dst,
                std::ptrdiff_t stride);

// The FFT of every line of a C-ordered block (outer, L, inner) along its middle
// axis, zero-padded to the plan length and scaled, into a C-ordered complex
// block (outer, bins, inner).
void rfft_axis(RealPlan& plan, const double* src, std::size_t outer, std::size_t L,
               std::size_t inner, double scale, double* dst);

}  // namespace molvak::fft
