// The phase-shift accumulation on every instruction set against its
// definition: unit spectra rotated by e^{i 2 pi f x / c} and integrated over
// offset with the trapezoid rule, the phasors from the library's sin and cos.
#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "harness.hpp"
#include "phase_shift/phase_shift.hpp"
#include "sets.hpp"

namespace ps = molvak::phase_shift;

TEST(phase_shift_matches_the_definition_on_every_set) {
    std::mt19937_64 gen(5);
    std::normal_distribution<double> normal;
    const std::size_t nx = 12, first = 3, nf = 150;
    const double df = 0.5;
    std::vector<double> u(2 * nx * nf), x(nx), f(nf);
    for (double& v : u) v = normal(gen);
    for (std::size_t i = 0; i < nx; ++i) x[i] = 3.0 + 2.0 * i + 0.1 * normal(gen);
    for (std::size_t g = 0; g < nf; ++g) f[g] = static_cast<double>(first + g) * df;
    std::vector<double> c;
    for (int k = 0; k < 37; ++k) c.push_back(60.0 + 25.0 * k);
    c.insert(c.end(), {1e-3, 0.5});  // phases beyond the recurrence's range
    const std::size_t nc = c.size();
    std::vector<std::complex<double>> ref(nf * nc);
    for (std::size_t g = 0; g < nf; ++g)
        for (std::size_t k = 0; k < nc; ++k) {
            std::complex<double> sum = 0.0, before = 0.0;
            for (std::size_t i = 0; i < nx; ++i) {
                const std::complex<double> z(u[2 * (i * nf + g)], u[2 * (i * nf + g) + 1]);
                const double theta = ((6.283185307179586 * x[i]) / c[k]) * f[g];
                const std::complex<double> p = z / std::abs(z) * std::complex<double>(std::cos(theta), std::sin(theta));
                if (i > 0) sum += (p + before) * (std::fabs(x[i] - x[i - 1]) * 0.5);
                before = p;
            }
            ref[g * nc + k] = sum;
        }
    const ps::Problem problem{u.data(), static_cast<std::ptrdiff_t>(2 * nf), 2, nx, f.data(), nf, df,
                              x.data(), nx, c.data(), nc};
    for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
        ps::Workspace work(problem);
        std::vector<double> v(2 * nf * nc);
        ps::phase_shift(problem, work, v.data(), isa);
        double worst = 0.0;
        for (std::size_t g = 0; g < nf; ++g) {
            double row = 0.0, err = 0.0;
            for (std::size_t k = 0; k < nc; ++k) {
                const std::complex<double> got(v[2 * (g * nc + k)], v[2 * (g * nc + k) + 1]);
                row = std::max(row, std::abs(ref[g * nc + k]));
                err = std::max(err, std::abs(got - ref[g * nc + k]));
            }
            worst = std::max(worst, err / row);
        }
        CHECK_MSG(worst <= 1e-12, molvak::simd::name(isa) << ": " << worst);
    }
}
