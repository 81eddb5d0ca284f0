// The beamforming kernel's steering phasors and beam, on every instruction
// set this machine runs: against the C library's j0, y0, sin and cos, a
// long double evaluation of the Hankel phase, and the beam written out as
// its definition.
#include <math.h>  // j0, y0, j0l, y0l (POSIX)

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "fdbf/fdbf.hpp"
#include "harness.hpp"
#include "sets.hpp"

namespace fdbf = molvak::fdbf;
using molvak::simd::Isa;

namespace {

const double kPi = 3.141592653589793;
const double kTwoPi = 6.283185307179586;

double library_phase(double k) { return std::atan2(::y0(k), ::j0(k)); }

// a modulo 2 pi, in [-pi, pi)
double wrapped(double a) {
    const double r = std::fmod(a + kPi, 2 * kPi);
    return (r < 0 ? r + 2 * kPi : r) - kPi;
}

std::vector<double> kappa_sweep() {
    std::vector<double> k;
    for (int i = 0; i <= 120000; ++i) k.push_back(1e-9 * std::pow(1e15, i / 120000.0));
    for (int i = 0; i <= 40000; ++i) k.push_back(100.0 * i / 40000.0);
    std::mt19937_64 gen(10);
    std::uniform_real_distribution<double> uniform(0.0, 1e6);
    for (int i = 0; i < 40000; ++i) k.push_back(uniform(gen));
    // the edges of the table's intervals, and their neighbours
    for (int e = -13; e < 8; ++e)
        for (int j = 0; j < 16; ++j) {
            const double edge = std::ldexp(1.0 + j / 16.0, e);
            k.insert(k.end(), {edge, std::nextafter(edge, 0.0), std::nextafter(edge, 1e300)});
        }
    k.insert(k.end(), {4294967296.0, 1e7, 1e9, 1e12});
    return k;
}

}  // namespace

TEST(hankel_phase_agrees_with_the_library) {
    const std::vector<double> kappa = kappa_sweep();
    std::vector<double> theta(kappa.size());
    const double special[] = {0.0, -0.0, -1e-300, -1.0, -3.0e5, INFINITY, -INFINITY, NAN, 1e300, 5e-324};
    double special_theta[10];
    for (Isa isa : molvak::test::usable_sets()) {
        for (bool fine : {false, true}) {
            fdbf::hankel_phase(kappa.data(), theta.data(), kappa.size(), fine, isa);
            double worst = 0.0;
            for (std::size_t k = 0; k < kappa.size(); ++k) {
                const double ref = library_phase(kappa[k]);
                CHECK_MSG(theta[k] >= -kPi && theta[k] <= kPi, "kappa " << kappa[k]);
                worst = std::max(worst, std::fabs(wrapped(theta[k] - ref)));
            }
            CHECK_MSG(worst <= 1e-12, molvak::simd::name(isa) << " fine " << fine << ": " << worst);
            // Zero, negative and non-finite arguments are the library's own results.
            fdbf::hankel_phase(special, special_theta, 10, fine, isa);
            for (int k = 0; k < 10; ++k) {
                const double ref = library_phase(special[k]);
                CHECK_MSG(special_theta[k] == ref || (std::isnan(ref) && std::isnan(special_theta[k])),
                          molvak::simd::name(isa) << " kappa " << special[k]);
            }
        }
    }
}

TEST(hankel_phase_against_long_double) {
    // atan2(Y0, J0) in long double (64 or 113 bits): the modulus of H0 never
    // comes near zero, so its phase carries the functions' relative accuracy.
    std::vector<double> kappa;
    for (int i = 0; i < 150; ++i) kappa.push_back(std::ldexp(1.0, -12) * std::pow(64.0 * 4096.0, i / 149.0));
    for (int i = 0; i < 60; ++i) kappa.push_back(64.0 * std::pow(1e6 / 64.0, i / 59.0));
    kappa.push_back(0.5 + 1e-9);
    std::vector<double> theta(kappa.size());
    for (bool fine : {false, true}) {
        fdbf::hankel_phase(kappa.data(), theta.data(), kappa.size(), fine);
        double worst = 0.0;
        for (std::size_t k = 0; k < kappa.size(); ++k) {
            const long double kl = kappa[k];
            const double exact = static_cast<double>(atan2l(y0l(kl), j0l(kl)));
            worst = std::max(worst, std::fabs(wrapped(theta[k] - exact)));
        }
        CHECK_MSG(worst <= 5e-15, "fine " << fine << ": " << worst);
    }
}

TEST(steering_phasors) {
    std::vector<double> angle;
    for (int i = 0; i <= 60000; ++i) angle.push_back(-3000.0 + 6000.0 * i / 60000.0);
    angle.insert(angle.end(), {0.0, -0.0, kPi / 2, 4e9, 1e15, INFINITY, NAN});
    std::vector<double> kappa = kappa_sweep();
    std::vector<double> sparse;
    for (std::size_t k = 0; k < kappa.size(); k += 7) sparse.push_back(kappa[k]);
    std::vector<double> e(2 * angle.size()), h(2 * sparse.size());
    for (Isa isa : molvak::test::usable_sets()) {
        const char* set = molvak::simd::name(isa);
        fdbf::unit_phasor(angle.data(), e.data(), angle.size(), isa);
        double worst = 0.0;
        for (std::size_t k = 0; k < angle.size(); ++k) {
            const double a = angle[k], c = std::cos(a), s = std::sin(a);
            if (std::fabs(a) <= 4294967296.0) {
                worst = std::max({worst, std::fabs(e[2 * k] - c), std::fabs(e[2 * k + 1] - s)});
                if (a == 0.0) CHECK_MSG(e[2 * k] == 1.0 && e[2 * k + 1] == 0.0, set);
            } else {
                // the library, NaN included
                CHECK_MSG(e[2 * k] == c || (std::isnan(c) && std::isnan(e[2 * k])), set << " angle " << a);
            }
        }
        CHECK_MSG(worst <= 4.5e-16, set << ": " << worst);
        fdbf::hankel_phasor(sparse.data(), h.data(), sparse.size(), isa);
        worst = 0.0;
        for (std::size_t k = 0; k < sparse.size(); ++k) {
            const double t = library_phase(sparse[k]);
            worst = std::max({worst, std::fabs(h[2 * k] - std::cos(t)), std::fabs(h[2 * k + 1] - std::sin(t))});
        }
        CHECK_MSG(worst <= 2e-15, set << ": " << worst);
    }
}

TEST(beam_power_on_every_instruction_set) {
    // A random spectrum, offsets and velocities whose steering arguments run
    // from 0 through the tables into the asymptotic range, with blocks of
    // close velocities (the finer table) and spread ones.
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(0.5, 120.0);
    const std::size_t nx = 9, nf = 40;
    std::vector<double> x(nx), u(2 * nx * nf), f(nf);
    for (double& v : x) v = uniform(gen);
    std::sort(x.begin(), x.end());
    for (double& v : u) v = normal(gen);
    for (std::size_t g = 0; g < nf; ++g) f[g] = 6.0 * g;
    std::vector<double> c;
    for (double v = 800.0; v < 830.0; v += 0.25) c.push_back(v);
    for (double v : {35.0, 52.0, 80.0, 120.0, 200.0, 333.0, 500.0, 900.0, 1500.0, 2900.0, 4000.0, 41.0, 47.0})
        c.push_back(v);
    const std::size_t nc = c.size();
    for (bool cylindrical : {false, true}) {
        // P[g,h] = |sum_i x_i U[i,g] conj(E[g,h,i])|^2, E from the library.
        std::vector<double> ref(nf * nc), scale(nf, 0.0);
        for (std::size_t g = 0; g < nf; ++g) {
            for (std::size_t i = 0; i < nx; ++i)
                scale[g] += std::abs(std::complex<double>(u[2 * (i * nf + g)], u[2 * (i * nf + g) + 1]) * x[i]);
            scale[g] *= scale[g];
            for (std::size_t h = 0; h < nc; ++h) {
                std::complex<double> sum = 0.0;
                for (std::size_t i = 0; i < nx; ++i) {
                    std::complex<double> e;
                    if (cylindrical) {
                        const double th = library_phase(((f[g] * kTwoPi) / c[h]) * x[i]);
                        e = {std::cos(th), -std::sin(th)};
                    } else {
                        const double phi = ((f[g] * -kTwoPi) / c[h]) * x[i];
                        e = {std::cos(phi), std::sin(phi)};
                    }
                    sum += x[i] * std::complex<double>(u[2 * (i * nf + g)], u[2 * (i * nf + g) + 1]) * std::conj(e);
                }
                ref[g * nc + h] = std::norm(sum);
            }
        }
        std::vector<std::vector<double>> results;
        for (Isa isa : molvak::test::usable_sets()) {
            std::vector<double> p(2 * nf * nc, -1.0);
            const fdbf::Problem problem{u.data(), static_cast<std::ptrdiff_t>(nf), 1, f.data(), nf, x.data(), 1, nx,
                                        c.data(), nc, true,
                                        cylindrical ? fdbf::Steering::cylindrical : fdbf::Steering::plane,
                                        p.data()};
            fdbf::beam_power(problem, isa);
            double worst = 0.0;
            for (std::size_t g = 0; g < nf; ++g)
                for (std::size_t h = 0; h < nc; ++h) {
                    CHECK(p[2 * (g * nc + h) + 1] == 0.0);
                    worst = std::max(worst, std::fabs(p[2 * (g * nc + h)] - ref[g * nc + h]) / scale[g]);
                }
            CHECK_MSG(worst <= 1e-14, molvak::simd::name(isa) << " cylindrical " << cylindrical << ": " << worst);
            results.push_back(p);
        }
        // Plane waves: the same operations lane by lane on every set.
        if (!cylindrical)
            for (const auto& p : results) CHECK(p == results[0]);
    }
}
