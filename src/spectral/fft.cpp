#include "spectral/fft.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace molvak::fft {

namespace {
// FFTW's planner keeps global state; plans may be made from several threads
// at once because the transforms run without the interpreter lock.
std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}
}  // namespace

RealPlan::RealPlan(std::size_t n) : n_(n) {
    std::size_t pairs = 0;
    if (n == 0 || !checked_mul(n / 2 + 1, 2, &pairs)) throw AllocFailure("temporary trace");
    in_.reset(n, "temporary trace");
    out_.reset(pairs, "temporary trace");
}

void RealPlan::prepare() {
    if (plan_) return;
    const std::size_t n = n_;
    if (n > static_cast<std::size_t>(INT32_MAX)) throw AllocFailure("FFT plan");
    {
        std::lock_guard<std::mutex> lock(planner_mutex());
        plan_ = fftw_plan_dft_r2c_1d(static_cast<int>(n), in_.data(),
                                     reinterpret_cast<fftw_complex*>(out_.data()),
                                     FFTW_ESTIMATE);
    }
    if (!plan_) throw AllocFailure("FFT plan");
}

RealPlan::~RealPlan() {
    if (plan_) {
        std::lock_guard<std::mutex> lock(planner_mutex());
        fftw_destroy_plan(static_cast<fftw_plan>(plan_));
    }
}

void RealPlan::execute() noexcept { fftw_execute(static_cast<fftw_plan>(plan_)); }

void transform_line(RealPlan& plan, const double* src, std::ptrdiff_t stride, std::size_t count) {
    double* in = plan.in();
    const std::size_t n = plan.length();
    if (stride == 1) {
        std::memcpy(in, src, count * sizeof(double));
    } else {
        for (std::size_t j = 0; j < count; ++j) in[j] = src[static_cast<std::ptrdiff_t>(j) * stride];
    }
    std::fill(in + count, in + n, 0.0);
    plan.execute();
}

void store_bins(const RealPlan& plan, double scale, double* dst, std::ptrdiff_t stride) {
    const double* out = plan.out();
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
    // Bins without an imaginary part carry an exact zero there, whatever the
    // scale (an infinite scale must not turn it into NaN).
    dst[1] = 0.0;
    if (plan.length() % 2 == 0) dst[2 * static_cast<std::ptrdiff_t>(bins - 1) * stride + 1] = 0.0;
}

void rfft_axis(RealPlan& plan, const double* src, std::size_t outer, std::size_t L,
               std::size_t inner, double scale, double* dst) {
    const std::size_t bins = plan.bins();
    for (std::size_t o = 0; o < outer; ++o) {
        const double* s = src + o * L * inner;
        double* d = dst + 2 * o * bins * inner;
        for (std::size_t q = 0; q < inner; ++q) {
            transform_line(plan, s + q, static_cast<std::ptrdiff_t>(inner), L);
            store_bins(plan, scale, d + 2 * q, static_cast<std::ptrdiff_t>(inner));
        }
    }
}

}  // namespace molvak::fft
