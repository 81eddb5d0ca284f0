// The tau-p columns: every instruction set against the definition (linear
// interpolation between samples, zeros around the trace, the trapezoid rule
// over offset in trace order), bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "harness.hpp"
#include "radon/radon.hpp"
#include "sets.hpp"

namespace radon = molvak::radon;

namespace {

// The amplitude of trace s at the time t, from the definition: the line
// through samples m = trunc(h) and m + 1 (h = (t - t0) / dt), zero outside.
double amplitude(const double* s, std::int64_t nt, double t, double t0, double dt) {
    const double h = (t - t0) / dt;
    if (std::isnan(h) || h <= -2.0 || h >= static_cast<double>(nt)) return 0.0;
    const auto m = static_cast<std::int64_t>(h);
    const double below = m >= 0 ? s[m] : 0.0, above = m + 1 < nt ? s[m + 1] : 0.0;
    return (above - below) * std::copysign(h - static_cast<double>(m), h) + below;
}

}  // namespace

TEST(radon_columns_match_the_definition_on_every_set) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> offset(-20.0, 80.0), slow(-0.02, 0.02);
    for (auto [nx, nt] : {std::pair<std::size_t, std::size_t>{2, 5}, {7, 64}, {24, 301}, {3, 1}}) {
        std::vector<double> data(nx * nt), x(nx);
        for (double& v : data) v = normal(gen);
        for (double& v : x) v = offset(gen);
        std::vector<double> tau;
        for (int j = 0; j < 37; ++j) tau.push_back(-0.05 + 0.45 * j / 36.0);
        tau.insert(tau.end(), {NAN, INFINITY, -INFINITY, 1e300});
        const double dt = 0.004, t0 = -0.02;
        const radon::Gather g{data.data(), nx, nt, x.data()};
        std::vector<double> sum(tau.size()), prev(tau.size()), ref(tau.size());
        for (int law = 0; law < 3; ++law) {
            const double p = slow(gen);
            for (std::size_t j = 0; j < tau.size(); ++j) {
                double s = 0.0, before = 0.0;
                for (std::size_t i = 0; i < nx; ++i) {
                    const double c = law == 0 ? x[i] * p : law == 1 ? (x[i] * x[i]) * p : (x[i] * p) * (x[i] * p);
                    const double t = law == 2 ? std::sqrt(c + tau[j] * tau[j]) : c + tau[j];
                    const double a = amplitude(data.data() + i * nt, static_cast<std::int64_t>(nt), t, t0, dt);
                    if (i > 0) s = ((x[i] - x[i - 1]) * (before + a)) * 0.5 + s;
                    before = a;
                }
                ref[j] = s;
            }
            for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
                radon::column(g, static_cast<radon::Moveout>(law), p, tau.data(), tau.size(), dt, t0,
                              sum.data(), prev.data(), isa);
                for (std::size_t j = 0; j < tau.size(); ++j)
                    CHECK_MSG(sum[j] == ref[j] || (std::isnan(sum[j]) && std::isnan(ref[j])),
                              molvak::simd::name(isa) << " law " << law << " nt " << nt << " tau " << tau[j]);
            }
        }
    }
}

// Intercept times one sample apart take the contiguous path, which regroups
// the trapezoid sum by trace where every sample is finite: every instruction
// set gives the same bits, whichever of its blocks an element falls in
// (before the trace, across either end, inside), and the values agree with
// the definition to rounding. A NaN sample keeps the definition's step.
TEST(radon_uniform_times_agree_across_sets) {
    std::mt19937_64 gen(5);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> offset(-20.0, 80.0);
    const std::size_t nx = 11, nt = 97, np = 23;
    std::vector<double> data(nx * nt), x(nx), p(np);
    for (double& v : data) v = normal(gen);
    for (double& v : x) v = offset(gen);
    for (std::size_t k = 0; k < np; ++k) p[k] = -0.02 + 0.04 * static_cast<double>(k) / (np - 1);
    const double dt = 0.004, t0 = 0.1;
    for (bool nan : {false, true}) {
        if (nan) data[3 * nt + 40] = NAN;
        const radon::Gather g{data.data(), nx, nt, x.data()};
        for (int shift : {-9, 0, 5}) {
            std::vector<double> tau(nt + 40);
            for (std::size_t j = 0; j < tau.size(); ++j) tau[j] = t0 + (shift + static_cast<double>(j)) * dt;
            std::vector<double> ref(tau.size() * np), out(tau.size() * np), bits;
            double scale = 0.0, worst = 0.0;
            for (std::size_t j = 0; j < tau.size(); ++j)
                for (std::size_t k = 0; k < np; ++k) {
                    double s = 0.0, before = 0.0;
                    for (std::size_t i = 0; i < nx; ++i) {
                        const double a = amplitude(data.data() + i * nt, static_cast<std::int64_t>(nt),
                                                   x[i] * p[k] + tau[j], t0, dt);
                        if (i > 0) s = ((x[i] - x[i - 1]) * (before + a)) * 0.5 + s;
                        before = a;
                    }
                    ref[j * np + k] = s;
                    if (std::isfinite(s)) scale = std::max(scale, std::fabs(s));
                }
            for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
                radon::panel(g, radon::linear, p.data(), np, tau.data(), tau.size(), dt, t0, out.data(), isa);
                for (std::size_t e = 0; e < out.size(); ++e) {
                    if (std::isnan(ref[e]))
                        CHECK_MSG(std::isnan(out[e]), molvak::simd::name(isa) << " element " << e);
                    else
                        worst = std::max(worst, std::fabs(out[e] - ref[e]));
                    if (!bits.empty())
                        CHECK_MSG(out[e] == bits[e] || (std::isnan(out[e]) && std::isnan(bits[e])),
                                  molvak::simd::name(isa) << " element " << e << " differs from the first set");
                }
                if (bits.empty()) bits = out;
            }
            CHECK_MSG(worst <= 1e-12 * scale, "shift " << shift << ": " << worst / scale);
        }
    }
}
