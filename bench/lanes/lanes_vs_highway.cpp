// The choice of vector vocabulary, measured: the two inner loops that carry
// the estimators' time, written once over molvak's own lane headers
// (src/kernels/simd) and once over Google Highway, compiled with the same
// flags (for AVX2 + FMA, and for AVX-512) and timed in one run. Pointers are
// held in locals in both, as the kernels hold them: a call to the vector
// sine could otherwise make the compiler reload them every step.
//
//   phasor  the phase-shift / beamforming sum with the phasor evaluated
//           directly: for every trace, theta = phi * f, e^{i theta} by a
//           vector sine and cosine, times the trace's complex value, summed
//           over traces (4 trial velocities per vector).
//   steer   the same sum with the phasor advanced by a complex rotation
//           (no transcendental call): complex multiply-adds only.
//
// Besides the time, the largest error of each sine/cosine against the long
// double one over the phases the estimators meet (|theta| up to 2e4 rad).
//
// Build and run: bash bench/lanes/run.sh  (needs libhwy-dev)
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

#include "simd/lanes.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace hn = hwy::HWY_NAMESPACE;
namespace ml = molvak::simd::lanes;

namespace {

constexpr std::size_t kTraces = 48, kVel = 1024, kFreqs = 200;

struct Data {
    std::vector<double> phi, ur, ui, f, dr, di;
    std::vector<double> out_re, out_im;
};

Data make() {
    Data d;
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    d.phi.resize(kTraces * kVel);
    d.dr.resize(kTraces * kVel);
    d.di.resize(kTraces * kVel);
    for (std::size_t i = 0; i < kTraces; ++i)
        for (std::size_t k = 0; k < kVel; ++k) {
            const double x = 5.0 + i, c = 50.0 + 950.0 * k / kVel;
            d.phi[i * kVel + k] = 6.283185307179586 * x / c;
            d.dr[i * kVel + k] = std::cos(d.phi[i * kVel + k] * 0.25);
            d.di[i * kVel + k] = std::sin(d.phi[i * kVel + k] * 0.25);
        }
    d.ur.resize(kTraces * kFreqs);
    d.ui.resize(kTraces * kFreqs);
    for (auto& v : d.ur) v = u(rng);
    for (auto& v : d.ui) v = u(rng);
    for (std::size_t g = 0; g < kFreqs; ++g) d.f.push_back(3.0 + 0.25 * g);
    d.out_re.assign(kFreqs * kVel, 0.0);
    d.out_im.assign(kFreqs * kVel, 0.0);
    return d;
}

void phasor_molvak(Data& d) {
    using namespace ml;
    const double *phi = d.phi.data(), *ur = d.ur.data(), *ui = d.ui.data(), *fr = d.f.data();
    double *ore = d.out_re.data(), *oim = d.out_im.data();
    for (std::size_t g = 0; g < kFreqs; ++g)
        for (std::size_t k = 0; k < kVel; k += W) {
            vd are = set1(0.0), aim = set1(0.0);
            const vd f = set1(fr[g]);
            for (std::size_t i = 0; i < kTraces; ++i) {
                vd s, c;
                sincos(mul(loadu(&phi[i * kVel + k]), f), &s, &c);
                const vd xr = set1(ur[i * kFreqs + g]), xi = set1(ui[i * kFreqs + g]);
                are = fmadd(xr, c, fnmadd(xi, s, are));
                aim = fmadd(xr, s, fmadd(xi, c, aim));
            }
            storeu(&ore[g * kVel + k], are);
            storeu(&oim[g * kVel + k], aim);
        }
}

void phasor_hwy(Data& d) {
    const hn::ScalableTag<double> t;
    const std::size_t W = hn::Lanes(t);
    const double *phi = d.phi.data(), *ur = d.ur.data(), *ui = d.ui.data(), *fr = d.f.data();
    double *ore = d.out_re.data(), *oim = d.out_im.data();
    for (std::size_t g = 0; g < kFreqs; ++g)
        for (std::size_t k = 0; k < kVel; k += W) {
            auto are = hn::Zero(t), aim = hn::Zero(t);
            const auto f = hn::Set(t, fr[g]);
            for (std::size_t i = 0; i < kTraces; ++i) {
                const auto theta = hn::Mul(hn::LoadU(t, &phi[i * kVel + k]), f);
                const auto s = hn::Sin(t, theta), c = hn::Cos(t, theta);
                const auto xr = hn::Set(t, ur[i * kFreqs + g]), xi = hn::Set(t, ui[i * kFreqs + g]);
                are = hn::MulAdd(xr, c, hn::NegMulAdd(xi, s, are));
                aim = hn::MulAdd(xr, s, hn::MulAdd(xi, c, aim));
            }
            hn::StoreU(are, t, &ore[g * kVel + k]);
            hn::StoreU(aim, t, &oim[g * kVel + k]);
        }
}

// The phasor of every trace advanced by its rotation e^{i delta} from one
// frequency to the next, for blocks of velocities held across frequencies.
void steer_molvak(Data& d, std::vector<double>& er, std::vector<double>& ei) {
    using namespace ml;
    std::fill(er.begin(), er.end(), 1.0);
    std::fill(ei.begin(), ei.end(), 0.0);
    for (std::size_t g = 0; g < kFreqs; ++g)
        for (std::size_t k = 0; k < kVel; k += W) {
            vd are = set1(0.0), aim = set1(0.0);
            for (std::size_t i = 0; i < kTraces; ++i) {
                const std::size_t o = i * kVel + k;
                const vd cr = loadu(&er[o]), ci = loadu(&ei[o]);
                const vd xr = set1(d.ur[i * kFreqs + g]), xi = set1(d.ui[i * kFreqs + g]);
                are = fmadd(xr, cr, fnmadd(xi, ci, are));
                aim = fmadd(xr, ci, fmadd(xi, cr, aim));
                const vd rr = loadu(&d.dr[o]), ri = loadu(&d.di[o]);
                storeu(&er[o], fmsub(cr, rr, mul(ci, ri)));
                storeu(&ei[o], fmadd(cr, ri, mul(ci, rr)));
            }
            storeu(&d.out_re[g * kVel + k], are);
            storeu(&d.out_im[g * kVel + k], aim);
        }
}

void steer_hwy(Data& d, std::vector<double>& er, std::vector<double>& ei) {
    const hn::ScalableTag<double> t;
    const std::size_t W = hn::Lanes(t);
    std::fill(er.begin(), er.end(), 1.0);
    std::fill(ei.begin(), ei.end(), 0.0);
    for (std::size_t g = 0; g < kFreqs; ++g)
        for (std::size_t k = 0; k < kVel; k += W) {
            auto are = hn::Zero(t), aim = hn::Zero(t);
            for (std::size_t i = 0; i < kTraces; ++i) {
                const std::size_t o = i * kVel + k;
                const auto cr = hn::LoadU(t, &er[o]), ci = hn::LoadU(t, &ei[o]);
                const auto xr = hn::Set(t, d.ur[i * kFreqs + g]), xi = hn::Set(t, d.ui[i * kFreqs + g]);
                are = hn::MulAdd(xr, cr, hn::NegMulAdd(xi, ci, are));
                aim = hn::MulAdd(xr, ci, hn::MulAdd(xi, cr, aim));
                const auto rr = hn::LoadU(t, &d.dr[o]), ri = hn::LoadU(t, &d.di[o]);
                hn::StoreU(hn::MulSub(cr, rr, hn::Mul(ci, ri)), t, &er[o]);
                hn::StoreU(hn::MulAdd(cr, ri, hn::Mul(ci, rr)), t, &ei[o]);
            }
            hn::StoreU(are, t, &d.out_re[g * kVel + k]);
            hn::StoreU(aim, t, &d.out_im[g * kVel + k]);
        }
}

template <class F>
double best_of(F&& fn, int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto a = std::chrono::steady_clock::now();
        fn();
        const auto b = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(b - a).count());
    }
    return best;
}

// Largest error in units of the last place of the true value's magnitude
// (ulp of max(|true|, 2^-30)), over phases spread to |theta| = 2e4 rad.
void accuracy() {
    const hn::ScalableTag<double> t;
    const std::size_t W = hn::Lanes(t);
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> u(-2e4, 2e4);
    double worst[2][2] = {{0, 0}, {0, 0}};
    std::vector<double> th(W), s(W), c(W);
    for (int n = 0; n < 200000; ++n) {
        for (std::size_t l = 0; l < W; ++l) th[l] = n < 1000 ? u(rng) * 1e-4 : u(rng);
        const auto v = hn::LoadU(t, th.data());
        for (int which = 0; which < 2; ++which) {
            if (which == 0) {
                ml::vd ms, mc;
                ml::sincos(ml::loadu(th.data()), &ms, &mc);
                ml::storeu(s.data(), ms);
                ml::storeu(c.data(), mc);
            } else {
                hn::StoreU(hn::Sin(t, v), t, s.data());
                hn::StoreU(hn::Cos(t, v), t, c.data());
            }
            for (std::size_t l = 0; l < W; ++l) {
                const long double ts = sinl(th[l]), tc = cosl(th[l]);
                const double us = std::ldexp(1.0, std::ilogb(std::max<double>(std::fabs((double)ts), 0x1p-30)) - 52);
                const double uc = std::ldexp(1.0, std::ilogb(std::max<double>(std::fabs((double)tc), 0x1p-30)) - 52);
                worst[which][0] = std::max(worst[which][0], (double)(std::fabs(s[l] - ts) / us));
                worst[which][1] = std::max(worst[which][1], (double)(std::fabs(c[l] - tc) / uc));
            }
        }
    }
    std::printf("largest error, |theta| <= 2e4 rad   sin (ulp)   cos (ulp)\n");
    std::printf("  molvak lanes (glibc libmvec)      %9.1f   %9.1f\n", worst[0][0], worst[0][1]);
    std::printf("  Highway contrib/math              %9.3g   %9.3g\n", worst[1][0], worst[1][1]);
}

}  // namespace

int main() {
    Data d = make();
    std::vector<double> er(kTraces * kVel), ei(kTraces * kVel);
    const int repeats = 7;
    std::printf("vector width: molvak %zu doubles, Highway %zu doubles (%s)\n", ml::W,
                hn::Lanes(hn::ScalableTag<double>()), hwy::TargetName(HWY_TARGET));
    std::printf("loop      molvak s   Highway s   Highway / molvak\n");
    double tm = 1e300, th = 1e300;
    for (int pass = 0; pass < 3; ++pass) {
        tm = std::min(tm, best_of([&] { phasor_molvak(d); }, repeats));
        th = std::min(th, best_of([&] { phasor_hwy(d); }, repeats));
    }
    std::printf("phasor    %8.4f   %9.4f   %6.2f\n", tm, th, th / tm);
    tm = th = 1e300;
    for (int pass = 0; pass < 3; ++pass) {
        tm = std::min(tm, best_of([&] { steer_molvak(d, er, ei); }, repeats));
        th = std::min(th, best_of([&] { steer_hwy(d, er, ei); }, repeats));
    }
    std::printf("steer     %8.4f   %9.4f   %6.2f\n", tm, th, th / tm);
    accuracy();
    return 0;
}
