// Sub-array sweeps on every instruction set against each window evaluated on
// its own from the definitions: the phase shift's trapezoid rule over the
// window's traces and the beam power of its traces, with windows of
// different lengths (as left-out traces make them) and a NaN that must reach
// only the windows holding its trace.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "harness.hpp"
#include "sets.hpp"
#include "sweep/sweep.hpp"

namespace sw = molvak::sweep;
using cplx = std::complex<double>;

namespace {

struct Line {
    std::size_t nx = 23, nf = 70, nc = 75;  // 75: a block and a part of one
    std::vector<double> u, x, f, c;
    std::vector<std::int64_t> first, last;  // traces of every window
    Line() {
        std::mt19937_64 gen(9);
        std::normal_distribution<double> normal;
        u.resize(2 * nx * nf);
        for (double& v : u) v = normal(gen);
        for (std::size_t i = 0; i < nx; ++i) x.push_back(4.0 + 1.5 * i + 0.2 * normal(gen));
        for (std::size_t g = 0; g < nf; ++g) f.push_back(static_cast<double>(4 + g) * 0.75);
        for (std::size_t k = 0; k < nc; ++k) c.push_back(70.0 + 11.0 * k);
        // windows of 7 traces stepped by 2, then shorter ones inside blocks
        for (std::int64_t a = 0; a + 6 < static_cast<std::int64_t>(nx); a += 2) {
            first.push_back(a);
            last.push_back(a + 6);
        }
        for (auto [a, b] : {std::pair<std::int64_t, std::int64_t>{1, 3}, {8, 11}, {15, 16}}) {
            first.push_back(a);
            last.push_back(b);
        }
    }
    cplx at(std::size_t i, std::size_t g) const { return {u[2 * (i * nf + g)], u[2 * (i * nf + g) + 1]}; }
    sw::Spectrum spectrum() const {
        return {u.data(), static_cast<std::ptrdiff_t>(nf), 1, f.data(), nf, x.data(), nx, c.data(), nc};
    }
};

cplx phase_shift_window(const Line& l, std::size_t a, std::size_t b, std::size_t g, std::size_t k) {
    cplx sum = 0.0, before = 0.0;
    for (std::size_t i = a; i <= b; ++i) {
        const cplx z = l.at(i, g);
        const double theta = ((6.283185307179586 * l.x[i]) / l.c[k]) * l.f[g];
        const cplx p = z / std::abs(z) * cplx(std::cos(theta), std::sin(theta));
        if (i > a) sum += (p + before) * (std::fabs(l.x[i] - l.x[i - 1]) * 0.5);
        before = p;
    }
    return sum;
}

double beam_window(const Line& l, std::size_t a, std::size_t b, std::size_t g, std::size_t k) {
    cplx sum = 0.0;
    for (std::size_t i = a; i <= b; ++i) {
        const double phi = ((l.f[g] * -6.283185307179586) / l.c[k]) * l.x[i];
        sum += l.at(i, g) * l.x[i] * std::conj(cplx(std::cos(phi), std::sin(phi)));
    }
    return std::norm(sum);
}

}  // namespace

TEST(sweeps_match_each_window_on_every_set) {
    Line l;
    const std::size_t nw = l.first.size();
    // the phase shift sums segments: window [a, b] is segments a .. b-1
    std::vector<std::int64_t> seg_last(nw);
    for (std::size_t w = 0; w < nw; ++w) seg_last[w] = l.last[w] - 1;
    for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
        for (int which = 0; which < 2; ++which) {
            std::vector<double> out(2 * nw * l.nf * l.nc, -1.0);
            const sw::Output o{out.data(), static_cast<std::ptrdiff_t>(l.nf * l.nc),
                               static_cast<std::ptrdiff_t>(l.nc)};
            if (which == 0) {
                const sw::Windows w{l.first.data(), seg_last.data(), nw};
                sw::Work work = sw::phase_shift_work(l.spectrum(), w);
                sw::phase_shift(l.spectrum(), w, o, work, isa);
            } else {
                const sw::Windows w{l.first.data(), l.last.data(), nw};
                sw::Work work = sw::beam_work(l.spectrum(), w);
                sw::beam(l.spectrum(), w, true, false, o, work, isa);
            }
            double worst = 0.0;
            for (std::size_t w = 0; w < nw; ++w) {
                double peak = 0.0, err = 0.0;
                for (std::size_t g = 0; g < l.nf; ++g)
                    for (std::size_t k = 0; k < l.nc; ++k) {
                        const auto a = static_cast<std::size_t>(l.first[w]);
                        const auto b = static_cast<std::size_t>(l.last[w]);
                        const cplx want = which == 0 ? phase_shift_window(l, a, b, g, k)
                                                     : cplx(beam_window(l, a, b, g, k), 0.0);
                        const double* p = out.data() + 2 * ((w * l.nf + g) * l.nc + k);
                        peak = std::max(peak, std::abs(want));
                        err = std::max(err, std::abs(cplx(p[0], p[1]) - want));
                        if (which == 1) CHECK(p[1] == 0.0);
                    }
                worst = std::max(worst, err / peak);
            }
            CHECK_MSG(worst <= 1e-12, molvak::simd::name(isa) << " estimator " << which << ": " << worst);
        }
    }
}

TEST(a_nan_reaches_only_the_windows_holding_its_trace) {
    Line l;
    l.u[2 * (10 * l.nf + 5)] = std::nan("");  // trace 10 at frequency 5
    const std::size_t nw = l.first.size();
    const sw::Windows w{l.first.data(), l.last.data(), nw};
    for (molvak::simd::Isa isa : molvak::test::usable_sets()) {
        std::vector<double> out(2 * nw * l.nf * l.nc);
        const sw::Output o{out.data(), static_cast<std::ptrdiff_t>(l.nf * l.nc),
                           static_cast<std::ptrdiff_t>(l.nc)};
        sw::Work work = sw::beam_work(l.spectrum(), w);
        sw::beam(l.spectrum(), w, false, false, o, work, isa);
        for (std::size_t v = 0; v < nw; ++v) {
            const bool holds = l.first[v] <= 10 && 10 <= l.last[v];
            const double p = out[2 * ((v * l.nf + 5) * l.nc)];
            CHECK_MSG(std::isnan(p) == holds, "window " << v);
        }
    }
}
