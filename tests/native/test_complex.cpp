// The complex arithmetic of the kernels: the explicit formulas, one rounding
// per operation, and IEEE special values without the rules of library
// complex operators.
#include <cmath>
#include <limits>
#include <random>

#include "common/complex.hpp"
#include "harness.hpp"

using molvak::cx::cdouble;

namespace {
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
}  // namespace

TEST(complex_formulas) {
    namespace cx = molvak::cx;
    std::mt19937_64 gen(20261207);
    std::normal_distribution<double> normal(0.0, 1e3);
    for (int k = 0; k < 200; ++k) {
        const double ar = normal(gen), ai = normal(gen), br = normal(gen), bi = normal(gen), r = normal(gen);
        // volatile keeps every product a separate, rounded double
        volatile double p1 = ar * br, p2 = ai * bi, p3 = ai * br, p4 = ar * bi;
        const cdouble m = cx::mulcc({ar, ai}, {br, bi});
        CHECK(m.real == p1 - p2 && m.imag == p3 + p4);
        const cdouble s = cx::mulcr({ar, ai}, r);
        CHECK(s.real == ar * r && s.imag == ai * r);
        const cdouble a = cx::add({ar, ai}, {br, bi});
        CHECK(a.real == ar + br && a.imag == ai + bi);
        const cdouble d = cx::divcr({ar, ai}, r);
        CHECK(d.real == ar / r && d.imag == ai / r);
        volatile double sq = ar * ar, sq2 = ai * ai;
        CHECK(cx::abs({ar, ai}) == std::sqrt(sq + sq2));
        CHECK(cx::arg({ar, ai}) == std::atan2(ai, ar));
        const cdouble e = cx::exp({ar / 1e3, ai});
        CHECK(e.real == std::exp(ar / 1e3) * std::cos(ai) && e.imag == std::exp(ar / 1e3) * std::sin(ai));
    }
}

TEST(complex_special_values) {
    namespace cx = molvak::cx;
    const double inf = std::numeric_limits<double>::infinity();
    const cdouble q = cx::divcr({1.0, 0.0}, 0.0);
    CHECK(q.real == inf && std::isnan(q.imag));
    CHECK(cx::abs({0.0, 0.0}) == 0.0 && cx::abs({3.0, 4.0}) == 5.0);
    CHECK(cx::abs({1e200, 0.0}) == inf);  // no hypot rescaling
    CHECK(cx::abs({1e-200, 1e-200}) == 0.0);
    const double half_pi = 1.5707963267948966;
    const cdouble e = cx::exp({0.0, half_pi});
    CHECK(e.real == std::cos(half_pi) && e.real > 0.0 && e.imag == 1.0);
    const cdouble big = cx::exp({inf, 0.0});
    CHECK(big.real == inf && std::isnan(big.imag));
    CHECK(cx::arg({-1.0, 0.0}) == 3.141592653589793 && cx::arg({-1.0, -0.0}) == -3.141592653589793);
    CHECK(cx::arg({0.0, 0.0}) == 0.0);
    const cdouble c = cx::conj({1.0, 0.0});
    CHECK(c.real == 1.0 && std::signbit(c.imag));
    CHECK(same(cx::divcr({0.0, 0.0}, 0.0).real, std::nan("")));
}
