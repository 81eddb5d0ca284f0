// The real FFT layer against a direct DFT with compensated sums, over lengths with
// small and large prime factors (the chirp-z route) and both line layouts.
#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "fft/fft.hpp"
#include "harness.hpp"

namespace fft = molvak::fft;

namespace {

// Neumaier's compensated sum: within a few units in the last place of the
// sum of magnitudes, whatever the number of terms.
struct Sum {
    double s = 0.0, c = 0.0;
    void add(double v) {
        const double t = s + v;
        c += std::fabs(s) >= std::fabs(v) ? (s - t) + v : (v - t) + s;
        s = t;
    }
    double value() const { return s + c; }
};

// Bins 0 .. n/2 of the forward DFT of x zero-padded to n, evaluated directly
// with compensated sums (double only: long double is slow where it is a
// software type, as on 64-bit ARM).
std::vector<double> direct_dft(const double* x, std::size_t stride, std::size_t length, std::size_t n) {
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<double> cosine(n), sine(n);
    for (std::size_t m = 0; m < n; ++m) {
        const double angle = static_cast<double>(-2 * pi * static_cast<long double>(m) / n);
        cosine[m] = std::cos(angle);
        sine[m] = std::sin(angle);
    }
    std::vector<double> out(2 * (n / 2 + 1));
    for (std::size_t k = 0; k <= n / 2; ++k) {
        Sum re, im;
        for (std::size_t j = 0, m = 0; j < length; ++j, m = (m + k) % n) {
            re.add(x[j * stride] * cosine[m]);
            im.add(x[j * stride] * sine[m]);
        }
        out[2 * k] = re.value();
        out[2 * k + 1] = im.value();
    }
    return out;
}

}  // namespace

TEST(forward_transform_matches_a_direct_dft) {
    std::mt19937_64 gen(1);
    std::normal_distribution<double> normal;
    for (std::size_t length : {1u, 2u, 3u, 5u, 8u, 17u, 64u, 97u, 100u, 243u, 1009u, 2000u, 7919u}) {
        // long lines once, short ones padded and laid out across an axis too
        const bool long_line = length > 1000;
        for (std::size_t n : {length, length + 13, 2 * length + 1}) {
            if (long_line && n != length) continue;
            for (std::size_t inner : {1u, 3u}) {
                if (long_line && inner != 1) continue;
                const std::size_t outer = 2, bins = n / 2 + 1;
                std::vector<double> x(outer * length * inner), y(2 * outer * bins * inner);
                for (double& v : x) v = normal(gen);
                fft::RealPlan plan(n, inner > 1 ? 16 : 2);
                plan.prepare();
                fft::rfft_axis(plan, x.data(), outer, length, inner, 0.5, y.data());
                double worst = 0.0;
                for (std::size_t o = 0; o < outer; ++o)
                    for (std::size_t q = 0; q < inner; ++q) {
                        const auto ref = direct_dft(x.data() + o * length * inner + q, inner, length, n);
                        double norm = 0;
                        for (std::size_t j = 0; j < length; ++j) norm += std::fabs(x[o * length * inner + j * inner + q]);
                        for (std::size_t k = 0; k < bins; ++k) {
                            const double* got = y.data() + 2 * ((o * bins + k) * inner + q);
                            const double err =
                                std::max(std::fabs(got[0] - 0.5 * ref[2 * k]), std::fabs(got[1] - 0.5 * ref[2 * k + 1])) / norm;
                            worst = std::max(worst, err);
                        }
                        // Bin 0 and the Nyquist bin of an even length are real, exactly.
                        CHECK(y[2 * (o * bins * inner + q) + 1] == 0.0);
                        if (n % 2 == 0) CHECK(y[2 * ((o * bins + n / 2) * inner + q) + 1] == 0.0);
                    }
                CHECK_MSG(worst <= 1e-14, "length " << length << " n " << n << " inner " << inner << ": " << worst);
            }
        }
    }
}

TEST(inverse_transform_undoes_the_forward_one) {
    std::mt19937_64 gen(2);
    std::normal_distribution<double> normal;
    for (std::size_t n : {1u, 2u, 7u, 16u, 97u, 1000u, 1009u, 4096u}) {
        std::vector<double> x(n);
        for (double& v : x) v = normal(gen);
        fft::RealPlan forward(n, 2);
        forward.prepare();
        std::copy(x.begin(), x.end(), forward.in(0));
        forward.execute(1);
        fft::InversePlan inverse(n, 3);
        inverse.prepare();
        for (std::size_t lane = 0; lane < 3; ++lane) {
            // lane l holds the spectrum times l + 1
            for (std::size_t k = 0; k < 2 * forward.bins(); ++k) inverse.in(lane)[k] = forward.out(0)[k] * (lane + 1.0);
        }
        inverse.execute(3);
        double worst = 0.0, norm = 0.0;
        for (double v : x) norm = std::max(norm, std::fabs(v));
        for (std::size_t lane = 0; lane < 3; ++lane)
            for (std::size_t j = 0; j < n; ++j)
                worst = std::max(worst, std::fabs(inverse.out(lane)[j] / (n * (lane + 1.0)) - x[j]) / norm);
        CHECK_MSG(worst <= 1e-13, "n " << n << ": " << worst);
    }
}

TEST(plans_are_shared_and_the_cache_is_bounded) {
    // Two calls of one length share its plan: their outputs are the same
    // bits as the first, and a plan held by a call survives eviction.
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal;
    const std::size_t n = 1013;  // a prime: the chirp-z route
    std::vector<double> x(n), first(2 * (n / 2 + 1));
    for (double& v : x) v = normal(gen);
    fft::RealPlan held(n, 2);
    held.prepare();
    std::copy(x.begin(), x.end(), held.in(0));
    held.execute(1);
    std::copy(held.out(0), held.out(0) + first.size(), first.begin());
    // Far more lengths than the cache keeps, each planned once.
    for (std::size_t k = 0; k < 2 * fft::kCacheEntries; ++k) {
        fft::RealPlan other(64 + k, 2);
        other.prepare();
        other.execute(1);
    }
    held.execute(1);
    CHECK(std::equal(first.begin(), first.end(), held.out(0)));
    fft::RealPlan again(n, 2);
    again.prepare();
    std::copy(x.begin(), x.end(), again.in(0));
    again.execute(1);
    CHECK(std::equal(first.begin(), first.end(), again.out(0)));
}

TEST(planning_from_many_threads) {
    // Threads plan and transform lengths of their own and lengths they
    // share, all at once; every spectrum equals the one made alone.
    std::vector<std::size_t> lengths;
    for (std::size_t k = 0; k < 12; ++k) lengths.push_back(2500 + 37 * k + (k % 3 == 0 ? 1 : 0));
    std::vector<double> x(2000);
    std::mt19937_64 gen(4);
    std::normal_distribution<double> normal;
    for (double& v : x) v = normal(gen);
    auto spectrum = [&](std::size_t n) {
        fft::RealPlan plan(n, 2);
        plan.prepare();
        std::copy(x.begin(), x.begin() + std::min(n, x.size()), plan.padded_in(0, std::min(n, x.size())));
        plan.execute(1);
        return std::vector<double>(plan.out(0), plan.out(0) + 2 * plan.bins());
    };
    std::vector<std::vector<std::vector<double>>> got(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t k = 0; k < lengths.size(); ++k)
                got[t].push_back(spectrum(lengths[(k + 3 * t) % lengths.size()]));
        });
    for (auto& thread : threads) thread.join();
    // The same lengths planned again, one thread, after the cache has
    // dropped the plans made above.
    for (std::size_t k = 0; k < 2 * fft::kCacheEntries; ++k) spectrum(64 + k);
    std::vector<std::vector<double>> alone;
    for (std::size_t n : lengths) alone.push_back(spectrum(n));
    for (std::size_t t = 0; t < 4; ++t)
        for (std::size_t k = 0; k < lengths.size(); ++k)
            CHECK_MSG(got[t][k] == alone[(k + 3 * t) % lengths.size()], "thread " << t << " length " << k);
}
