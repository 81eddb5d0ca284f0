// The correlation-and-stack kernel on every instruction set against a plain
// evaluation of its definition: the windows prepared sample by sample, their
// spectra and the inverse transforms by direct sums of the discrete Fourier
// transform in long double, the correlations of unwhitened windows also as
// dot products in time. Both inverse routes are covered (an even length
// through half-length complex transforms, an odd one through real ones), and
// the windows are strided views with gaps between their rows.
#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "correlate/correlate.hpp"
#include "fft/fft.hpp"
#include "harness.hpp"
#include "sets.hpp"

namespace cr = molvak::correlate;
using cl = std::complex<long double>;

namespace {

constexpr long double kTwoPi = 6.283185307179586476925286766559L;

struct Case {
    std::size_t windows, channels, samples, nfft, lag;
    cr::Normalization normalization;
    std::size_t ram_half;
    bool taper, whiten;
    std::size_t whiten_half;
    bool pws;
};

// The windows, row by row with `gap` unused samples after every row.
struct Record {
    std::vector<double> samples;
    std::vector<const double*> window;
    std::vector<std::ptrdiff_t> stride;
};

Record make_record(const Case& c, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    const std::size_t gap = 3, row = c.samples + gap;
    Record rec;
    rec.samples.resize(c.windows * c.channels * row);
    for (double& v : rec.samples) v = normal(gen) + 0.4;  // an offset the demean removes
    // a loud channel in one window, a quiet one in another
    for (std::size_t t = 0; t < c.samples; ++t) rec.samples[(0 * c.channels + 1) * row + t] *= 40.0;
    if (c.windows > 1)
        for (std::size_t t = 0; t < c.samples; ++t) rec.samples[(1 * c.channels + 2) * row + t] *= 0.01;
    for (std::size_t w = 0; w < c.windows; ++w) {
        rec.window.push_back(rec.samples.data() + w * c.channels * row);
        rec.stride.push_back(static_cast<std::ptrdiff_t>(row));
    }
    return rec;
}

std::vector<double> taper_of(std::size_t nt) {
    std::vector<double> t(nt, 1.0);
    const std::size_t width = nt / 6;
    for (std::size_t k = 0; k < width; ++k) {
        const double v = std::pow(std::sin(0.5 * 3.141592653589793 * (k + 1.0) / (width + 1.0)), 2);
        t[k] *= v;
        t[nt - 1 - k] *= v;
    }
    return t;
}

std::vector<double> band_of(std::size_t bins) {
    std::vector<double> b(bins);
    for (std::size_t k = 0; k < bins; ++k) b[k] = k == 0 ? 0.0 : 0.5 + 0.5 * std::cos(3.0 * k / bins);
    return b;
}

// Steps 1-3 of one window of one channel, by their definitions.
std::vector<long double> prepared(const Case& c, const Record& rec, const std::vector<double>& taper,
                                  std::size_t w, std::size_t r) {
    const double* x = rec.window[w] + r * rec.stride[w];
    const std::size_t nt = c.samples;
    long double mean = 0;
    for (std::size_t t = 0; t < nt; ++t) mean += x[t];
    mean /= nt;
    std::vector<long double> u(nt);
    for (std::size_t t = 0; t < nt; ++t) u[t] = x[t] - mean;
    if (c.normalization == cr::Normalization::onebit) {
        for (auto& v : u) v = v > 0 ? 1 : v < 0 ? -1 : 0;
    } else if (c.normalization == cr::Normalization::ram) {
        std::vector<long double> out(nt);
        for (std::size_t t = 0; t < nt; ++t) {
            long double sum = 0;
            std::size_t count = 0;
            for (std::size_t q = (t > c.ram_half ? t - c.ram_half : 0); q <= std::min(nt - 1, t + c.ram_half); ++q) {
                sum += std::fabs(u[q]);
                ++count;
            }
            out[t] = sum > 0 ? u[t] / (sum / count) : 0;
        }
        u = out;
    }
    if (c.taper)
        for (std::size_t t = 0; t < nt; ++t) u[t] *= taper[t];
    return u;
}

// Steps 4-5: the one-sided spectrum, by the DFT's sum, whitened.
std::vector<cl> spectrum_of(const Case& c, const std::vector<long double>& u, const std::vector<double>& band) {
    const std::size_t n = c.nfft, bins = n / 2 + 1;
    std::vector<cl> X(bins);
    for (std::size_t k = 0; k < bins; ++k) {
        cl sum = 0;
        for (std::size_t t = 0; t < u.size(); ++t) sum += u[t] * std::polar(1.0L, -kTwoPi * ((k * t) % n) / n);
        X[k] = sum;
    }
    if (!c.whiten) return X;
    std::vector<long double> amp(bins);
    for (std::size_t k = 0; k < bins; ++k) amp[k] = std::abs(X[k]);
    if (c.whiten_half > 0) {
        std::vector<long double> mean(bins);
        for (std::size_t k = 0; k < bins; ++k) {
            long double sum = 0;
            std::size_t count = 0;
            for (std::size_t q = (k > c.whiten_half ? k - c.whiten_half : 0); q <= std::min(bins - 1, k + c.whiten_half); ++q) {
                sum += amp[q];
                ++count;
            }
            mean[k] = sum / count;
        }
        amp = mean;
    }
    for (std::size_t k = 0; k < bins; ++k) X[k] = amp[k] > 0 ? X[k] * (band[k] / amp[k]) : cl(0);
    return X;
}

// Sample n of the inverse DFT of the one-sided spectrum Z (zero above the
// Nyquist bin) over the full length, and of the Hermitian spectrum C.
cl one_sided_inverse(const std::vector<cl>& Z, std::size_t n, std::size_t N) {
    cl sum = 0;
    for (std::size_t k = 0; k < Z.size(); ++k) sum += Z[k] * std::polar(1.0L, kTwoPi * ((k * n) % N) / N);
    return sum / static_cast<long double>(N);
}

long double hermitian_inverse(const std::vector<cl>& C, std::size_t n, std::size_t N) {
    long double sum = 0;
    for (std::size_t k = 0; k < N; ++k) {
        const cl v = k < C.size() ? C[k] : std::conj(C[N - k]);
        sum += std::real(v * std::polar(1.0L, kTwoPi * ((k * n) % N) / N));
    }
    return sum / N;
}

struct Expected {
    std::vector<double> linear, phasor;
};

Expected reference(const Case& c, const Record& rec, const std::vector<std::ptrdiff_t>& sources) {
    const std::size_t S = sources.size(), NX = c.channels, lags = 2 * c.lag + 1, N = c.nfft;
    const auto taper = taper_of(c.samples);
    const auto band = band_of(N / 2 + 1);
    Expected e{std::vector<double>(S * NX * lags, 0.0), std::vector<double>(2 * S * NX * lags, 0.0)};
    std::vector<long double> lin(S * NX * lags, 0);
    for (std::size_t w = 0; w < c.windows; ++w) {
        std::vector<std::vector<cl>> X(NX);
        for (std::size_t r = 0; r < NX; ++r) X[r] = spectrum_of(c, prepared(c, rec, taper, w, r), band);
        for (std::size_t j = 0; j < S; ++j)
            for (std::size_t r = 0; r < NX; ++r) {
                std::vector<cl> C(N / 2 + 1), Z(N / 2 + 1);
                for (std::size_t k = 0; k <= N / 2; ++k) {
                    C[k] = std::conj(X[sources[j]][k]) * X[r][k];
                    Z[k] = C[k] * static_cast<long double>(k == 0 || 2 * k == N ? 1 : 2);
                }
                for (std::size_t i = 0; i < lags; ++i) {
                    const std::size_t n = (i + N - c.lag) % N;
                    const std::size_t at = (j * NX + r) * lags + i;
                    if (!c.pws) {
                        lin[at] += hermitian_inverse(C, n, N);
                        continue;
                    }
                    const cl z = one_sided_inverse(Z, n, N);
                    lin[at] += std::real(z);
                    const long double m = std::abs(z);
                    if (m > 0) {
                        e.phasor[2 * at] += static_cast<double>(std::real(z) / m);
                        e.phasor[2 * at + 1] += static_cast<double>(std::imag(z) / m);
                    }
                }
            }
    }
    for (std::size_t i = 0; i < lin.size(); ++i) e.linear[i] = static_cast<double>(lin[i]);
    return e;
}

void run_sources(const Case& c, const char* name, const std::vector<std::ptrdiff_t>& sources) {
    std::mt19937_64 gen(c.samples * 131 + c.nfft);
    const Record rec = make_record(c, gen);
    const auto taper = taper_of(c.samples);
    const auto band = band_of(c.nfft / 2 + 1);
    cr::Problem p{};
    p.window = rec.window.data();
    p.row_stride = rec.stride.data();
    p.windows = c.windows;
    p.channels = c.channels;
    p.samples = c.samples;
    p.sources = sources.data();
    p.nsources = sources.size();
    p.nfft = c.nfft;
    p.max_lag = c.lag;
    p.taper = c.taper ? taper.data() : nullptr;
    p.normalization = c.normalization;
    p.ram_half = c.ram_half;
    p.whiten = c.whiten ? band.data() : nullptr;
    p.whiten_half = c.whiten_half;
    p.pws = c.pws;
    const Expected e = reference(c, rec, sources);
    double top = 0.0;
    for (double v : e.linear) top = std::max(top, std::fabs(v));
    const std::size_t count = e.linear.size();
    std::vector<double> first_linear, first_phasor;
    for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
        cr::Workspace ws(p);
        // added to what the outputs hold: start from ones
        std::vector<double> linear(count, 1.0), phasor(c.pws ? 2 * count : 0, 1.0);
        cr::correlate_stack(p, ws, linear.data(), c.pws ? phasor.data() : nullptr, isa);
        double worst = 0.0, worst_phasor = 0.0;
        for (std::size_t i = 0; i < count; ++i) worst = std::max(worst, std::fabs(linear[i] - 1.0 - e.linear[i]) / top);
        for (std::size_t i = 0; i < phasor.size(); ++i)
            worst_phasor = std::max(worst_phasor, std::fabs(phasor[i] - 1.0 - e.phasor[i]));
        CHECK_MSG(worst <= 1e-12, name << " on " << molvak::simd::name(isa) << ": " << worst);
        CHECK_MSG(worst_phasor <= 1e-10, name << " on " << molvak::simd::name(isa) << ": phasors " << worst_phasor);
        // outputs that hold nothing yet (here NaN), zeroed by the kernel
        {
            cr::Problem q = p;
            q.fresh = true;
            cr::Workspace wq(q);
            std::vector<double> fresh(count, std::nan("")), fresh_phasor(phasor.size(), std::nan(""));
            cr::correlate_stack(q, wq, fresh.data(), c.pws ? fresh_phasor.data() : nullptr, isa);
            // (a NaN left anywhere makes the worst NaN, and the check fail)
            auto worse = [](double& worst, double d) { worst = d <= worst ? worst : d; };
            double off = 0.0, off_phasor = 0.0;
            for (std::size_t i = 0; i < count; ++i) worse(off, std::fabs(fresh[i] - e.linear[i]) / top);
            for (std::size_t i = 0; i < fresh_phasor.size(); ++i)
                worse(off_phasor, std::fabs(fresh_phasor[i] - e.phasor[i]));
            CHECK_MSG(off <= 1e-12 && off_phasor <= 1e-10,
                      name << " on " << molvak::simd::name(isa) << ", fresh outputs: " << off << ", " << off_phasor);
        }
        // every set computes the same formulas, rounded the same way
        if (first_linear.empty()) {
            first_linear = linear;
            first_phasor = phasor;
        } else {
            CHECK_MSG(linear == first_linear && phasor == first_phasor, name << " differs on " << molvak::simd::name(isa));
        }
    }
}

// Several sources (a window's spectrum whitened once and used by each), and
// one (whitened as it is correlated).
void run(const Case& c, const char* name) {
    run_sources(c, name, {2, 0, static_cast<std::ptrdiff_t>(c.channels - 1), 2});
    run_sources(c, name, {2});
}

}  // namespace

TEST(correlate_stack_linear_matches_the_definition) {
    // odd length (real inverse) and even lengths (half-length complex
    // inverse), every normalisation, with and without the taper and the
    // whitening (plain, and by a running mean of the amplitude)
    run({3, 5, 23, 45, 22, cr::Normalization::none, 0, false, false, 0, false}, "plain, odd length");
    run({3, 5, 24, 48, 9, cr::Normalization::onebit, 0, true, false, 0, false}, "one-bit, tapered");
    run({2, 6, 31, 64, 30, cr::Normalization::ram, 3, true, true, 0, false}, "ram, whitened");
    run({4, 4, 20, 40, 0, cr::Normalization::none, 0, true, true, 2, false}, "whitened by a running mean, lag 0");
    run({2, 5, 25, 75, 12, cr::Normalization::ram, 2, false, true, 1, false}, "ram, whitened, odd length");
}

TEST(correlate_stack_pws_matches_the_definition) {
    run({3, 5, 23, 45, 22, cr::Normalization::none, 0, false, false, 0, true}, "plain, odd length");
    run({3, 5, 24, 48, 9, cr::Normalization::onebit, 0, true, true, 0, true}, "one-bit, whitened");
    run({2, 6, 31, 62, 17, cr::Normalization::ram, 3, true, true, 2, true}, "ram, running-mean whitening");
    run({4, 4, 20, 40, 0, cr::Normalization::none, 0, true, false, 0, true}, "lag 0");
}

TEST(correlate_stack_of_plain_windows_equals_dot_products_in_time) {
    // Without whitening the stack is sum_w sum_t u_s(t) u_r(t + tau) of the
    // demeaned windows, whatever the transform length.
    const Case c{3, 4, 40, 81, 39, cr::Normalization::none, 0, false, false, 0, false};
    std::mt19937_64 gen(9);
    const Record rec = make_record(c, gen);
    const std::vector<std::ptrdiff_t> sources = {3, 1};
    for (std::size_t nfft : {81u, 90u, 128u}) {
        cr::Problem p{};
        p.window = rec.window.data();
        p.row_stride = rec.stride.data();
        p.windows = c.windows;
        p.channels = c.channels;
        p.samples = c.samples;
        p.sources = sources.data();
        p.nsources = sources.size();
        p.nfft = nfft;
        p.max_lag = c.lag;
        p.normalization = cr::Normalization::none;
        const std::size_t lags = 2 * c.lag + 1;
        std::vector<double> expected(sources.size() * c.channels * lags, 0.0);
        double top = 0.0;
        for (std::size_t w = 0; w < c.windows; ++w)
            for (std::size_t j = 0; j < sources.size(); ++j)
                for (std::size_t r = 0; r < c.channels; ++r) {
                    const auto us = prepared(c, rec, {}, w, static_cast<std::size_t>(sources[j]));
                    const auto ur = prepared(c, rec, {}, w, r);
                    for (std::size_t i = 0; i < lags; ++i) {
                        const long tau = static_cast<long>(i) - static_cast<long>(c.lag);
                        long double sum = 0;
                        for (long t = 0; t < static_cast<long>(c.samples); ++t)
                            if (t + tau >= 0 && t + tau < static_cast<long>(c.samples)) sum += us[t] * ur[t + tau];
                        double& v = expected[(j * c.channels + r) * lags + i];
                        v += static_cast<double>(sum);
                        top = std::max(top, std::fabs(v));
                    }
                }
        for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
            cr::Workspace ws(p);
            std::vector<double> linear(expected.size(), 0.0);
            cr::correlate_stack(p, ws, linear.data(), nullptr, isa);
            double worst = 0.0;
            for (std::size_t i = 0; i < linear.size(); ++i) worst = std::max(worst, std::fabs(linear[i] - expected[i]));
            CHECK_MSG(worst <= 1e-12 * top, "nfft " << nfft << " on " << molvak::simd::name(isa) << ": " << worst / top);
        }
    }
}

TEST(correlate_stack_of_no_window_is_zero) {
    // fresh outputs are zeroed even when there is nothing to add
    const std::vector<std::ptrdiff_t> sources = {1};
    for (bool pws : {false, true}) {
        cr::Problem p{};
        p.windows = 0;
        p.channels = 3;
        p.samples = 10;
        p.sources = sources.data();
        p.nsources = 1;
        p.nfft = 20;
        p.max_lag = 4;
        p.pws = pws;
        p.fresh = true;
        cr::Workspace ws(p);
        std::vector<double> linear(3 * 9, 7.0), phasor(2 * 3 * 9, 7.0);
        cr::correlate_stack(p, ws, linear.data(), pws ? phasor.data() : nullptr);
        bool zero = std::all_of(linear.begin(), linear.end(), [](double v) { return v == 0.0; });
        if (pws) zero = zero && std::all_of(phasor.begin(), phasor.end(), [](double v) { return v == 0.0; });
        CHECK_MSG(zero, (pws ? "pws" : "linear") << ": outputs not zeroed");
    }
}

TEST(backward_plan_is_the_inverse_dft) {
    std::mt19937_64 gen(4);
    std::normal_distribution<double> normal;
    for (std::size_t n : {1u, 2u, 9u, 22u, 101u, 2500u}) {
        molvak::fft::BackwardPlan plan(n, 2);
        plan.prepare();
        for (std::size_t k = 0; k < 2 * n; ++k) {
            plan.in(0)[k] = normal(gen);
            plan.in(1)[k] = normal(gen);
        }
        plan.execute(2);
        double worst = 0.0;
        for (std::size_t lane = 0; lane < 2; ++lane) {
            const double* in = plan.in(lane);
            for (std::size_t j = 0; j < n; j += (n > 200 ? 37 : 1)) {
                cl sum = 0;
                for (std::size_t k = 0; k < n; ++k)
                    sum += cl(in[2 * k], in[2 * k + 1]) * std::polar(1.0L, kTwoPi * ((j * k) % n) / n);
                const cl got(plan.out(lane)[2 * j], plan.out(lane)[2 * j + 1]);
                worst = std::max(worst, static_cast<double>(std::abs(got - sum) / std::sqrt(static_cast<long double>(n))));
            }
        }
        CHECK_MSG(worst <= 1e-13, "n " << n << ": " << worst);
    }
}
