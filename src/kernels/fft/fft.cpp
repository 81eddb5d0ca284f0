#include "fft/fft.hpp"

#include <fftw3.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <list>
#include <mutex>
#include <utility>

namespace molvak::fft {

void make_planning_thread_safe() noexcept {
    // FFTW's planner keeps global state. This wraps every planner call of
    // the process (ours, pyFFTW's, any other library's that uses the same
    // libfftw3) in FFTW's own lock; a lock of molvak's could not stop the
    // others.
    static std::once_flag once;
    std::call_once(once, [] { fftw_make_planner_thread_safe(); });
}

namespace {

void destroy(fftw_plan plan) {
    // Destruction goes through the planner lock too.
    if (plan) fftw_destroy_plan(plan);
}

std::size_t largest_prime_factor(std::size_t n) {
    std::size_t largest = 1;
    for (std::size_t p = 2; p * p <= n; ++p) {
        while (n % p == 0) {
            largest = p;
            n /= p;
        }
    }
    return n > 1 ? n : largest;
}

// The smallest m >= n whose prime factors are 2, 3, 5 and 7.
std::size_t smooth_length(std::size_t n) {
    std::size_t best = std::numeric_limits<std::size_t>::max();
    for (std::size_t p2 = 1; p2 < 2 * n; p2 *= 2)
        for (std::size_t p3 = p2; p3 < 2 * n; p3 *= 3)
            for (std::size_t p5 = p3; p5 < 2 * n; p5 *= 5)
                for (std::size_t p7 = p5; p7 < 2 * n; p7 *= 7)
                    if (p7 >= n && p7 < best) best = p7;
    return best;
}

// Below this prime factor FFTW's estimated plans are fast; above it the
// chirp-z route on a smooth length wins.
constexpr std::size_t kBluesteinPrime = 100;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// A length FFTW takes (its lengths are ints; the chirp-z route needs 2n).
void check_length(std::size_t n) {
    if (n > static_cast<std::size_t>(std::numeric_limits<int>::max() / 4)) throw AllocFailure("FFT plan");
}

// ---------------------------------------------------------------------------
// The cache: the most recently used plans first, at most kCacheEntries of
// them and kCacheBytes of their tables. A plan stays alive while a call
// holds it, evicted or not. Plans are made outside the cache's lock (FFTW's
// planner lock serialises the planning itself), so a long planning does not
// hold up calls that find their plan.

template <class Plan>
class Cache {
public:
    std::shared_ptr<const Plan> get(std::size_t n) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (it->first == n) {
                    entries_.splice(entries_.begin(), entries_, it);
                    return it->second;
                }
            }
        }
        auto made = std::make_shared<const Plan>(n);
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : entries_)
            if (entry.first == n) return entry.second;  // another thread was quicker
        const std::size_t bytes = made->bytes();
        if (bytes > kCacheBytes) return made;  // used once, never kept
        entries_.emplace_front(n, made);
        bytes_ += bytes;
        while (entries_.size() > kCacheEntries || bytes_ > kCacheBytes) {
            bytes_ -= entries_.back().second->bytes();
            entries_.pop_back();
        }
        return made;
    }

private:
    std::mutex mutex_;
    std::list<std::pair<std::size_t, std::shared_ptr<const Plan>>> entries_;
    std::size_t bytes_ = 0;
};

// The caches live as long as the process (never destroyed, so no plan is
// destroyed after FFTW or the interpreter has gone at exit).
template <class Plan>
Cache<Plan>& cache() {
    static Cache<Plan>* const instance = new Cache<Plan>();
    return *instance;
}

}  // namespace

// ---------------------------------------------------------------------------
// Forward plans.
//
// Bluestein's algorithm: with w_j = exp(-i pi j^2 / n), the DFT is
// X_k = w_k * sum_j (z_j w_j) conj(w_{k-j}), a convolution evaluated with
// FFTs of a smooth length m >= 2n - 1. Two real lines x, y are transformed
// together as z = x + i y and separated with the conjugate symmetry of real
// spectra: X_k = (Z_k + conj Z_{n-k}) / 2, Y_k = (Z_k - conj Z_{n-k}) / 2i.
// The packing halves the cost; its price is that the last bits of a line's
// spectrum depend on the line it was paired with (lanes 0-1, 2-3, ... of a
// batch), so the same lines batched the same way give the same bits.
struct ForwardTransform {
    std::size_t n;
    fftw_plan r2c = nullptr;  // out of place, 64-byte aligned buffers
    // chirp-z route
    std::size_t m = 0;
    Buffer<double> chirp;   // w_j, j < n, interleaved
    Buffer<double> kernel;  // FFT_m of conj(w_|j|) wrapped, divided by m
    fftw_plan forward = nullptr, backward = nullptr;  // in place, 64-byte aligned

    explicit ForwardTransform(std::size_t n_) : n(n_) {
        check_length(n);
        make_planning_thread_safe();
        if (n > 64 && largest_prime_factor(n) > kBluesteinPrime) {
            make_chirp_z();
            return;
        }
        Buffer<double> in(round_up(n, 8), "temporary trace");
        Buffer<double> out(round_up(2 * (n / 2 + 1), 8), "temporary trace");
        // FFTW_ESTIMATE plans without touching the buffers.
        r2c = fftw_plan_dft_r2c_1d(static_cast<int>(n), in.data(), reinterpret_cast<fftw_complex*>(out.data()),
                                   FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
        if (!r2c) throw AllocFailure("FFT plan");
    }
    ~ForwardTransform() {
        destroy(r2c);
        destroy(forward);
        destroy(backward);
    }
    ForwardTransform(const ForwardTransform&) = delete;
    ForwardTransform& operator=(const ForwardTransform&) = delete;

    std::size_t bytes() const noexcept { return 16 * n + 8 * (chirp.size() + kernel.size()); }

    void make_chirp_z() {
        m = smooth_length(2 * n - 1);
        chirp.reset(2 * n, "temporary trace");
        kernel.reset(2 * m, "temporary trace");
        Buffer<double> work(2 * m, "temporary trace");
        auto* w = reinterpret_cast<fftw_complex*>(work.data());
        forward = fftw_plan_dft_1d(static_cast<int>(m), w, w, FFTW_FORWARD, FFTW_ESTIMATE);
        backward = fftw_plan_dft_1d(static_cast<int>(m), w, w, FFTW_BACKWARD, FFTW_ESTIMATE);
        if (!forward || !backward) throw AllocFailure("FFT plan");
        // j^2 mod 2n in integers keeps the chirp's angle small and exact.
        const double pi = 3.141592653589793;
        const unsigned long long twice = 2ULL * n;
        for (std::size_t j = 0; j < n; ++j) {
            const unsigned long long r = (static_cast<unsigned long long>(j) * j) % twice;
            const double angle = -pi * static_cast<double>(r) / static_cast<double>(n);
            chirp[2 * j] = std::cos(angle);
            chirp[2 * j + 1] = std::sin(angle);
        }
        std::fill(work.data(), work.data() + 2 * m, 0.0);
        for (std::size_t j = 0; j < n; ++j) {
            work[2 * j] = chirp[2 * j];
            work[2 * j + 1] = -chirp[2 * j + 1];
            if (j > 0) {
                work[2 * (m - j)] = chirp[2 * j];
                work[2 * (m - j) + 1] = -chirp[2 * j + 1];
            }
        }
        fftw_execute(forward);
        const double inv = 1.0 / static_cast<double>(m);
        for (std::size_t k = 0; k < 2 * m; ++k) kernel[k] = work[k] * inv;
    }

    // Spectra of the real lines x and y (y may be null) into ox and oy, with
    // `work` of 2m doubles, 64-byte aligned.
    void pair(const double* x, const double* y, double* ox, double* oy, double* work) const {
        double* w = work;
        auto* wc = reinterpret_cast<fftw_complex*>(w);
        const double* c = chirp.data();
        for (std::size_t j = 0; j < n; ++j) {
            const double re = x[j], im = y ? y[j] : 0.0;
            w[2 * j] = re * c[2 * j] - im * c[2 * j + 1];
            w[2 * j + 1] = re * c[2 * j + 1] + im * c[2 * j];
        }
        std::fill(w + 2 * n, w + 2 * m, 0.0);
        fftw_execute_dft(forward, wc, wc);
        const double* b = kernel.data();
        for (std::size_t k = 0; k < m; ++k) {
            const double re = w[2 * k], im = w[2 * k + 1];
            w[2 * k] = re * b[2 * k] - im * b[2 * k + 1];
            w[2 * k + 1] = re * b[2 * k + 1] + im * b[2 * k];
        }
        fftw_execute_dft(backward, wc, wc);
        // Z_k = w_k * conv_k, kept in place for k < n.
        for (std::size_t k = 0; k < n; ++k) {
            const double re = w[2 * k], im = w[2 * k + 1];
            w[2 * k] = re * c[2 * k] - im * c[2 * k + 1];
            w[2 * k + 1] = re * c[2 * k + 1] + im * c[2 * k];
        }
        const std::size_t bins = n / 2 + 1;
        for (std::size_t k = 0; k < bins; ++k) {
            const std::size_t r = k == 0 ? 0 : n - k;
            const double zr = w[2 * k], zi = w[2 * k + 1];
            const double cr = w[2 * r], ci = -w[2 * r + 1];  // conj Z_{n-k}
            ox[2 * k] = 0.5 * (zr + cr);
            ox[2 * k + 1] = 0.5 * (zi + ci);
            if (oy) {
                // (Z - conj Z') / 2i = (Im(Z - Z'*), -Re(Z - Z'*)) / 2
                oy[2 * k] = 0.5 * (zi - ci);
                oy[2 * k + 1] = -0.5 * (zr - cr);
            }
        }
    }
};

RealPlan::RealPlan(std::size_t n, std::size_t max_lanes) : n_(n) {
    if (n == 0) throw AllocFailure("temporary trace");
    // Several lanes let strided lines be gathered a cache line at a time;
    // very long transforms keep to one.
    lanes_ = std::max<std::size_t>(
        1, std::min<std::size_t>({max_lanes, std::size_t(16),
                                 n <= 16384                  ? std::size_t(16)
                                 : n <= 65536                ? std::size_t(8)
                                 : n <= (std::size_t(1) << 20) ? std::size_t(2)
                                                               : std::size_t(1)}));
    for (std::size_t& z : zero_from_) z = n;
    std::size_t pairs = 0, total = 0;
    if (!checked_mul(n / 2 + 1, 2, &pairs)) throw AllocFailure("temporary trace");
    in_stride_ = round_up(n, 8);
    out_stride_ = round_up(pairs, 8);
    if (in_stride_ < n || out_stride_ < pairs) throw AllocFailure("temporary trace");
    if (!checked_mul(in_stride_, lanes_, &total)) throw AllocFailure("temporary trace");
    in_.reset(total, "temporary trace");
    if (!checked_mul(out_stride_, lanes_, &total)) throw AllocFailure("temporary trace");
    out_.reset(total, "temporary trace");
}

RealPlan::~RealPlan() = default;

bool RealPlan::chirp_z() const noexcept { return plan_ && plan_->m != 0; }

double* RealPlan::padded_in(std::size_t lane, std::size_t count) noexcept {
    double* line = in(lane);
    std::size_t& zeros = zero_from_[lane];
    if (count < zeros) std::fill(line + count, line + zeros, 0.0);
    zeros = count;
    return line;
}

void RealPlan::prepare() {
    if (plan_) return;
    plan_ = cache<ForwardTransform>().get(n_);
    if (plan_->m != 0) work_.reset(2 * plan_->m, "temporary trace");
}

void RealPlan::execute(std::size_t count) noexcept {
    count = std::min(count, lanes_);
    const ForwardTransform& p = *plan_;
    if (p.m != 0) {
        for (std::size_t b = 0; b < count; b += 2) {
            const bool two = b + 1 < count;
            p.pair(in(b), two ? in(b + 1) : nullptr, out_.data() + b * out_stride_,
                   two ? out_.data() + (b + 1) * out_stride_ : nullptr, work_.data());
        }
        return;
    }
    // Every lane buffer has the planned buffers' alignment (64 bytes).
    for (std::size_t b = 0; b < count; ++b)
        fftw_execute_dft_r2c(p.r2c, in(b), reinterpret_cast<fftw_complex*>(out_.data() + b * out_stride_));
}

bool RealPlan::execute_direct(const double* in, double* out) noexcept {
    double* src = const_cast<double*>(in);  // r2c plans preserve their input
    if (plan_->m != 0 || fftw_alignment_of(src) != fftw_alignment_of(in_.data()) ||
        fftw_alignment_of(out) != fftw_alignment_of(out_.data()))
        return false;
    fftw_execute_dft_r2c(plan_->r2c, src, reinterpret_cast<fftw_complex*>(out));
    return true;
}

// ---------------------------------------------------------------------------
// Inverse plans: FFTW's complex-to-real transform, every length (its
// estimated plans for lengths with large prime factors are slower, not
// wrong).

struct InverseTransform {
    std::size_t n;
    fftw_plan c2r = nullptr;  // out of place, 64-byte aligned buffers, input destroyed

    explicit InverseTransform(std::size_t n_) : n(n_) {
        check_length(n);
        make_planning_thread_safe();
        Buffer<double> in(round_up(2 * (n / 2 + 1), 8), "temporary trace");
        Buffer<double> out(round_up(n, 8), "temporary trace");
        c2r = fftw_plan_dft_c2r_1d(static_cast<int>(n), reinterpret_cast<fftw_complex*>(in.data()), out.data(),
                                   FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
        if (!c2r) throw AllocFailure("FFT plan");
    }
    ~InverseTransform() { destroy(c2r); }
    InverseTransform(const InverseTransform&) = delete;
    InverseTransform& operator=(const InverseTransform&) = delete;

    std::size_t bytes() const noexcept { return 16 * n; }
};

InversePlan::InversePlan(std::size_t n, std::size_t max_lanes) : n_(n) {
    if (n == 0) throw AllocFailure("temporary trace");
    lanes_ = std::max<std::size_t>(1, std::min<std::size_t>(max_lanes, 16));
    std::size_t pairs = 0, total = 0;
    if (!checked_mul(n / 2 + 1, 2, &pairs)) throw AllocFailure("temporary trace");
    in_stride_ = round_up(pairs, 8);
    out_stride_ = round_up(n, 8);
    if (in_stride_ < pairs || out_stride_ < n) throw AllocFailure("temporary trace");
    if (!checked_mul(in_stride_, lanes_, &total)) throw AllocFailure("temporary trace");
    in_.reset(total, "temporary trace");
    if (!checked_mul(out_stride_, lanes_, &total)) throw AllocFailure("temporary trace");
    out_.reset(total, "temporary trace");
}

InversePlan::~InversePlan() = default;

void InversePlan::prepare() {
    if (!plan_) plan_ = cache<InverseTransform>().get(n_);
}

void InversePlan::execute(std::size_t count) noexcept {
    count = std::min(count, lanes_);
    for (std::size_t b = 0; b < count; ++b)
        fftw_execute_dft_c2r(plan_->c2r, reinterpret_cast<fftw_complex*>(in(b)), out_.data() + b * out_stride_);
}

// ---------------------------------------------------------------------------
// Complex backward plans: FFTW's complex transform, every length.

struct BackwardTransform {
    std::size_t n;
    fftw_plan c2c = nullptr;  // out of place, 64-byte aligned buffers, input kept

    explicit BackwardTransform(std::size_t n_) : n(n_) {
        check_length(n);
        make_planning_thread_safe();
        Buffer<double> in(round_up(2 * n, 8), "temporary trace");
        Buffer<double> out(round_up(2 * n, 8), "temporary trace");
        c2c = fftw_plan_dft_1d(static_cast<int>(n), reinterpret_cast<fftw_complex*>(in.data()),
                               reinterpret_cast<fftw_complex*>(out.data()), FFTW_BACKWARD,
                               FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
        if (!c2c) throw AllocFailure("FFT plan");
    }
    ~BackwardTransform() { destroy(c2c); }
    BackwardTransform(const BackwardTransform&) = delete;
    BackwardTransform& operator=(const BackwardTransform&) = delete;

    std::size_t bytes() const noexcept { return 16 * n; }
};

BackwardPlan::BackwardPlan(std::size_t n, std::size_t max_lanes) : n_(n) {
    if (n == 0) throw AllocFailure("temporary trace");
    lanes_ = std::max<std::size_t>(1, std::min<std::size_t>(max_lanes, 16));
    std::size_t pairs = 0, total = 0;
    if (!checked_mul(n, 2, &pairs)) throw AllocFailure("temporary trace");
    stride_ = round_up(pairs, 8);
    if (stride_ < pairs || !checked_mul(stride_, lanes_, &total)) throw AllocFailure("temporary trace");
    in_.reset(total, "temporary trace");
    out_.reset(total, "temporary trace");
}

BackwardPlan::~BackwardPlan() = default;

void BackwardPlan::prepare() {
    if (!plan_) plan_ = cache<BackwardTransform>().get(n_);
}

void BackwardPlan::execute(std::size_t count) noexcept {
    count = std::min(count, lanes_);
    for (std::size_t b = 0; b < count; ++b)
        fftw_execute_dft(plan_->c2c, reinterpret_cast<fftw_complex*>(in(b)),
                         reinterpret_cast<fftw_complex*>(out_.data() + b * stride_));
}

namespace {
// Bin 0, and the Nyquist bin of an even length n, have no imaginary part:
// write it as an exact zero, whatever the scale (an infinite scale must not
// turn it into NaN). The bins lie `stride` complex elements apart.
void zero_real_bins(double* d, std::size_t n, std::ptrdiff_t stride) {
    d[1] = 0.0;
    if (n % 2 == 0) d[2 * static_cast<std::ptrdiff_t>(n / 2) * stride + 1] = 0.0;
}

// Spectra larger than this are written past the caches (where the processor
// can): written once and read later, and skipping the caches saves reading
// the destination in first.
constexpr std::size_t kStreamBytes = std::size_t(8) << 20;

// Scales contiguous bins in place.
void finish_bins(double* d, std::size_t n, double scale) {
    const std::size_t bins = n / 2 + 1;
    if (scale != 1.0)
        for (std::size_t k = 0; k < 2 * bins; ++k) d[k] *= scale;
    zero_real_bins(d, n, 1);
}

// The bins of a length-n transform at `from`, times `scale`, to `to`,
// streamed past the caches when `stream`.
void stream_bins(const double* from, std::size_t n, double scale, double* to, bool stream) {
    const std::size_t count = 2 * (n / 2 + 1);
    std::size_t k = 0;
#if defined(__SSE2__)
    if (stream && reinterpret_cast<std::uintptr_t>(to) % 16 == 0) {
        const __m128d s = _mm_set1_pd(scale);
        for (; k + 2 <= count; k += 2) _mm_stream_pd(to + k, _mm_mul_pd(_mm_load_pd(from + k), s));
    }
#else
    (void)stream;
#endif
    for (; k < count; ++k) to[k] = from[k] * scale;
    zero_real_bins(to, n, 1);
}
}  // namespace

void store_bins(const RealPlan& plan, std::size_t lane, double scale, double* dst,
                std::ptrdiff_t stride) {
    const double* out = plan.out(lane);
    const std::size_t bins = plan.bins();
    if (stride == 1) {
        for (std::size_t k = 0; k < 2 * bins; ++k) dst[k] = out[k] * scale;
    } else {
        for (std::size_t k = 0; k < bins; ++k) {
            double* d = dst + 2 * static_cast<std::ptrdiff_t>(k) * stride;
            d[0] = out[2 * k] * scale;
            d[1] = out[2 * k + 1] * scale;
        }
    }
    zero_real_bins(dst, plan.length(), stride);
}

void rfft_axis(RealPlan& plan, const double* src, std::size_t outer, std::size_t L,
               std::size_t inner, double scale, double* dst) {
    const std::size_t bins = plan.bins(), n = plan.length(), lanes = plan.lanes();
    auto pad = [&](std::size_t count) {
        for (std::size_t b = 0; b < count; ++b) plan.padded_in(b, L);
    };
    if (inner == 1 && !plan.chirp_z()) {
        // Contiguous lines. Each is copied to the lane buffer even when it
        // could be transformed where it stands: one sequential read, which
        // the processor streams, instead of the transform's strided reads
        // from memory. A spectrum too large for the caches is transformed
        // into the lane buffer and streamed out; a smaller one is written by
        // the transform itself. The lane buffers have the alignment the plan
        // was made for, so the arithmetic, and every bit, is the same on
        // every route.
        const bool stream = outer * bins * 16 >= kStreamBytes;
        for (std::size_t o = 0; o < outer; ++o) {
            double* d = dst + 2 * o * bins;
            const double* in = plan.padded_in(0, L);
            std::memcpy(plan.in(0), src + o * L, L * sizeof(double));
            if (!stream && plan.execute_direct(in, d)) {
                finish_bins(d, n, scale);
                continue;
            }
            plan.execute(1);
            stream_bins(plan.out(0), n, scale, d, stream);
        }
#if defined(__SSE2__)
        if (stream) _mm_sfence();
#endif
        return;
    }
    if (inner == 1) {
        // Contiguous lines: a batch is `lanes` consecutive rows.
        for (std::size_t o0 = 0; o0 < outer; o0 += lanes) {
            const std::size_t count = std::min(lanes, outer - o0);
            for (std::size_t b = 0; b < count; ++b)
                std::memcpy(plan.in(b), src + (o0 + b) * L, L * sizeof(double));
            pad(count);
            plan.execute(count);
            for (std::size_t b = 0; b < count; ++b) store_bins(plan, b, scale, dst + 2 * (o0 + b) * bins, 1);
        }
        return;
    }
    for (std::size_t o = 0; o < outer; ++o) {
        const double* s = src + o * L * inner;
        double* d = dst + 2 * o * bins * inner;
        for (std::size_t q0 = 0; q0 < inner; q0 += lanes) {
            const std::size_t count = std::min(lanes, inner - q0);
            // Neighbouring lines side by side: each row is read once, a run
            // of `count` contiguous samples.
            for (std::size_t j = 0; j < L; ++j) {
                const double* row = s + j * inner + q0;
                for (std::size_t b = 0; b < count; ++b) plan.in(b)[j] = row[b];
            }
            pad(count);
            plan.execute(count);
            // Bin by bin, the lanes' values land side by side in the output.
            for (std::size_t k = 0; k < bins; ++k) {
                double* to = d + 2 * (k * inner + q0);
                for (std::size_t b = 0; b < count; ++b) {
                    const double* from = plan.out(b) + 2 * k;
                    to[2 * b] = from[0] * scale;
                    to[2 * b + 1] = from[1] * scale;
                }
            }
            for (std::size_t b = 0; b < count; ++b)
                zero_real_bins(d + 2 * (q0 + b), n, static_cast<std::ptrdiff_t>(inner));
        }
    }
}

}  // namespace molvak::fft
