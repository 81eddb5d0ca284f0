// The dispersion kernel against closed-form results solved here in long
// double: the Rayleigh velocity of a half-space (the cubic in (c / Vs)^2) and
// the Love modes of a layer over a half-space (tan(omega h eta_1) =
// mu_2 nu_2 / (mu_1 eta_1)), their group velocities by differences of the
// roots, the independence of the results from the number of threads, and the
// number of evaluations of the dispersion function a tracked curve costs.
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "dispersion/dispersion.hpp"
#include "harness.hpp"
#include "sets.hpp"

namespace dp = molvak::dispersion;
using ld = long double;

namespace {

constexpr ld kPi = 3.141592653589793238462643383279503L;

template <class F>
ld bisect(F&& f, ld lo, ld hi) {
    const bool neg_lo = f(lo) < 0;
    for (int i = 0; i < 200; ++i) {
        const ld mid = 0.5L * (lo + hi);
        ((f(mid) < 0) == neg_lo ? lo : hi) = mid;
    }
    return 0.5L * (lo + hi);
}

// The Love mode n of a layer (h, b1, rho1) over a half-space (b2, rho2):
// the root in phi = omega h eta_1 in (n pi, n pi + pi / 2), NaN where the
// branch has none below b2.
ld love_root(ld h, ld b1, ld r1, ld b2, ld r2, ld f, int n) {
    const ld omega = 2 * kPi * f;
    const ld mu1 = r1 * b1 * b1, mu2 = r2 * b2 * b2;
    auto slowness2 = [&](ld phi) { return 1 / (b1 * b1) - (phi / (omega * h)) * (phi / (omega * h)); };
    auto g = [&](ld phi) {
        const ld nu2 = std::sqrt(std::max(0.0L, slowness2(phi) - 1 / (b2 * b2)));
        return std::tan(phi) - mu2 * nu2 * (omega * h) / (mu1 * phi);
    };
    const ld lo = n * kPi + 1e-12L;
    ld hi = n * kPi + kPi / 2 - 1e-12L;
    const ld top = std::sqrt(std::max(0.0L, 1 / (b1 * b1) - 1 / (b2 * b2))) * omega * h;  // phi at c = b2
    if (top <= lo) return NAN;
    if (top < hi) {
        hi = top;
        if (g(hi) < 0) return NAN;
    }
    const ld phi = bisect(g, lo, hi);
    return 1 / std::sqrt(slowness2(phi));
}

}  // namespace

TEST(dispersion_half_space_rayleigh_ratio) {
    for (double nu : {-0.5, 0.1, 0.25, 1.0 / 3.0, 0.45, 0.49}) {
        const double vs = 250.0, vp = vs * std::sqrt((2 - 2 * nu) / (1 - 2 * nu)), rho = 1800.0;
        const ld gam = ld(vs) * vs / (ld(vp) * vp);
        // x^3 - 8 x^2 + (24 - 16 gamma) x - 16 (1 - gamma) = 0, x = (c / Vs)^2 in (0, 1)
        const ld x = bisect([&](ld v) { return ((v - 8) * v + 24 - 16 * gam) * v - 16 * (1 - gam); }, 0.0L, 1.0L);
        const double freqs[] = {0.5, 5.0, 50.0};
        double out[3];
        dp::Models m{nullptr, &vs, &vp, &rho, 1, 1};
        dp::Request rq{freqs, 3, 0, dp::Wave::rayleigh, false};
        dp::curves(m, rq, out, 1);
        for (double c : out)
            CHECK_MSG(std::fabs(c / vs - double(std::sqrt(x))) < 1e-12, "nu " << nu << ": " << c / vs);
        rq.mode = 1;  // a half-space has one Rayleigh mode
        dp::curves(m, rq, out, 1);
        for (double c : out) CHECK(std::isnan(c));
        rq.mode = 0;
        rq.wave = dp::Wave::love;  // and no Love wave
        dp::curves(m, rq, out, 1);
        for (double c : out) CHECK(std::isnan(c));
    }
}

TEST(dispersion_love_layer_over_half_space) {
    const double h = 12.0, vs[2] = {180.0, 900.0}, vp[2] = {400.0, 1800.0}, rho[2] = {1700.0, 2100.0};
    std::vector<double> freqs;
    for (int j = 0; j < 40; ++j) freqs.push_back(2.0 + 1.5 * j);
    const std::size_t F = freqs.size();
    std::vector<double> phase(F), group(F);
    dp::Models m{&h, vs, vp, rho, 1, 2};
    for (int n = 0; n < 3; ++n) {
        dp::Request rq{freqs.data(), F, std::size_t(n), dp::Wave::love, false};
        dp::curves(m, rq, phase.data(), 1);
        rq.group = true;
        dp::curves(m, rq, group.data(), 1);
        for (std::size_t j = 0; j < F; ++j) {
            const ld f = freqs[j];
            const ld c = love_root(h, vs[0], rho[0], vs[1], rho[1], f, n);
            if (std::isnan(double(c))) {
                CHECK_MSG(std::isnan(phase[j]), "mode " << n << " at " << freqs[j] << " Hz: " << phase[j]);
                continue;
            }
            CHECK_MSG(std::fabs(phase[j] / double(c) - 1) < 1e-11,
                      "mode " << n << " at " << freqs[j] << " Hz: " << phase[j] << " against " << double(c));
            // U = d omega / dk from roots at f (1 +- 1e-6)
            const ld d = 1e-6L * f;
            const ld cm = love_root(h, vs[0], rho[0], vs[1], rho[1], f - d, n);
            const ld cp = love_root(h, vs[0], rho[0], vs[1], rho[1], f + d, n);
            if (std::isnan(double(cm)) || std::isnan(double(cp))) continue;
            const ld u = (2 * d) / ((f + d) / cp - (f - d) / cm);
            CHECK_MSG(std::fabs(group[j] / double(u) - 1) < 1e-7,
                      "group, mode " << n << " at " << freqs[j] << " Hz: " << group[j] / double(u) - 1);
        }
    }
}

TEST(dispersion_threads_do_not_change_results) {
    const std::size_t M = 40, L = 6, F = 30;
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> h(M * (L - 1)), vs(M * L), vp(M * L), rho(M * L), freqs(F);
    for (std::size_t i = 0; i < M * L; ++i) {
        vs[i] = 100.0 + 900.0 * u(gen);
        vp[i] = vs[i] * (1.6 + 2.0 * u(gen));
        rho[i] = 1600.0 + 600.0 * u(gen);
    }
    for (double& v : h) v = 1.0 + 15.0 * u(gen);
    for (std::size_t j = 0; j < F; ++j) freqs[j] = 60.0 - 1.9 * j;  // descending
    dp::Models m{h.data(), vs.data(), vp.data(), rho.data(), M, L};
    for (std::size_t mode : {std::size_t(0), std::size_t(2)}) {
        dp::Request rq{freqs.data(), F, mode, dp::Wave::rayleigh, false};
        std::vector<double> one(M * F), three(M * F);
        dp::curves(m, rq, one.data(), 1);
        dp::curves(m, rq, three.data(), 3);
        bool same = true;
        for (std::size_t i = 0; i < M * F; ++i)
            same = same && (one[i] == three[i] || (std::isnan(one[i]) && std::isnan(three[i])));
        CHECK(same);
    }
}

TEST(dispersion_tracked_curve_costs_few_evaluations) {
    // A 10-layer profile, 60 frequencies tracked in one run: the scan at the
    // first frequency, a handful of evaluations for each of the others and the
    // mode count below every other root.
    const std::size_t L = 10, F = 60;
    std::vector<double> h(L - 1, 3.0), vs(L), vp(L), rho(L, 1900.0), freqs(F);
    for (std::size_t i = 0; i < L; ++i) {
        vs[i] = 150.0 + 550.0 * double(i) / double(L - 1);
        vp[i] = 1.87 * vs[i];
    }
    for (std::size_t j = 0; j < F; ++j) freqs[j] = 3.0 + 57.0 * double(j) / double(F - 1);
    dp::Models m{h.data(), vs.data(), vp.data(), rho.data(), 1, L};
    std::vector<double> out(F);
    std::size_t evaluations = 0;
    dp::Request rq{freqs.data(), F, 0, dp::Wave::rayleigh, false, &evaluations};
    dp::curves(m, rq, out.data(), 1, molvak::simd::Isa::scalar);  // one lane: the frequencies in one run
    for (double c : out) CHECK(std::isfinite(c));
    CHECK_MSG(evaluations < 10 * F, evaluations << " evaluations for " << F << " frequencies");
}

TEST(dispersion_every_set_agrees) {
    // Models solved together in the lanes of each set against the portable
    // path: the same modes, the roots within Brent's tolerance.
    const std::size_t M = 21, L = 7, F = 40;
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> h(M * (L - 1)), vs(M * L), vp(M * L), rho(M * L), freqs(F);
    for (std::size_t i = 0; i < M * L; ++i) {
        vs[i] = 100.0 + 900.0 * u(gen);
        vp[i] = vs[i] * (1.6 + 2.5 * u(gen));
        rho[i] = 1500.0 + 700.0 * u(gen);
    }
    for (double& v : h) v = 1.0 + 12.0 * u(gen);
    for (std::size_t j = 0; j < F; ++j) freqs[j] = 2.0 * std::pow(40.0, double(j) / double(F - 1));
    dp::Models m{h.data(), vs.data(), vp.data(), rho.data(), M, L};
    for (dp::Wave wave : {dp::Wave::rayleigh, dp::Wave::love})
        for (std::size_t mode : {std::size_t(0), std::size_t(1), std::size_t(3)})
            for (bool group : {false, true}) {
                dp::Request rq{freqs.data(), F, mode, wave, group};
                std::vector<double> ref(M * F), got(M * F);
                dp::curves(m, rq, ref.data(), 1, molvak::simd::Isa::scalar);
                for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
                    dp::curves(m, rq, got.data(), 2, isa);
                    int bad = 0;
                    for (std::size_t i = 0; i < M * F; ++i) {
                        const bool same = std::isnan(ref[i]) ? std::isnan(got[i])
                                                             : std::fabs(got[i] / ref[i] - 1) < (group ? 1e-6 : 1e-10);
                        bad += same ? 0 : 1;
                    }
                    CHECK_MSG(bad == 0, bad << " values differ on " << molvak::simd::name(isa) << ", mode " << mode
                                            << (group ? " group" : " phase"));
                    // one model alone: its frequencies shared among the lanes
                    dp::Models one{h.data(), vs.data(), vp.data(), rho.data(), 1, L};
                    dp::curves(one, rq, got.data(), 1, isa);
                    bad = 0;
                    for (std::size_t i = 0; i < F; ++i) {
                        const bool same = std::isnan(ref[i]) ? std::isnan(got[i])
                                                             : std::fabs(got[i] / ref[i] - 1) < (group ? 1e-6 : 1e-10);
                        bad += same ? 0 : 1;
                    }
                    CHECK_MSG(bad == 0, bad << " values of one model differ on " << molvak::simd::name(isa) << ", mode " << mode << (group ? " group" : " phase") << (wave == dp::Wave::love ? " love" : " rayleigh"));
                }
            }
}
