// The real FFT layer against a direct DFT in long double, over lengths with
// small and large prime factors (the chirp-z route) and both line layouts.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "fft/fft.hpp"
#include "harness.hpp"

namespace fft = molvak::fft;

namespace {

// Bins 0 .. n/2 of the forward DFT of x zero-padded to n, in long double.
std::vector<long double> direct_dft(const double* x, std::size_t stride, std::size_t length, std::size_t n) {
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<long double> cosine(n), sine(n);
    for (std::size_t m = 0; m < n; ++m) {
        cosine[m] = std::cos(-2 * pi * static_cast<long double>(m) / n);
        sine[m] = std::sin(-2 * pi * static_cast<long double>(m) / n);
    }
    std::vector<long double> out(2 * (n / 2 + 1));
    for (std::size_t k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (std::size_t j = 0, m = 0; j < length; ++j, m = (m + k) % n) {
            re += x[j * stride] * cosine[m];
            im += x[j * stride] * sine[m];
        }
        out[2 * k] = re;
        out[2 * k + 1] = im;
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
                        long double norm = 0;
                        for (std::size_t j = 0; j < length; ++j) norm += std::fabs(x[o * length * inner + j * inner + q]);
                        for (std::size_t k = 0; k < bins; ++k) {
                            const double* got = y.data() + 2 * ((o * bins + k) * inner + q);
                            const double err = static_cast<double>(
                                std::max(std::fabs(got[0] - 0.5L * ref[2 * k]), std::fabs(got[1] - 0.5L * ref[2 * k + 1])) / norm);
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
